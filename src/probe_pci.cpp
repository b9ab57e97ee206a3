#include "probe.h"
#include "util.h"

namespace probe {

std::string pcie_link_text(double gts, unsigned width) {
    if (!(gts > 0.0)) return {};
    // The kernel reports 8.0 and 5.0 GT/s as rounded figures; a little slack
    // keeps a link that reads 7.9 in its generation.
    static const struct {
        double threshold;
        const char* generation;
    } GENERATIONS[] = {{63.0, "6.0"}, {31.0, "5.0"}, {15.0, "4.0"}, {7.9, "3.0"}, {4.9, "2.0"}, {2.4, "1.0"}};
    std::string text;
    for (const auto& g : GENERATIONS) {
        if (gts >= g.threshold) {
            text = std::string("PCIe ") + g.generation;
            break;
        }
    }
    if (text.empty()) text = util::fmt_double(gts, 1) + " GT/s";
    if (width != 0) text += " \u00d7" + util::fmt_int(width);
    return text;
}

}  // namespace probe
