// EDID blocks as displays send them: the decoder reads only what it is given
// and the texts it keeps are printable ASCII.
#include "probe_gpu.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const probe::Edid e = probe::parse_edid(fuzz::bytes(data, size));
    for (const std::string* s : {&e.vendor, &e.name, &e.serial_text}) {
        fuzz::require_utf8(*s, "EDID text");
        for (unsigned char c : *s) fuzz::require(c >= 0x20 && c <= 0x7E, "printable ASCII only");
    }
    return 0;
}
