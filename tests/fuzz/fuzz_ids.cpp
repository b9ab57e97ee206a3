// pci.ids and usb.ids as any file on disk may be: the first input byte picks
// which database the rest is, the loader reads it from the scratch root and
// every name a lookup returns is UTF-8.
#include <memory>

#include "hw/ids.h"
#include "support.h"

namespace hw {
struct IdsTestAccess {
    static std::unique_ptr<Ids> load() { return std::unique_ptr<Ids>(new Ids()); }
};
}  // namespace hw

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool pci = data[0] & 1;
    const std::string text = fuzz::bytes(data + 1, size - 1);
    fuzz::write_under_root("/usr/share/misc/pci.ids", pci ? text : "");
    fuzz::write_under_root("/usr/share/misc/usb.ids", pci ? "" : text);
    auto ids = hw::IdsTestAccess::load();
    // Look up the ids the input itself names, where they are likely to be.
    uint16_t a = size > 2 ? static_cast<uint16_t>(data[1] << 8 | data[2]) : 0x8086;
    uint16_t b = size > 4 ? static_cast<uint16_t>(data[3] << 8 | data[4]) : 0x1234;
    for (uint16_t v : {a, b, static_cast<uint16_t>(0x8086), static_cast<uint16_t>(0x10de)}) {
        fuzz::require_utf8(ids->pci_vendor(v), "pci vendor");
        fuzz::require_utf8(ids->pci_device(v, b), "pci device");
        fuzz::require_utf8(ids->pci_subsystem(a, b, v, b), "pci subsystem");
        fuzz::require_utf8(ids->pci_class(static_cast<uint32_t>(v) << 8 | data[0]), "pci class");
        fuzz::require_utf8(ids->pci_subclass(static_cast<uint32_t>(v) << 8), "pci subclass");
        fuzz::require_utf8(ids->usb_vendor(v), "usb vendor");
        fuzz::require_utf8(ids->usb_device(v, b), "usb device");
    }
    return 0;
}
