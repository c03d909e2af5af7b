// The TRELVO_SIMULATE grammar: pure parsing, and the factory's answer to a
// malformed value.
#include "sim/sim_setup.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "device/identity.h"
#include "driver/backend_factory.h"
#include "driver/driver_interface.h"
#include "sim/simulator.h"

namespace {

using namespace trelvo::sim;

SimSetup parse(const std::string& text) {
    SimSetup setup;
    std::string error;
    EXPECT_TRUE(parseSimulateSetup(text, setup, error)) << text << ": " << error;
    return setup;
}

std::string failure(const std::string& text) {
    SimSetup setup;
    std::string error;
    EXPECT_FALSE(parseSimulateSetup(text, setup, error)) << text;
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    return error;
}

TEST(SimSetup, CountForm) {
    auto setup = parse("2");
    ASSERT_EQ(setup.units.size(), 2u);
    EXPECT_EQ(setup.units[0].index, 0);
    EXPECT_EQ(setup.units[1].index, 1);
    for (const auto& u : setup.units) {
        EXPECT_EQ(u.config.variantBits, 12);
        EXPECT_EQ(u.config.firmware, FirmwareState::Running);
        EXPECT_FALSE(u.config.fastClock);
        EXPECT_FALSE(u.heldElsewhere);
    }
    EXPECT_EQ(parse("0").units.size(), 0u);
    EXPECT_EQ(parse(" 64 ").units.size(), 64u);
    EXPECT_EQ(parse("12").units.size(), 12u) << "a lone number is a count";
    EXPECT_FALSE(parse("3").driverVersion);
}

TEST(SimSetup, VariantList) {
    auto setup = parse("12,10,12");
    ASSERT_EQ(setup.units.size(), 3u);
    EXPECT_EQ(setup.units[0].config.variantBits, 12);
    EXPECT_EQ(setup.units[1].config.variantBits, 10);
    EXPECT_EQ(setup.units[2].config.variantBits, 12);
    EXPECT_EQ(setup.units[2].index, 2);
    setup = parse("10bit");
    ASSERT_EQ(setup.units.size(), 1u);
    EXPECT_EQ(setup.units[0].config.variantBits, 10);
    setup = parse("12, -, 10");
    ASSERT_EQ(setup.units.size(), 2u);
    EXPECT_EQ(setup.units[1].index, 2) << "'-' leaves a device file empty";
}

TEST(SimSetup, UnitOptions) {
    auto setup =
        parse("12:fast;ch1=sine(1000,500,50Hz);held,10:fw=rev2;delay=20;seed=9;frame=4294967000");
    ASSERT_EQ(setup.units.size(), 2u);
    const auto& a = setup.units[0];
    EXPECT_TRUE(a.config.fastClock);
    EXPECT_TRUE(a.heldElsewhere);
    EXPECT_EQ(a.config.signals[0].waveform, Waveform::Sine);
    EXPECT_EQ(a.config.signals[0].level, 1000);
    EXPECT_EQ(a.config.signals[0].amplitude, 500);
    EXPECT_EQ(a.config.signals[0].frequencyHz, 50);
    EXPECT_EQ(a.config.signals[1].frequencyHz, defaultSignal(2).frequencyHz)
        << "others keep their defaults";
    const auto& b = setup.units[1];
    EXPECT_EQ(b.config.variantBits, 10);
    EXPECT_EQ(b.config.firmware, FirmwareState::OtherRevision);
    EXPECT_EQ(b.config.reenumerateDelayMs, 20u);
    EXPECT_EQ(b.config.seed, 9u);
    EXPECT_EQ(b.config.frameBase, 4294967000u);

    EXPECT_EQ(parse("12:blank").units[0].config.firmware, FirmwareState::Blank);
    EXPECT_EQ(parse("12:chipa").units[0].config.firmware, FirmwareState::BlankChipMaker1);
    EXPECT_EQ(parse("12:fw=chipB").units[0].config.firmware, FirmwareState::BlankChipMaker2);
    EXPECT_EQ(parse("12:CHIPC").units[0].config.firmware, FirmwareState::BlankChipMaker3);
    EXPECT_EQ(parse("12:running").units[0].config.firmware, FirmwareState::Running);

    setup = parse("12:all=dc(100);ch11=counter");
    for (int c = 0; c < 10; ++c)
        EXPECT_EQ(setup.units[0].config.signals[static_cast<std::size_t>(c)].waveform,
                  Waveform::Dc);
    EXPECT_EQ(setup.units[0].config.signals[10].waveform, Waveform::Counter);
    EXPECT_EQ(setup.units[0].config.signals[10].level, 0);
}

TEST(SimSetup, DriverVersion) {
    auto setup = parse("12,driver=1.12");
    ASSERT_TRUE(setup.driverVersion);
    EXPECT_EQ(setup.driverVersion->major, 1);
    EXPECT_EQ(setup.driverVersion->minor, 12);
    EXPECT_EQ(setup.driverVersion->build, 0);
    EXPECT_EQ(setup.units.size(), 1u);
    setup = parse("driver=2.5.7");
    EXPECT_EQ(setup.units.size(), 0u);
    EXPECT_EQ(setup.driverVersion->build, 7);
}

TEST(SimSetup, Signals) {
    Signal s;
    std::string e;
    ASSERT_TRUE(parseSignal("sine(2048,1500,1.5kHz,90deg,3)", s, e)) << e;
    EXPECT_EQ(s.waveform, Waveform::Sine);
    EXPECT_EQ(s.frequencyHz, 1500);
    EXPECT_EQ(s.phaseDeg, 90);
    EXPECT_EQ(s.noise, 3);
    ASSERT_TRUE(parseSignal(" Square( 100 , 50 , 2 ) ", s, e)) << e;
    EXPECT_EQ(s.waveform, Waveform::Square);
    EXPECT_EQ(s.level, 100);
    EXPECT_EQ(s.amplitude, 50);
    EXPECT_EQ(s.frequencyHz, 2);
    ASSERT_TRUE(parseSignal("triangle", s, e));
    EXPECT_EQ(s.waveform, Waveform::Triangle);
    ASSERT_TRUE(parseSignal("ramp(2048,2000,0.5hz)", s, e));
    EXPECT_EQ(s.frequencyHz, 0.5);
    ASSERT_TRUE(parseSignal("dc(1000,4)", s, e));
    EXPECT_EQ(s.level, 1000);
    EXPECT_EQ(s.noise, 4);
    ASSERT_TRUE(parseSignal("counter(100)", s, e));
    EXPECT_EQ(s.waveform, Waveform::Counter);
    EXPECT_EQ(s.level, 100);
    ASSERT_TRUE(parseSignal("noise(2000,30)", s, e));
    EXPECT_EQ(s.waveform, Waveform::Noise);
    EXPECT_EQ(s.amplitude, 30);
    ASSERT_TRUE(parseSignal("noise", s, e));
    EXPECT_EQ(s.level, 2048);

    for (const char* bad :
         {"", "saw(1)", "sine(1,2,3,4,5,6)", "dc(abc)", "dc(1", "sine(1,2,3ms)", "dc(1,2,3)",
          "sine(1,2,-3)", "counter(1,2)", "dc((1))", "dc(nan)", "dc(1e999)"}) {
        EXPECT_FALSE(parseSignal(bad, s, e)) << bad;
        EXPECT_FALSE(e.empty());
    }
}

TEST(SimSetup, Malformed) {
    failure("");
    failure("   ");
    failure("65");
    failure("99999999999999999999");
    failure("-1");
    failure("2,");
    failure(",12");
    failure("12,,10");
}

TEST(SimSetup, MalformedLists) {
    for (const char* bad : {"8,10",
                            "12:fsat",
                            "12:ch12=dc(1)",
                            "12:ch0=dc(1)",
                            "12:chx=dc(1)",
                            "12:ch1=foo",
                            "12:ch1=sine(1,2",
                            "12:delay=abc",
                            "12:delay=-5",
                            "12:seed=1.5",
                            "12:fw=gold",
                            "12:",
                            "12:fast;",
                            "12:;fast",
                            "driver=1",
                            "driver=1.x",
                            "driver=1.2.3.4",
                            "12,driver=70000.1",
                            "12)",
                            "12:ch1=dc(1))",
                            "2;3",
                            "12 10",
                            "12:batch=0",
                            "12:batch=401",
                            "12:unplug=soon",
                            "12:replug=-5",
                            "12:fail=bulk",
                            "12:fail=reply@",
                            "12:fail=reply@-1",
                            "12:fail=descriptor@2",
                            "12:fail",
                            "12:identity=broken",
                            "12:return=64",
                            "12:overlong=0",
                            "12:dropframes=",
                            "12:dropbytes=x",
                            "12:notready=never"}) {
        failure(bad);
    }
    std::string all;
    for (int i = 0; i < 65; ++i) all += i ? ",12" : "12";
    failure(all);
}

TEST(SimSetup, FactoryReportsMalformedValueOnOneLine) {
    ::testing::internal::CaptureStderr();
    auto backend = trelvo::usb::createSimulatedBackend("12:bogus");
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(backend, nullptr);
    EXPECT_NE(err.find("TRELVO_SIMULATE"), std::string::npos);
    EXPECT_NE(err.find("bogus"), std::string::npos);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);

