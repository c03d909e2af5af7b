// The serve subcommand: a live view of the open units in the browser, and
// the WebSocket protocol behind it (see tools/serve/README.md).
#pragma once

#include <string>

#include "core/common_options.h"

namespace trelvo_cli {

struct ServeOptions {
    std::string listen = "127.0.0.1:8640";
    std::string token;            // empty: generated when the address is not loopback
    std::string recordDir = ".";  // where the Record button's files go
};

// Opens every unit, serves until Ctrl-C, closes the units. Returns the exit
// status; throws Failure.
int runServe(const ServeOptions& options, const CommonOptions& common);

}  // namespace trelvo_cli
