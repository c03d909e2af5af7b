// The WinUSB backend (UsbDriverBackend over the WinUSB host) as a Windows
// program: the host's SetupAPI and WinUSB calls go to a fake over simulated
// units (fake_winusb.*), everything else (events, thread-pool waits, threads)
// is the system's. The cases follow the libusb backend's fake-host suite:
// indices per port, records, bulk pipes, stalls, exclusive opens, firmware
// download and re-enumeration, the stream with lost packets, unplug.
#include <windows.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "check.h"
#include "driver/driver_interface.h"
#include "driver/unit_ids.h"
#include "driver/usb_backend.h"
#include "driver/usb_records.h"
#include "driver/winusb/winusb_host.h"
#include "driver/winusb_records.h"
#include "fake_winusb.h"
#include "platform/platform.h"
#include "sim/sim_model.h"
#include "support/fake_usb_host.h"
#include "usb/firmware_image.h"

namespace {

namespace usb = trelvo::usb;
namespace sim = trelvo::sim;
namespace driver = trelvo::driver;
using driver::UsbDriverBackend;
using trelvo::testing::FakeUsbHost;
using trelvo::testing::FakeWinusb;

sim::UnitConfig unitConfig(sim::FirmwareState firmware = sim::FirmwareState::Running) {
    sim::UnitConfig c;
    c.firmware = firmware;
    c.reenumerateDelayMs = 300;
    return c;
}

std::vector<uint8_t> imageBytes() {
    const auto* p = static_cast<const uint8_t*>(usb::firmwareImage());
    return std::vector<uint8_t>(p, p + usb::firmwareImageBytes());
}

// One case: simulated units on a fake bus, the WinUSB backend over them.
struct Bench {
    std::shared_ptr<FakeUsbHost> host = std::make_shared<FakeUsbHost>();
    FakeWinusb winusb{host};
    std::shared_ptr<UsbDriverBackend> backend = std::make_shared<UsbDriverBackend>(
        [api = winusb.api()] { return driver::makeWinusbHost(api); });

