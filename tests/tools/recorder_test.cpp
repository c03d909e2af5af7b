// The HDF5 recorder of `trelvo log` on its own: where runs begin, what the
// gap table holds, that values come back as written, the errors it gives;
// and the parsing of --rotate and the names of rotated files.
#include "log/recorder.h"

#include <gtest/gtest.h>
#include <hdf5.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "log/hdf5_support.h"
#include "log/log_command.h"

namespace {

using namespace trelvo_cli;
using hid5::Handle;

struct RunRow {
    uint64_t first_row, first_index;
    int64_t utc_ns;
};
struct Gap {
    uint64_t index, missed;
    uint8_t cause;
};

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/trelvo-recorder-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        path_ = dir_ + "/r.h5";
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    static RecordedUnit unit(int handle, std::vector<int> channels) {
        RecordedUnit u;
        u.handle = handle;
        u.variant = "TRELVO/12";
        u.firstText = "SIM0000" + std::to_string(handle - 1);
        u.channels = std::move(channels);
        u.readingIntervalUs = 50;
        return u;
    }
    static std::vector<uint16_t> counting(uint16_t from, std::size_t count) {
        std::vector<uint16_t> v(count);
        for (std::size_t i = 0; i < count; ++i) v[i] = static_cast<uint16_t>(from + i);
        return v;
    }

    template <typename Row>
    std::vector<Row> table(hid_t file, const std::string& name, hid_t type) {
        Handle d(H5Dopen2(file, name.c_str(), H5P_DEFAULT), H5Dclose);
        EXPECT_TRUE(d.valid()) << name;
        Handle space(H5Dget_space(d.get()), H5Sclose);
        std::vector<Row> rows(static_cast<std::size_t>(H5Sget_simple_extent_npoints(space.get())));
        if (!rows.empty()) {
            EXPECT_GE(H5Dread(d.get(), type, H5S_ALL, H5S_ALL, H5P_DEFAULT, rows.data()), 0);
        }
        return rows;
    }
    std::vector<RunRow> runs(hid_t file, const std::string& group) {
        Handle t(H5Tcreate(H5T_COMPOUND, sizeof(RunRow)), H5Tclose);
        H5Tinsert(t.get(), "first_row", HOFFSET(RunRow, first_row), H5T_NATIVE_UINT64);
        H5Tinsert(t.get(), "first_index", HOFFSET(RunRow, first_index), H5T_NATIVE_UINT64);
        H5Tinsert(t.get(), "utc_ns", HOFFSET(RunRow, utc_ns), H5T_NATIVE_INT64);
        return table<RunRow>(file, group + "/runs", t.get());
    }
    std::vector<Gap> gaps(hid_t file, const std::string& group) {
        Handle t(H5Tcreate(H5T_COMPOUND, sizeof(Gap)), H5Tclose);
        H5Tinsert(t.get(), "index", HOFFSET(Gap, index), H5T_NATIVE_UINT64);
        H5Tinsert(t.get(), "readings_missed", HOFFSET(Gap, missed), H5T_NATIVE_UINT64);
        H5Tinsert(t.get(), "cause", HOFFSET(Gap, cause), H5T_NATIVE_UINT8);
        return table<Gap>(file, group + "/gaps", t.get());
    }
    std::vector<uint16_t> values(hid_t file, const std::string& group) {
        return table<uint16_t>(file, group + "/values", H5T_NATIVE_UINT16);
    }

    std::string dir_, path_;
};

