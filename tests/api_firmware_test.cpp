// The unit's firmware from a file, end to end through the C API on a
// simulated unit that needs its firmware: what the unit receives for a good
// file, and that a bad file fails the open before anything is sent.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "api/unit_table.h"
#include "platform/platform.h"
#include "sim/simulator.h"
#include "tests/support/hex_text.h"
#include "trelvo/trelvo.h"
#include "driver/driver_interface.h"
#include "usb/firmware_file.h"
#include "usb/firmware_image.h"

namespace {

using namespace trelvo::usb;
using trelvo::sim::FirmwareState;
using trelvo::sim::Simulator;
using trelvo::sim::UnitConfig;

std::string lastError() {
    char text[80] = {};
    TrelvoGetUnitInfo(0, text, sizeof text, 7);
    return text;
}

class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/trelvo-fw-XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::string file(const std::string& name, const std::string& text) const {
        const std::string path = path_ + "/" + name;
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

// Records built by hand, independently of the reader.
FirmwareRecord record(uint16_t address, std::vector<uint8_t> data) {
    FirmwareRecord r{};
    r.length = static_cast<uint8_t>(data.size());
    r.address = address;
    std::memcpy(r.data, data.data(), data.size());
    return r;
}

std::vector<uint8_t> bytesOf(const std::vector<FirmwareRecord>& records) {
    const auto* p = reinterpret_cast<const uint8_t*>(records.data());
    return {p, p + records.size() * sizeof(FirmwareRecord)};
}

class FirmwareFile : public ::testing::Test {
  protected:
    void SetUp() override {
        unsetenv("TRELVO_FIRMWARE");
        sim = Simulator::install();
    }
    void TearDown() override {
        trelvo::api::closeAllUnits();
        unsetenv("TRELVO_FIRMWARE");
    }

    std::shared_ptr<trelvo::sim::SimUnit> plug(int index, FirmwareState firmware) {
        UnitConfig config;
        config.firmware = firmware;
        config.reenumerateDelayMs = 50;
        return sim->plug(index, config);
    }

    std::vector<std::vector<uint8_t>> downloads() const {
        std::vector<std::vector<uint8_t>> images;
        for (const auto& request : sim->requestLog())
            if (request.code == kIoctlLoadFirmware) images.push_back(request.input);
        return images;
    }

    // Opens once with stderr captured; returns the handle.
    int16_t openCapturing(std::string& errors) {
        testing::internal::CaptureStderr();
        const int16_t handle = TrelvoOpenUnit();
        errors = testing::internal::GetCapturedStderr();
        return handle;
    }

    std::shared_ptr<Simulator> sim;
    TempDir dir;
};

TEST_F(FirmwareFile, TheUnitReceivesExactlyTheRecordsOfTheFile) {
    auto unit = plug(0, FirmwareState::OtherRevision);
    std::vector<uint8_t> code(20);
    for (std::size_t i = 0; i < code.size(); ++i) code[i] = static_cast<uint8_t>(0x10 + i);
    const std::string path =
        dir.file("unit.hex", ":020000040000FA\n" +
                                 trelvo::test::hexLine(0, 0x0000, code.data(), code.size()) +
                                 "\n:03008000020080FB\n:00000001FF\n");
    setenv("TRELVO_FIRMWARE", path.c_str(), 1);

    std::string errors;
    const int16_t handle = openCapturing(errors);
    ASSERT_EQ(handle, 1) << lastError() << errors;
    EXPECT_EQ(errors, "");
    EXPECT_EQ(unit->downloads(), 1);
    FirmwareRecord end{};
    end.type = 1;
    const std::vector<FirmwareRecord> expected = {
        record(0x0000, std::vector<uint8_t>(code.begin(), code.begin() + 16)),
        record(0x0010, std::vector<uint8_t>(code.begin() + 16, code.end())),
        record(0x0080, {0x02, 0x00, 0x80}), end};
    const auto sent = downloads();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0], bytesOf(expected));
}

TEST_F(FirmwareFile, AMalformedFileSendsNothingAndReportsNoUnitUntilItIsMended) {
    auto unit = plug(0, FirmwareState::OtherRevision);
    const std::string good = ":03008000020080FB\n:00000001FF\n";
    const std::string path = dir.file("bad.hex", ":03008000020080FB\n\n:0300800002008000\n" + good);
    setenv("TRELVO_FIRMWARE", path.c_str(), 1);

    std::string errors;
    EXPECT_EQ(openCapturing(errors), 0);
    EXPECT_EQ(lastError(), "4");
    EXPECT_TRUE(sim->requestLog().empty()) << "the unit was touched";
    EXPECT_EQ(unit->downloads(), 0);
    EXPECT_EQ(unit->firmware(), FirmwareState::OtherRevision);
    // One line that names the file, where it came from, the line and the fault.
    ASSERT_EQ(std::count(errors.begin(), errors.end(), '\n'), 1) << errors;
    EXPECT_EQ(errors.back(), '\n');
    EXPECT_NE(errors.find("\"" + path + "\" (TRELVO_FIRMWARE) is malformed"), std::string::npos)
        << errors;
    EXPECT_NE(errors.find("line 3: checksum is 0x00, the record needs 0xFB"), std::string::npos)
        << errors;

    // The file is read on every open: mended, the next open programs the unit.
    dir.file("bad.hex", good);
    EXPECT_EQ(openCapturing(errors), 1) << errors;
    EXPECT_EQ(downloads().size(), 1u);
}

