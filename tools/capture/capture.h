// The capture subcommand: configures the trigger and the interval, runs a
// block, window or stream capture and writes CSV, a plot and a summary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/common_options.h"

namespace trelvo_cli {

// The capture subcommand's options, as given on the command line.
struct CaptureOptions {
    std::vector<int> channels;  // empty: channel 1
    std::string blockTime = "100ms";
    uint32_t readings = 1000;  // per channel, in one block
    std::string method = "block";
    int triggerChannel = 0;  // 0: no trigger
    bool falling = false;
    int threshold = 2048;
    int delayPercent = 0;
    int autoTriggerMs = 0;  // 0: no auto-trigger
    std::string duration;   // stream length as time ...
    uint64_t count = 0;     // ... or as readings per channel
    int frames = 1;         // window retrievals
    std::string every;      // time between window retrievals
    std::string output = "-";
    std::string plotPath;
    std::string plotSize = "1000x600";
    std::string timeout;
};

// Runs the capture; returns the exit status. Throws Failure.
int runCapture(const CaptureOptions& options, const CommonOptions& common);

}  // namespace trelvo_cli