TEST_F(RecorderTest, RunsStartAtTheFirstAppendAfterAGapAndAtAnUnreportedJump) {
    {
        Recorder r(path_, {unit(1, {1, 2})}, RecordingInfo{"p", "l", 1});
        auto a = counting(0, 200);  // 100 scans of two channels
        r.append(0, 0, 1000, a.data(), 100);
        r.append(0, 100, 9999, a.data(), 50);  // continues: its time is not stored
        r.addGap(0, 150, 10, GapCause::RingFull);
        r.addGap(0, 160, 5, GapCause::LostOnTheWay);
        r.append(0, 165, 2000, a.data(), 20);
        r.flush();
        r.append(0, 300, 3000, a.data(), 5);  // a jump nobody reported
        EXPECT_EQ(r.rows(0), 175u);
        r.close();
        EXPECT_GT(r.size(), 0u);
    }
    hid5::initialise();
    Handle f(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    ASSERT_TRUE(f.valid()) << "a closed file opens in a plain reader";
    const auto rs = runs(f.get(), "unit1");
    ASSERT_EQ(rs.size(), 3u);
    EXPECT_EQ(rs[0].first_row, 0u);
    EXPECT_EQ(rs[0].first_index, 0u);
    EXPECT_EQ(rs[0].utc_ns, 1000);
    EXPECT_EQ(rs[1].first_row, 150u);
    EXPECT_EQ(rs[1].first_index, 165u);
    EXPECT_EQ(rs[1].utc_ns, 2000);
    EXPECT_EQ(rs[2].first_row, 170u);
    EXPECT_EQ(rs[2].first_index, 300u);
    const auto gs = gaps(f.get(), "unit1");
    ASSERT_EQ(gs.size(), 2u);
    EXPECT_EQ(gs[0].index, 150u);
    EXPECT_EQ(gs[0].missed, 10u);
    EXPECT_EQ(gs[0].cause, 1);
    EXPECT_EQ(gs[1].cause, 2);
    const auto v = values(f.get(), "unit1");
    ASSERT_EQ(v.size(), 175u * 2);
    EXPECT_EQ(v[2 * 100], 0) << "the second append starts with the buffer's first scan";
    EXPECT_EQ(v[2 * 99 + 1], 199);
    EXPECT_EQ(*hid5::readString(f.get(), "format"), "trelvo-log");
    EXPECT_EQ(*hid5::readInt(f.get(), "format_version"), 1);
    Handle g(H5Gopen2(f.get(), "unit1", H5P_DEFAULT), H5Gclose);
    EXPECT_EQ(*hid5::readIntArray(g.get(), "channels"), (std::vector<int>{1, 2}));
    EXPECT_EQ(*hid5::readString(g.get(), "first_text"), "SIM00000");
    EXPECT_DOUBLE_EQ(*hid5::readDouble(g.get(), "reading_interval_us"), 50.0);
}

TEST_F(RecorderTest, UnitsKeepTheirOwnTablesAndLargeAppendsAreWrittenWhole) {
    {
        Recorder r(path_, {unit(1, {1}), unit(3, {4, 5, 6})}, RecordingInfo{"p", "l", 2});
        // Past the size at which the recorder writes without a flush.
        const auto big = counting(7, 3 * 1'000'000);
        r.append(1, 0, 0, big.data(), 1'000'000);
        r.append(0, 5, 0, big.data(), 10);
        r.addGap(1, 1'000'000, 3, GapCause::UnitLeft);
        r.close();
    }
    Handle f(H5Fopen(path_.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT), H5Fclose);
    ASSERT_TRUE(f.valid());
    EXPECT_EQ(*hid5::readInt(f.get(), "file_number"), 2);
    EXPECT_EQ(values(f.get(), "unit1").size(), 10u);
    EXPECT_EQ(runs(f.get(), "unit1")[0].first_index, 5u);
    EXPECT_TRUE(gaps(f.get(), "unit1").empty());
    const auto v3 = values(f.get(), "unit3");
    ASSERT_EQ(v3.size(), 3'000'000u);
    EXPECT_EQ(v3.back(), static_cast<uint16_t>(7 + 3'000'000 - 1));
    ASSERT_EQ(gaps(f.get(), "unit3").size(), 1u);
    EXPECT_EQ(gaps(f.get(), "unit3")[0].cause, 3);
}

TEST_F(RecorderTest, RefusesWhatTheContractDoesNotAllow) {
    const auto kind = [](auto&& call) {
        try {
            call();
        } catch (const RecorderError& e) {
            return e.kind();
        }
        ADD_FAILURE() << "no error";
        return RecorderError::Kind::Write;
    };
    EXPECT_EQ(kind([&] { Recorder(path_, {}, {}); }), RecorderError::Kind::Usage);
    EXPECT_EQ(kind([&] { Recorder(path_, {unit(1, {})}, {}); }), RecorderError::Kind::Usage);
    EXPECT_EQ(kind([&] {
                  Recorder(path_, {unit(2, {1}), unit(2, {3})}, {});
              }),
              RecorderError::Kind::Usage);
    EXPECT_EQ(kind([&] { Recorder(dir_ + "/no/such/dir.h5", {unit(1, {1})}, {}); }),
              RecorderError::Kind::Create);
    Recorder r(path_, {unit(1, {1})}, {});
    const uint16_t one = 1;
    EXPECT_EQ(kind([&] { r.append(1, 0, 0, &one, 1); }), RecorderError::Kind::Usage);
    r.close();
    EXPECT_EQ(kind([&] { r.append(0, 0, 0, &one, 1); }), RecorderError::Kind::Usage);
    EXPECT_EQ(kind([&] { r.flush(); }), RecorderError::Kind::Usage);
}

TEST(LogOptions, RotationIsATimeWithAUnitOrASize) {
    uint64_t us = 0, bytes = 0;
    EXPECT_TRUE(parseRotation("1h", us, bytes));
    EXPECT_EQ(us, 3'600'000'000u);
    EXPECT_EQ(bytes, 0u);
    EXPECT_TRUE(parseRotation("30min", us, bytes));
    EXPECT_EQ(us, 1'800'000'000u);
    EXPECT_TRUE(parseRotation("500MB", us, bytes));
    EXPECT_EQ(bytes, 500'000'000u);
    EXPECT_EQ(us, 0u);
    EXPECT_TRUE(parseRotation("64KiB", us, bytes));
    EXPECT_EQ(bytes, 65536u);
    EXPECT_TRUE(parseRotation("1.5GB", us, bytes));
    EXPECT_EQ(bytes, 1'500'000'000u);
    for (const char* bad :
         {"5", "0MB", "0s", "-5MB", "0x10MB", "nanMB", "infGB", "MB", "1parsec", "", "5 MB"})
        EXPECT_FALSE(parseRotation(bad, us, bytes)) << bad;
}

TEST(LogOptions, RotatedNamesNumberBeforeTheExtension) {
    EXPECT_EQ(rotatedName("run.h5", 1), "run-000001.h5");
    EXPECT_EQ(rotatedName("data/run.h5", 12), "data/run-000012.h5");
    EXPECT_EQ(rotatedName("data.d/run", 2), "data.d/run-000002");
    EXPECT_EQ(rotatedName(".h5", 3), ".h5-000003");
    EXPECT_LT(rotatedName("a.h5", 9), rotatedName("a.h5", 10)) << "names sort in time order";
}

}  // namespace
