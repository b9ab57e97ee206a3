// SPD EEPROM images as a module's firmware may hold them: the decoder stays
// within the 1024 bytes and every text of the card is UTF-8.
#include "probe_ram.h"
#include "support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string raw = fuzz::bytes(data, size);
    // Most inputs would fail the length test; pad short ones so the fields
    // behind it are reached.
    if (raw.size() < 1024) raw.resize(1024, '\0');
    if (size > 2) raw[2] = '\x12';
    const probe::Card card = probe::spd_card_of_image(raw);
    for (const probe::Row& r : card.rows) {
        fuzz::require_utf8(r.name, "row name");
        fuzz::require_utf8(r.value, "row value");
        fuzz::require_utf8(r.extra, "row extra");
    }
    return 0;
}