TEST_F(FirmwareFile, AMissingOrUnreadableFileFailsEvenAUnitThatNeedsNoDownload) {
    plug(0, FirmwareState::Running);
    const std::string missing = dir.path() + "/missing.hex";
    setenv("TRELVO_FIRMWARE", missing.c_str(), 1);
    std::string errors;
    EXPECT_EQ(openCapturing(errors), 0);
    EXPECT_EQ(lastError(), "4");
    EXPECT_NE(errors.find("\"" + missing + "\" (TRELVO_FIRMWARE) cannot be read"),
              std::string::npos)
        << errors;
    EXPECT_NE(errors.find(std::strerror(ENOENT)), std::string::npos) << errors;

    // A directory opens but does not read: reported as unreadable, not malformed.
    setenv("TRELVO_FIRMWARE", dir.path().c_str(), 1);
    EXPECT_EQ(openCapturing(errors), 0);
    EXPECT_NE(errors.find("cannot be read"), std::string::npos) << errors;
    EXPECT_TRUE(sim->requestLog().empty());

    // An empty variable is no choice: the bundled image is used.
    setenv("TRELVO_FIRMWARE", "", 1);
    EXPECT_EQ(openCapturing(errors), 1) << errors;
}

TEST_F(FirmwareFile, WithoutAFileTheBundledImageIsSent) {
    plug(3, FirmwareState::OtherRevision);
    std::string errors;
    ASSERT_EQ(openCapturing(errors), 4) << errors;
    const auto sent = downloads();
    ASSERT_EQ(sent.size(), 1u);
    const auto* bundled = static_cast<const uint8_t*>(firmwareImage());
    EXPECT_EQ(sent[0], std::vector<uint8_t>(bundled, bundled + firmwareImageBytes()));
}

// ---- Where the file is looked for ------------------------------------------------

TEST(FirmwarePlaces, VariableThenDataDirectoryThenLibraryDirectoryThenBundled) {
    TempDir data, library;
    const std::string good = ":03008000020080FB\n:00000001FF\n";
    FirmwarePlaces places;
    places.dataDirectory = data.path();
    places.libraryDirectory = library.path() + "/";

    FirmwareImage image;
    std::string error;
    ASSERT_TRUE(loadFirmwareImage(places, image, error)) << error;
    EXPECT_TRUE(image.isBundled());
    EXPECT_EQ(image.origin(), "bundled");
    EXPECT_EQ(image.recordCount(), kFirmwareRecordCount);
    EXPECT_EQ(image.bytes(), firmwareImageBytes());
    EXPECT_EQ(image.data(), firmwareImage());

    const std::string besideLibrary = library.file(kFirmwareFileName, good);
    ASSERT_TRUE(loadFirmwareImage(places, image, error)) << error;
    EXPECT_EQ(image.origin(), besideLibrary);
    EXPECT_EQ(image.file().from, "beside the library");
    EXPECT_EQ(image.recordCount(), 2u);
    EXPECT_EQ(image.bytes(), 44u);
    EXPECT_EQ(image.dataBytes(), 3u);

    const std::string inData = data.file(kFirmwareFileName, good + "\n");
    ASSERT_TRUE(loadFirmwareImage(places, image, error)) << error;
    EXPECT_EQ(image.origin(), inData);
    EXPECT_EQ(image.file().from, "data directory");

    // The variable wins over both, also when its file is bad.
    places.variableSet = true;
    places.variable = data.file("other.hex", ":00000001FF\n");
    EXPECT_FALSE(loadFirmwareImage(places, image, error));
    EXPECT_TRUE(image.isBundled());
    EXPECT_NE(error.find(places.variable), std::string::npos) << error;
    EXPECT_NE(error.find("holds no data"), std::string::npos) << error;
}

TEST(FirmwarePlaces, AFaultyFileInTheDataDirectoryIsReportedNotPassedOver) {
    TempDir data, library;
    FirmwarePlaces places;
    places.dataDirectory = data.path();
    places.libraryDirectory = library.path();
    data.file(kFirmwareFileName, ":03008000020080FB\n");  // cut short
    library.file(kFirmwareFileName, ":03008000020080FB\n:00000001FF\n");
    FirmwareImage image;
    std::string error;
    EXPECT_FALSE(loadFirmwareImage(places, image, error));
    EXPECT_EQ(error, "firmware file \"" + data.path() + "/" + kFirmwareFileName +
                         "\" (data directory) is malformed, no unit opened: no end record "
                         "(:00000001FF): the file is cut short");
}

TEST(FirmwarePlaces, DirectoryOfAPathKeepsItsSeparators) {
    EXPECT_EQ(directoryOf("/usr/lib/libtrelvo.so.1"), "/usr/lib");
    EXPECT_EQ(directoryOf("C:\\Program Files\\Trelvo\\Trelvo.dll"), "C:\\Program Files\\Trelvo");
    EXPECT_EQ(directoryOf("/libtrelvo.so.1"), "/");
    EXPECT_EQ(directoryOf("Trelvo.dll"), "");
}

TEST(FirmwarePlaces, TheLibraryKnowsItsOwnFile) {
    // Linked statically into the test program, the library's file is the program.
    std::string path;
    ASSERT_TRUE(trelvo::platform::libraryFilePath(path));
    char self[PATH_MAX];
    ASSERT_NE(realpath("/proc/self/exe", self), nullptr);
    EXPECT_EQ(path, self);
}

}  // namespace