    ~Bench() {
        backend->shutdown();
        CHECK_MSG(winusb.misuse() == 0, "%d calls a real WinUSB would refuse", winusb.misuse());
        CHECK(winusb.deviceInfoLists() == 0);
    }
    bool request(int64_t file, uint32_t code, const void* in, uint32_t inLength, void* out,
                 uint32_t outLength, uint32_t* returned = nullptr) {
        uint32_t count = 0;
        const bool ok = backend->control(file, code, in, inLength, out, outLength, &count);
        if (returned) *returned = count;
        return ok;
    }
    bool select(int64_t file) {
        const uint8_t zero[2] = {0, 0};
        return request(file, usb::kIoctlSelectInterface, zero, 2, nullptr, 0);
    }
    int64_t openUnit(int index) {
        const int64_t file = backend->open(index);
        CHECK(file >= 0);
        CHECK(select(file));
        return file;
    }
};

void testWireLogic() {
    uint16_t v = 0, p = 0, r = 0;
    CHECK(driver::parseHardwareId("USB\\VID_F7E1&PID_1002&REV_0001", v, p, r));
    CHECK(v == 0xF7E1 && p == 0x1002 && r == 1);
    CHECK(driver::parseHardwareId("usb\\vid_04b4&pid_8613", v, p, r));  // case, no REV
    CHECK(v == 0x04B4 && p == 0x8613 && r == 0);
    CHECK(!driver::parseHardwareId("USB\\VID_F7E1", v, p, r));
    CHECK(!driver::parseHardwareId("HID\\VID_F7E1&PID_1002", v, p, r));
    CHECK(!driver::parseHardwareId("USB\\VID_F7G1&PID_1002", v, p, r));
    CHECK(!driver::parseHardwareId("USB\\VID_F7E1&PID_10", v, p, r));
    const char multi[] = {'a', 'b', '\0', 'c', '\0', '\0'};
    CHECK(driver::firstString(multi, sizeof multi) == "ab");
    CHECK(driver::firstString(multi, 1) == "a");  // no terminator within the length
    CHECK(driver::winusbPortKey("P", "I", "X") == "P");
    CHECK(driver::winusbPortKey("", "I", "X") == "I");
    CHECK(driver::winusbPortKey("", "", "X") == "X");
}

void testIndicesStickToPortsAndOnlyCandidatesGetOne() {
    Bench b;
    b.host->plugOther("1-1", 0x046D, 0xC077);  // bound with our interface by mistake
    b.host->plug("1-2", unitConfig());
    b.host->plug("1-3", unitConfig(sim::FirmwareState::BlankChipMaker3));
    b.winusb.withoutLocationPath("1-3");
    CHECK(b.backend->open(2) == -1);
    CHECK(b.backend->portOf(0) == "PCIROOT(0)#USBROOT(0)#USB(1-2)");
    CHECK(b.backend->portOf(1) == "Port_#1-3.Hub_#0001");  // no location path: location info
    CHECK(b.backend->portOf(2).empty());
    b.host->unplug("1-2");
    b.host->plug("2-1", unitConfig());
    CHECK(b.backend->open(0) == -1);
    const int64_t moved = b.backend->open(2);
    CHECK(moved >= 0);
    b.host->unplug("2-1");
    b.host->plug("1-2", unitConfig());
    const int64_t back = b.backend->open(0);
    CHECK(back >= 0);
    b.backend->close(moved);
    b.backend->close(back);
    CHECK(b.winusb.openFiles() == 0);
    CHECK(b.host->openHandles() == 0);
}

void testRecordsMatchTheUnitAndTheDriverInterface() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    const int64_t f = b.backend->open(0);
    CHECK(f >= 0);
    // The whole descriptor comes from the open device (the device list gives
    // only the identity).
    usb::DeviceDescriptor d{};
    uint32_t n = 0;
    CHECK(b.request(f, usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d, &n));
    CHECK(n == 18u);
    const usb::DeviceDescriptor expected = sim::descriptorFor(sim::FirmwareState::Running);
    CHECK(std::memcmp(&d, &expected, sizeof d) == 0);
    usb::InterfaceInfo info{};
    CHECK(!b.request(f, usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info));
    CHECK(b.select(f));
    CHECK(b.request(f, usb::kIoctlGetInterfaceInfo, nullptr, 0, &info, sizeof info, &n));
    CHECK(n == sizeof info);
    CHECK(info.pipeCount == 3u);
    CHECK(info.pipes[0].pipeType == usb::kPipeIsochronous);
    CHECK(info.pipes[0].endpointAddress == 0x88 && info.pipes[0].maxPacketSize == 60);
    CHECK(info.pipes[1].endpointAddress == 0x02);
    CHECK(info.pipes[2].endpointAddress == 0x82);
    usb::DriverVersion v{};
    CHECK(b.request(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v, &n));
    CHECK(v.major == 1 && v.minor == 13);
    // A vendor request to the unit carries its one data byte, with the
    // control pipe's time-out.
    const usb::VendorRequest led{0xB3, 0, 1, 0, 1, 0, 0x5A};
    CHECK(b.request(f, usb::kIoctlVendorRequest, &led, sizeof led, nullptr, 0));
    const auto log = b.host->controlLog("1-2");
    CHECK(!log.empty() && log.back().requestType == 0x40 && log.back().request == 0xB3 &&
          log.back().data == std::vector<uint8_t>{0x5A});
    CHECK(b.winusb.pipeTimeout(0) == driver::kControlTimeoutMs);
    b.backend->close(f);
    CHECK(!b.request(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v));
    CHECK(b.winusb.openFiles() == 0);
}

