// Options every subcommand of the trelvo program shares.
#pragma once

namespace trelvo_cli {

struct CommonOptions {
    int unit = 0;        // handle of the unit to use; 0: the first that opens
    bool quiet = false;  // no summary, no progress bar
};

}  // namespace trelvo_cli