    ::testing::internal::CaptureStderr();
    backend = trelvo::usb::createSimulatedBackend("12,10");
    EXPECT_TRUE(::testing::internal::GetCapturedStderr().empty());
    ASSERT_NE(backend, nullptr);
    auto simulator = std::dynamic_pointer_cast<Simulator>(backend);
    ASSERT_TRUE(simulator);
    ASSERT_TRUE(simulator->unit(1));
    EXPECT_EQ(simulator->unit(1)->identity()[11], 0) << "10-bit variant code";
    EXPECT_FALSE(simulator->unit(2));
}

TEST(SimSetup, FromSpecAppliesEverything) {
    std::string error;
    auto simulator = Simulator::fromSetup("12:fw=blank;ch3=dc(7),driver=1.20.5", &error);
    ASSERT_TRUE(simulator) << error;
    ASSERT_TRUE(simulator->unit(0));
    EXPECT_EQ(simulator->unit(0)->firmware(), FirmwareState::Blank);
    EXPECT_EQ(simulator->unit(0)->signal(3).level, 7);
    EXPECT_FALSE(Simulator::fromSetup("12:nope", &error));
    EXPECT_NE(error.find("nope"), std::string::npos);
}

TEST(SimSetup, FaultOptions) {
    using Identity = SimSetup::Faults::Identity;
    const auto a = parse(
        "12:fail=command@3;fail=Stream;unplug=2500;replug=300;identity=checksum;noreturn;overlong;"
        "dropframes=7;batch=1,10:fail=reply@0;fail=descriptor;identity=variant;return=9;"
        "overlong=50;dropbytes=1000;notready=always,12:identity=short;notready=4");
    ASSERT_EQ(a.units.size(), 3u);
    const auto& f0 = a.units[0].faults;
    EXPECT_EQ(f0.failAfter, (std::map<uint32_t, int>{{1, 3}, {0, 0}}));
    EXPECT_EQ(f0.unplugAfterMs, 2500u);
    EXPECT_EQ(f0.replugAfterMs, 300u);
    EXPECT_EQ(f0.identity, Identity::BadChecksum);
    EXPECT_TRUE(f0.neverReturn);
    EXPECT_TRUE(f0.overlongOnce);
    EXPECT_EQ(f0.dropFrames, 7u);
    EXPECT_EQ(a.units[0].config.batchFrames, 1u);
    EXPECT_FALSE(f0.descriptorFails);
    const auto& f1 = a.units[1].faults;
    EXPECT_EQ(f1.failAfter, (std::map<uint32_t, int>{{2, 0}}));
    EXPECT_TRUE(f1.descriptorFails);
    EXPECT_EQ(f1.identity, Identity::BadVariant);
    EXPECT_EQ(f1.returnIndex, 9);
    EXPECT_EQ(f1.overlongEvery, 50u);
    EXPECT_FALSE(f1.overlongOnce);
    EXPECT_EQ(f1.dropBytes, 1000u);
    EXPECT_EQ(f1.notReady, -1);
    EXPECT_EQ(a.units[1].config.batchFrames, 8u) << "default";
    EXPECT_EQ(a.units[2].faults.identity, Identity::Short);
    EXPECT_EQ(a.units[2].faults.notReady, 4);
    EXPECT_FALSE(a.units[2].faults.unplugAfterMs);
}