void testACommandAndItsReplyTravelOverTheBulkPipes() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    const int64_t f = b.openUnit(0);
    const uint8_t readIdentity = 4;
    const usb::PipeTransfer out{1, 0}, in{2, 0};
    uint32_t n = 0;
    CHECK(b.request(f, usb::kIoctlTransfer, &out, sizeof out, const_cast<uint8_t*>(&readIdentity),
                    1, &n));
    CHECK(n == 1u);
    std::array<uint8_t, 64> record{};
    CHECK(b.request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n));
    CHECK(n == 64u);
    std::array<uint8_t, 64> expected{};
    b.host->withModel("1-2", [&](sim::UnitModel& m) { expected = m.identity(); });
    CHECK(record == expected);
    CHECK(b.winusb.pipeTimeout(0x02) == driver::kBulkTimeoutMs);
    CHECK(b.winusb.pipeTimeout(0x82) == driver::kBulkTimeoutMs);
    // Nothing to read: the time-out moved nothing, which fails.
    CHECK(!b.request(f, usb::kIoctlTransfer, &in, sizeof in, record.data(), 64, &n));
    CHECK(!b.request(f, usb::kIoctlWrite, &in, sizeof in, record.data(), 64, &n));
    b.backend->close(f);
}

void testAStallResetsThePipeOnceAndTheRequestFails() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    const int64_t f = b.openUnit(0);
    b.host->stallBulk("1-2", 0x02, 1);
    const uint8_t indicator[2] = {5, 1};
    const usb::PipeTransfer out{1, 0};
    CHECK(!b.request(f, usb::kIoctlTransfer, &out, sizeof out, const_cast<uint8_t*>(indicator), 2));
    CHECK(b.host->clearHalts("1-2") == 1);  // WinUsb_ResetPipe
    uint32_t n = 0;
    CHECK(b.request(f, usb::kIoctlTransfer, &out, sizeof out, const_cast<uint8_t*>(indicator), 2,
                    &n));
    CHECK(n == 2u);
    CHECK(b.host->clearHalts("1-2") == 1);
    b.backend->close(f);
}

void testAUnitOpenedElsewhereIsPassedOver() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    // Another process has it: WinUSB refuses the open.
    b.host->holdElsewhere("1-2", true);
    CHECK(b.backend->open(0) == -1);
    CHECK(b.winusb.openFiles() == 0);
    CHECK(b.host->openHandles() == 0);
    b.host->holdElsewhere("1-2", false);
    const int64_t f = b.backend->open(0);
    CHECK(f >= 0);
    // The same unit once more: one open per device, in this process too.
    CHECK(b.backend->open(0) == -1);
    CHECK(b.winusb.openFiles() == 1);
    b.backend->close(f);
    const int64_t again = b.backend->open(0);
    CHECK(again >= 0);
    b.backend->close(again);
    CHECK(b.winusb.openFiles() == 0);
}

void testFirmwareDownloadHoldsTheCpuWritesEveryRecordAndComesBackAtTheSameIndex() {
    Bench b;
    b.host->plug("3-1", unitConfig(sim::FirmwareState::BlankChipMaker2));
    const int64_t f = b.backend->open(0);
    CHECK(f >= 0);
    CHECK(!b.select(f));  // a chip-maker identity is never selected
    const auto image = imageBytes();
    CHECK(b.request(f, usb::kIoctlLoadFirmware, image.data(), static_cast<uint32_t>(image.size()),
                    nullptr, 0));
    const auto log = b.host->controlLog("3-1");
    const std::size_t records = image.size() / sizeof(usb::FirmwareRecord) - 1;
    CHECK_MSG(log.size() == 2 + records + 2, "%u control transfers",
              static_cast<unsigned>(log.size()));
    if (log.size() == 2 + records + 2) {
        CHECK(log[0].value == 0xE600 && log[0].data == std::vector<uint8_t>{1});
        CHECK(log[1].value == 0x7F92 && log[1].data == std::vector<uint8_t>{1});
        bool same = true;
        for (std::size_t i = 0; i < records; ++i) {
            usb::FirmwareRecord r;
            std::memcpy(&r, image.data() + i * sizeof r, sizeof r);
            same = same && log[2 + i].requestType == 0x40 && log[2 + i].request == 0xA0 &&
                   log[2 + i].value == r.address &&
                   log[2 + i].data == std::vector<uint8_t>(r.data, r.data + r.length);
        }
        CHECK(same);
        CHECK(log[2 + records].value == 0xE600 && log[2 + records].data == std::vector<uint8_t>{0});
        CHECK(log[3 + records].value == 0x7F92 && !log[3 + records].delivered);
    }
    b.backend->close(f);
    CHECK(b.backend->open(0) == -1);  // off the bus
    trelvo::platform::sleepMs(400);
    const int64_t again = b.backend->open(0);
    CHECK(again >= 0);
    usb::DeviceDescriptor d{};
    CHECK(b.request(again, usb::kIoctlGetDeviceDescriptor, nullptr, 0, &d, sizeof d));
    CHECK(d.idVendor == usb::kOwnVendorId && d.idProduct == usb::kUnitProductId);
    b.backend->close(again);
}

