// Holds a unit from another process: opens the unit on the root-hub port
// given as the only argument through libusb, claims its interface, writes
// "held" (or "failed") on stdout and waits to be killed.
#include <libusb.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "umockdev/umock_support.h"

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0) return 1;
    libusb_device_handle* h = trelvo::umock::openOnPort(
        ctx, trelvo::umock::kUnitVendor, trelvo::umock::kUnitProduct, std::atoi(argv[1]));
    const bool held = h && libusb_claim_interface(h, 0) == 0;
    std::printf("%s\n", held ? "held" : "failed");
    std::fflush(stdout);
    if (!held) return 1;
    for (;;) pause();
}
