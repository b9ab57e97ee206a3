// SettingChanged parameters from whatever is on the session bus: serialised
// variants of any type and shape are checked without a crash.
#include <glib.h>

#include "support.h"
#include "theme.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const char* const TYPES[] = {"(ssv)", "(ss)", "v", "(sv)", "(ssu)"};
    if (size == 0) return 0;
    const GVariantType* type = G_VARIANT_TYPE(TYPES[data[0] % 5]);
    GBytes* bytes = g_bytes_new(data + 1, size - 1);
    GVariant* v = g_variant_ref_sink(g_variant_new_from_bytes(type, bytes, FALSE));
    theme::is_colour_scheme_change(v);
    g_variant_unref(v);
    g_bytes_unref(bytes);
    return 0;
}