TEST(SimSetup, FaultsReachTheSimulatedUnits) {
    std::string error;
    auto simulator = Simulator::fromSetup(
        "12:identity=checksum,12:identity=variant,12:fail=descriptor,12:rev2;noreturn;delay=0,"
        "12:rev2;return=9;delay=0",
        &error);
    ASSERT_TRUE(simulator) << error;
    const auto checksumOk = [](const std::array<uint8_t, 64>& r) {
        return trelvo::device::identityChecksumValid(r.data());
    };
    EXPECT_FALSE(checksumOk(simulator->unit(0)->identity()));
    EXPECT_TRUE(checksumOk(simulator->unit(1)->identity()));
    EXPECT_EQ(trelvo::device::identityVariant(simulator->unit(1)->identity().data()), 0);
    const auto backend = std::static_pointer_cast<trelvo::usb::IDriverBackend>(simulator);
    const int64_t descriptorFile = backend->open(2);
    ASSERT_GE(descriptorFile, 0);
    trelvo::usb::DeviceDescriptor d{};
    EXPECT_FALSE(backend->control(descriptorFile, trelvo::usb::kIoctlGetDeviceDescriptor, nullptr,
                                  0, &d, sizeof d, nullptr));
    backend->close(descriptorFile);
    // Host download path: reset, one memory write, run. The unit leaves the bus.
    const auto download = [&](int index) {
        const int64_t file = backend->open(index);
        EXPECT_GE(file, 0);
        trelvo::usb::VendorRequest reset{0xA0, 0, 0xE600, 0, 1, 0, 1};
        EXPECT_TRUE(backend->control(file, trelvo::usb::kIoctlVendorRequest, &reset, sizeof reset,
                                     nullptr, 0, nullptr));
        const uint16_t address = 0x100;
        uint8_t byte = 0x12;
        EXPECT_TRUE(
            backend->control(file, trelvo::usb::kIoctlWriteMemory, &address, 2, &byte, 1, nullptr));
        trelvo::usb::VendorRequest run{0xA0, 0, 0xE600, 0, 1, 0, 0};
        EXPECT_TRUE(backend->control(file, trelvo::usb::kIoctlVendorRequest, &run, sizeof run,
                                     nullptr, 0, nullptr));
        backend->close(file);
    };
    auto never = simulator->unit(3);
    auto elsewhere = simulator->unit(4);
    download(3);
    download(4);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(never->onBus()) << "noreturn";
    EXPECT_LT(backend->open(3), 0);
    EXPECT_EQ(elsewhere->index(), 9) << "return=9";
    EXPECT_EQ(elsewhere->firmware(), FirmwareState::Running);
}

}  // namespace
