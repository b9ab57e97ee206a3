#include "probe.h"

#include <utility>

namespace probe {

Row::Row(std::string n, std::string v, std::string nt, bool lk, std::string lv, std::string ex)
    : name(std::move(n)), value(std::move(v)), note(std::move(nt)), locked(lk), live(std::move(lv)),
      extra(std::move(ex)) {}

// A hint alone is content (a lone sandbox notice); a title alone is not.
bool Card::empty() const {
    return rows.empty() && chips.empty() && caches.empty() && cores.empty() && slots.empty() &&
           usage.empty() && hint.empty() && diagram.children.empty();
}

}  // namespace probe
