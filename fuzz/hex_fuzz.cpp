// Arbitrary text through the Intel HEX reader: it never crashes, a fault
// leaves no records, and an accepted image keeps what the download relies on
// (records of at most 16 bytes inside the 64 KiB address space, exactly one
// end record, last). Written back as HEX, an accepted image reads back the same.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "tests/support/hex_text.h"
#include "usb/hex_reader.h"

using namespace trelvo::usb;

namespace {

void require(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    std::vector<FirmwareRecord> records;
    HexError error;
    if (!readIntelHex(text, records, error)) {
        require(records.empty(), "records left after a fault");
        require(error.fault != HexFault::None && !error.message.empty(), "fault without a reason");
        return 0;
    }
    require(error.fault == HexFault::None, "success with a fault");
    require(!records.empty(), "an accepted image without records");
    const FirmwareRecord& end = records.back();
    require(end.length == 0 && end.type == 1, "the last record is not an end record");
    std::size_t total = 0;
    for (std::size_t i = 0; i + 1 < records.size(); ++i) {
        const FirmwareRecord& r = records[i];
        require(r.length >= 1 && r.length <= 16, "data record length outside 1..16");
        require(r.type == 0 && r.reserved1 == 0 && r.reserved2 == 0, "data record fields");
        require(static_cast<uint32_t>(r.address) + r.length <= 0x10000, "past 64 KiB");
        for (std::size_t j = r.length; j < sizeof r.data; ++j)
            require(r.data[j] == 0, "bytes beyond the record's length are not zero");
        total += r.length;
    }
    require(total <= 0x10000, "more data than the address space");
    require(total == firmwareDataBytes(records), "data byte count");

    std::vector<FirmwareRecord> again;
    require(readIntelHex(trelvo::test::hexText(records), again, error), "written image rejected");
    require(
        again.size() == records.size() &&
            std::memcmp(again.data(), records.data(), records.size() * sizeof(FirmwareRecord)) == 0,
        "written image reads back differently");
    return 0;
}
