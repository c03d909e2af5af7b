// The TRELVO_SIMULATE grammar (sim/README.md): pure parsing, no side effects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace trelvo::sim {

struct SimSetup {
    // Faults a unit starts with (the SimUnit fault calls made at plug-in).
    struct Faults {
        bool descriptorFails = false;
        std::map<uint32_t, int> failAfter;  // pipe index -> transfers that still succeed
        enum class Identity { Valid, BadChecksum, BadVariant, Short } identity = Identity::Valid;
        bool neverReturn = false;
        int returnIndex = -1;
        bool overlongOnce = false;
        uint32_t overlongEvery = 0;
        uint32_t dropFrames = 0;
        uint32_t dropBytes = 0;
        int notReady = 0;
        std::optional<uint32_t> unplugAfterMs;
        std::optional<uint32_t> replugAfterMs;  // back this long after the timed unplug
    };
    struct Unit {
        int index = 0;  // device file
        UnitConfig config;
        bool heldElsewhere = false;
        Faults faults;
    };
    std::vector<Unit> units;
    struct Version {
        uint16_t major = 1, minor = 13, build = 0;
    };
    std::optional<Version> driverVersion;
};

// Parses a whole TRELVO_SIMULATE value. False with a one-line reason in
// `error` when malformed (`setup` is then unspecified).
bool parseSimulateSetup(const std::string& text, SimSetup& setup, std::string& error);

// Parses one signal: "sine(2048,1500,50Hz,90deg)", "dc(1000)", "counter",
// "counter(100)", "noise(2048,20)", ... (see sim/README.md).
bool parseSignal(const std::string& text, Signal& signal, std::string& error);

}  // namespace trelvo::sim