void testAMalformedImageNeverReachesTheUnit() {
    Bench b;
    b.host->plug("3-1", unitConfig(sim::FirmwareState::BlankChipMaker1));
    const int64_t f = b.backend->open(0);
    CHECK(f >= 0);
    std::vector<uint8_t> bad = imageBytes();
    bad[22] = 17;  // the second record claims 17 bytes
    CHECK(!b.request(f, usb::kIoctlLoadFirmware, bad.data(), static_cast<uint32_t>(bad.size()),
                     nullptr, 0));
    CHECK(b.host->controlLog("3-1").empty());
    b.backend->close(f);
}

usb::IsoStreamParams streamParams() {
    return usb::IsoStreamParams{0, 100, 400, 1, 2};
}

usb::IsoPacketDescriptor descriptorAt(const std::vector<uint8_t>& out, uint32_t n, uint32_t i) {
    usb::IsoPacketDescriptor d;
    std::memcpy(&d, out.data() + 100 * n + 12 * i, sizeof d);
    return d;
}

std::vector<usb::IsoPacketDescriptor> readStream(Bench& b, int64_t f, uint32_t ms) {
    std::vector<usb::IsoPacketDescriptor> seen;
    const auto p = streamParams();
    std::vector<uint8_t> out((100 + 12) * 400);
    const uint32_t start = trelvo::platform::tickCount();
    while (trelvo::platform::tickCount() - start < ms) {
        uint32_t n = 0;
        if (!b.request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                       static_cast<uint32_t>(out.size()), &n))
            break;
        const uint32_t packets = n / 112;
        for (uint32_t i = 0; i < packets; ++i) seen.push_back(descriptorAt(out, packets, i));
    }
    return seen;
}

void testStreamPacketsArriveEveryFrameAndFailedOnesShowAsEmptyWithAnError() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    const int64_t f = b.openUnit(0);
    b.host->failPacketsEvery("1-2", 5);
    b.winusb.signalCompletionsOutOfOrder(true);
    const auto p = streamParams();
    CHECK(b.request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    CHECK(b.winusb.registeredBuffers() == driver::kIsoTransfers);
    // Several reads in flight: at most a few are between completion and
    // their next issue at any time.
    int inFlight = 0;
    for (int i = 0; i < 100 && inFlight < driver::kIsoTransfers / 2; ++i) {
        trelvo::platform::sleepMs(2);
        inFlight = b.winusb.readsPending();
    }
    CHECK_MSG(inFlight >= driver::kIsoTransfers / 2, "%d reads in flight", inFlight);
    const auto seen = readStream(b, f, 300);
    CHECK_MSG(seen.size() > 100u && seen.size() < 400u, "%u packets in 300 ms",
              static_cast<unsigned>(seen.size()));
    std::size_t failed = 0, bad = 0;
    for (const auto& d : seen) {
        if (d.length > 60u) ++bad;
        if (d.status != driver::kIsoPacketOk) {
            ++failed;
            if (d.length != 0u) ++bad;
        }
    }
    CHECK(bad == 0);
    const double expected = seen.size() / 5.0;
    CHECK_MSG(failed > expected - seen.size() / 10.0 && failed < expected + seen.size() / 10.0,
              "%u of %u packets failed", static_cast<unsigned>(failed),
              static_cast<unsigned>(seen.size()));
    // Packets are queued in the order the reads were issued, however their
    // events fire.
    CHECK_MSG(b.winusb.resultsOutOfOrder() == 0, "%d reads taken out of order",
              b.winusb.resultsOutOfOrder());
    // The stream starts anew once, then each read continues it.
    CHECK(b.winusb.freshStreamReads() == 1);
    CHECK(b.winusb.continuedStreamReads() > 50);
    CHECK(b.request(f, usb::kIoctlStopIsoStream, nullptr, 0, nullptr, 0));
    CHECK(b.winusb.readsPending() == 0);  // every read completed before the stop returned
    CHECK(b.winusb.registeredBuffers() == 0);
    std::vector<uint8_t> out((100 + 12) * 400);
    CHECK(!b.request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                     static_cast<uint32_t>(out.size())));
    // A new start begins afresh.
    CHECK(b.request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    CHECK(b.winusb.freshStreamReads() == 2);
    CHECK(!readStream(b, f, 50).empty());
    b.backend->close(f);  // stops the stream
    CHECK(b.winusb.readsPending() == 0);
    CHECK(b.winusb.registeredBuffers() == 0);
    CHECK(!b.backend->eventThreadRunning());
}

