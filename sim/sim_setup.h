// The TRELVO_SIMULATE grammar (sim/README.md): pure parsing, no side effects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/simulator.h"

namespace trelvo::sim {

struct SimSetup {
    struct Unit {
        int index = 0;  // device file
        UnitConfig config;
        bool heldElsewhere = false;
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
