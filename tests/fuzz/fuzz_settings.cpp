// The settings file as anybody may have edited it: reading never fails, and
// what was read is written and read back the same.
#include "settings.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Settings s;
    SettingsStore::from_text(fuzz::bytes(data, size), s);
    const std::string text = SettingsStore::to_text(s);
    Settings again;
    SettingsStore::from_text(text, again);
    fuzz::require(SettingsStore::to_text(again) == text, "round trip keeps the settings");
    return 0;
}