void testAfterAnUnplugEveryRequestFailsWithoutSpinningAndNothingIsLeftBehind() {
    Bench b;
    b.host->plug("1-2", unitConfig());
    const int64_t f = b.openUnit(0);
    const auto p = streamParams();
    CHECK(b.request(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0));
    readStream(b, f, 20);
    b.host->unplug("1-2");
    trelvo::platform::sleepMs(100);  // every read in flight has ended by now
    std::vector<uint8_t> out((100 + 12) * 400);
    // What arrived before the unplug is read first, then reads fail.
    int drained = 0;
    while (drained < 100 && b.request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                                      static_cast<uint32_t>(out.size())))
        ++drained;
    CHECK_MSG(drained < 100, "reads still succeed after an unplug");
    // Each failed read waits its time, not at once: the worker reads again
    // straight away, and reads that failed at once would keep it spinning.
    const uint32_t t0 = trelvo::platform::tickCount();
    int failedReads = 0;
    for (int i = 0; i < 5; ++i)
        failedReads += b.request(f, usb::kIoctlReadIsoStream, &p, sizeof p, out.data(),
                                 static_cast<uint32_t>(out.size()))
                           ? 0
                           : 1;
    const uint32_t elapsed = trelvo::platform::tickCount() - t0;
    CHECK(failedReads == 5);
    CHECK_MSG(elapsed + 2 >= 5 * driver::kStreamReadWaitMs && elapsed < 1000, "%u ms", elapsed);
    const uint8_t stop = 6;
    const usb::PipeTransfer cmd{1, 0};
    CHECK(!b.request(f, usb::kIoctlTransfer, &cmd, sizeof cmd, const_cast<uint8_t*>(&stop), 1));
    usb::DriverVersion v{};
    CHECK(b.request(f, usb::kIoctlGetDriverVersion, nullptr, 0, &v, sizeof v));  // no bus traffic
    b.backend->close(f);
    CHECK(b.winusb.openFiles() == 0);
    CHECK(b.winusb.readsPending() == 0);
    CHECK(b.winusb.registeredBuffers() == 0);
    CHECK(b.host->openHandles() == 0);
    CHECK(!b.backend->eventThreadRunning());
}

void testWithoutTheStreamCallsEverythingButTheStreamWorks() {
    // Windows before 8.1 has no WinUsb_ReadIsochPipeAsap.
    auto host = std::make_shared<FakeUsbHost>();
    FakeWinusb winusb(host);
    driver::WinusbApi older = *winusb.api();
    older.registerIsochBuffer = nullptr;
    older.unregisterIsochBuffer = nullptr;
    older.readIsochPipeAsap = nullptr;
    auto backend = driver::createWinusbBackend(&older);
    host->plug("1-2", unitConfig());
    const int64_t f = backend->open(0);
    CHECK(f >= 0);
    const uint8_t zero[2] = {0, 0};
    CHECK(backend->control(f, usb::kIoctlSelectInterface, zero, 2, nullptr, 0, nullptr));
    const uint8_t readIdentity = 4;
    const usb::PipeTransfer out{1, 0};
    uint32_t n = 0;
    CHECK(backend->control(f, usb::kIoctlTransfer, &out, sizeof out,
                           const_cast<uint8_t*>(&readIdentity), 1, &n) &&
          n == 1);
    const auto p = streamParams();
    CHECK(!backend->control(f, usb::kIoctlStartIsoStream, &p, sizeof p, nullptr, 0, nullptr));
    CHECK(winusb.registeredBuffers() == 0);
    backend->close(f);
    CHECK(winusb.openFiles() == 0);
    CHECK(winusb.misuse() == 0);
}

void testTheSystemsCallsUnderThisSystem() {
    // Wine ships a winusb.dll without a USB stack behind it: the calls load
    // (or not) and find no unit; nothing here reaches a device.
    const driver::WinusbApi* api = driver::systemWinusbApi();
    CHECK(api == driver::systemWinusbApi());  // loaded once
    printf("system WinUSB calls: %s%s\n", api ? "loaded" : "not available",
           api && !api->hasIsochronous() ? " (no isochronous calls)" : "");
    if (api) {
        auto host = driver::makeWinusbHost(api);
        CHECK(host->devices().empty());
        std::unique_ptr<driver::IUsbDeviceHandle> device;
        CHECK(host->open("PCIROOT(0)#USBROOT(0)#USB(1)", device) == driver::UsbStatus::NotFound);
        auto backend = driver::createWinusbBackend(api);
        CHECK(backend && backend->open(0) == -1);
    }
    CHECK(driver::createWinusbBackend(nullptr) == nullptr);
}

// The INF binds every identity that gets a device file index and gives it
// the interface class the host enumerates.
void testTheInfBindsEveryCandidateWithOurInterface() {
    std::string inf;
    if (FILE* f = std::fopen(TRELVO_WINUSB_INF, "rb")) {
        char chunk[4096];
        std::size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) inf.append(chunk, n);
        std::fclose(f);
    }
    CHECK_MSG(!inf.empty(), "no %s", TRELVO_WINUSB_INF);
    const GUID& g = driver::kTrelvoInterfaceGuid;
    char guid[64];
    std::snprintf(guid, sizeof guid, "{%08lX-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned long>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1],
                  g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    CHECK_MSG(inf.find(std::string("DeviceInterfaceGUIDs,0x10000,\"") + guid) != std::string::npos,
              "the INF does not give %s", guid);
    const uint16_t ids[][2] = {{usb::kOwnVendorId, usb::kUnitProductId},
                               {usb::kOwnVendorId, usb::kBlankProductId},
                               {usb::kChipMakerVendorA, usb::kChipMakerProductA},
                               {usb::kChipMakerVendorB, usb::kChipMakerProductB},
                               {usb::kChipMakerVendorC, usb::kChipMakerProductC}};
    for (const auto& id : ids) {
        CHECK(driver::isCandidate(id[0], id[1]));
        char hardware[40];
        std::snprintf(hardware, sizeof hardware, "USB\\VID_%04X&PID_%04X\r\n", id[0], id[1]);
        std::size_t count = 0;
        for (std::size_t at = inf.find(hardware); at != std::string::npos;
             at = inf.find(hardware, at + 1))
            ++count;
        CHECK_MSG(count == 3, "%s is bound for %u of the 3 architectures", hardware,
                  static_cast<unsigned>(count));
    }
}

}  // namespace

int main() {
    testWireLogic();
    testIndicesStickToPortsAndOnlyCandidatesGetOne();
    testRecordsMatchTheUnitAndTheDriverInterface();
    testACommandAndItsReplyTravelOverTheBulkPipes();
    testAStallResetsThePipeOnceAndTheRequestFails();
    testAUnitOpenedElsewhereIsPassedOver();
    testFirmwareDownloadHoldsTheCpuWritesEveryRecordAndComesBackAtTheSameIndex();
    testAMalformedImageNeverReachesTheUnit();
    testStreamPacketsArriveEveryFrameAndFailedOnesShowAsEmptyWithAnError();
    testAfterAnUnplugEveryRequestFailsWithoutSpinningAndNothingIsLeftBehind();
    testWithoutTheStreamCallsEverythingButTheStreamWorks();
    testTheSystemsCallsUnderThisSystem();
    testTheInfBindsEveryCandidateWithOurInterface();
    return CHECK_SUMMARY();
}
