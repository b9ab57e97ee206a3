// The "net" page: every network interface of /sys/class/net with its state,
// link, addresses (getifaddrs), wireless signal and traffic, and the per-tick
// refresh of its counters and transfer rates.
//
// An interface's raw name keeps addressing its sysfs directory and its live
// keys; only the UTF-8-safe copy reaches a label or the report, because the
// kernel accepts names that are not UTF-8.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace probe {

namespace {

const char* const NET = "/sys/class/net";
const char* const WIRELESS = "/proc/net/wireless";
const char* const NO_RATE = "\u2014";
// The wireless table writes this noise level when the driver has no reading.
constexpr double NO_NOISE = -256.0;
// Rates below one KiB per second are shown as no traffic.
constexpr double MIN_RATE = 1024.0;

struct Iface {
    std::string name;   // raw, as the kernel has it: paths and live keys
    std::string label;  // the name made valid UTF-8: everything shown
    std::string dir;
    std::string mac;
    std::string broadcast;
    std::string operstate;
    std::string duplex;
    std::string driver;
    std::string firmware;
    std::string pci;
    std::string master;
    int64_t speed_mbit = -1;
    uint64_t mtu = 0;
    uint64_t ifindex = 0;
    uint64_t tx_queue_len = 0;
    uint32_t rx_queues = 0;
    uint32_t tx_queues = 0;
    bool carrier = false;
    bool wireless = false;
    bool loopback = false;
    bool virtual_dev = false;
    uint64_t carrier_up = 0;
    uint64_t carrier_down = 0;
    std::vector<std::string> addrs4;
    std::vector<std::string> addrs6;
    std::string bond_mode;
    std::string bond_slaves;
    std::string bridge_ports;
};

using AddressTable = std::map<std::string, std::pair<std::vector<std::string>, std::vector<std::string>>>;

struct Wifi {
    double quality = 0.0;
    double level = 0.0;
    double noise = 0.0;
    bool ok = false;
};
using WifiTable = std::map<std::string, Wifi>;

// The byte counters of one interface when they were last read.
struct Last {
    util::CounterRate rx;
    util::CounterRate tx;
};

std::map<std::string, Last>& last_stats() {
    static std::map<std::string, Last> stats;
    return stats;
}

std::string read(const std::string& path) { return util::read_file(path); }
// Kernel text made safe for a label.
std::string read_text(const std::string& path) { return util::valid_utf8(read(path)); }
uint64_t read_u64(const std::string& path) { return util::to_u64(read(path), 0); }
double now_seconds() { return util::monotonic_seconds(); }

std::string speed_text(int64_t mbit) {
    if (mbit <= 0) return {};
    if (mbit < 1000) return util::fmt_int(static_cast<uint64_t>(mbit)) + " Mbit/s";
    if (mbit % 1000 == 0) return util::fmt_int(static_cast<uint64_t>(mbit / 1000)) + " Gbit/s";
    return util::fmt_double(static_cast<double>(mbit) / 1000.0, 1) + " Gbit/s";
}

std::string state_text(const Iface& f) {
    if (f.operstate == "up") return tr("value.connected");
    if (f.operstate == "down") return tr("value.disconnected");
    if (f.operstate.empty() || f.operstate == "unknown") return tr("common.unknown");
    return f.operstate;
}

int leading_ones(uint8_t byte) {
    int n = 0;
    for (int bit = 7; bit >= 0 && (byte >> bit & 1u); --bit) ++n;
    return n;
}

// Prefix length of a netmask. An IPv4 mask counts up to its first zero bit;
// an IPv6 mask sums the leading one bits of each of its bytes.
int prefix_length(const uint8_t* mask, size_t bytes, bool up_to_first_zero) {
    int n = 0;
    for (size_t i = 0; i < bytes; ++i) {
        int ones = leading_ones(mask[i]);
        n += ones;
        if (up_to_first_zero && ones < 8) break;
    }
    return n;
}

std::optional<std::string> address_text(const ifaddrs& entry) {
    const int family = entry.ifa_addr->sa_family;
    const void* addr = nullptr;
    const uint8_t* mask = nullptr;
    size_t mask_bytes = 0;
    if (family == AF_INET) {
        addr = &reinterpret_cast<const sockaddr_in*>(entry.ifa_addr)->sin_addr;
        if (entry.ifa_netmask)
            mask = reinterpret_cast<const uint8_t*>(
                &reinterpret_cast<const sockaddr_in*>(entry.ifa_netmask)->sin_addr);
        mask_bytes = 4;
    } else {
        addr = &reinterpret_cast<const sockaddr_in6*>(entry.ifa_addr)->sin6_addr;
        if (entry.ifa_netmask)
            mask = reinterpret_cast<const uint8_t*>(
                &reinterpret_cast<const sockaddr_in6*>(entry.ifa_netmask)->sin6_addr);
        mask_bytes = 16;
    }
    char buf[INET6_ADDRSTRLEN] = {};
    if (!inet_ntop(family, addr, buf, sizeof buf)) return std::nullopt;
    std::string text = buf;
    if (mask) text += "/" + std::to_string(prefix_length(mask, mask_bytes, family == AF_INET));
    return text;
}

AddressTable read_addresses() {
    AddressTable table;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) return table;
    for (const ifaddrs* e = list; e; e = e->ifa_next) {
        if (!e->ifa_addr || !e->ifa_name) continue;
        const int family = e->ifa_addr->sa_family;
        if (family != AF_INET && family != AF_INET6) continue;
        std::optional<std::string> text = address_text(*e);
        if (!text) continue;
        auto& lists = table[e->ifa_name];
        (family == AF_INET ? lists.first : lists.second).push_back(*text);
    }
    freeifaddrs(list);
    return table;
}

WifiTable read_wireless() {
    WifiTable table;
    for (const std::string& line : util::read_lines(WIRELESS)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string name = util::trim(line.substr(0, colon));
        if (name.empty() || name == "face") continue;
        std::vector<std::string> fields;
        for (const std::string& piece : util::split(util::trim(line.substr(colon + 1)), ' '))
            if (!piece.empty()) fields.push_back(piece);
        if (fields.size() < 4) continue;
        table[name] = {util::to_double(fields[1], 0.0), util::to_double(fields[2], 0.0),
                       util::to_double(fields[3], 0.0), true};
    }
    return table;
}

// The last dddd:bb:dd.f component of the device link's target.
std::string pci_address_of(const std::string& link) {
    std::string found;
    for (const std::string& part : util::split(link, '/'))
        if (part.size() == 12 && part[4] == ':' && part[7] == ':' && part[10] == '.') found = part;
    return found;
}

void count_queues(Iface& f) {
    for (const std::string& q : util::list_dir(f.dir + "/queues", "")) {
        if (util::starts_with(q, "rx-"))
            ++f.rx_queues;
        else if (util::starts_with(q, "tx-"))
            ++f.tx_queues;
    }
}

std::string bridge_ports_of(const std::string& dir) {
    if (!util::is_dir(dir + "/brif")) return {};
    std::vector<std::string> ports;
    for (const std::string& p : util::list_dir(dir + "/brif", "")) ports.push_back(util::valid_utf8(p));
    return util::join(ports, ", ");
}

Iface read_iface(const std::string& name, const std::string& dir) {
    Iface f;
    f.name = name;
    f.label = util::valid_utf8(name);
    f.dir = dir;
    auto at = [&dir](const char* file) { return dir + "/" + file; };
    f.mac = read_text(at("address"));
    f.broadcast = read_text(at("broadcast"));
    f.operstate = read_text(at("operstate"));
    f.duplex = read_text(at("duplex"));
    f.driver = util::valid_utf8(util::read_link_base(at("device/driver")));
    f.firmware = read_text(at("device/firmware_version"));
    f.pci = pci_address_of(util::read_link_full(at("device")));
    f.master = util::valid_utf8(util::read_link_base(at("master")));
    std::string speed = read(at("speed"));
    if (!speed.empty()) f.speed_mbit = util::to_i64(speed, -1);
    f.mtu = read_u64(at("mtu"));
    f.ifindex = read_u64(at("ifindex"));
    f.tx_queue_len = read_u64(at("tx_queue_len"));
    count_queues(f);
    f.carrier = read(at("carrier")) == "1";
    f.wireless = util::path_exists(at("wireless")) || util::path_exists(at("phy80211"));
    f.loopback = name == "lo";
    f.virtual_dev = f.driver.empty();
    f.carrier_up = read_u64(at("carrier_up_count"));
    f.carrier_down = read_u64(at("carrier_down_count"));
    f.bond_mode = read_text(at("bonding/mode"));
    f.bond_slaves = read_text(at("bonding/slaves"));
    f.bridge_ports = bridge_ports_of(dir);
    return f;
}

int rank_of(const Iface& f) {
    if (f.loopback) return 3;
    if (f.virtual_dev) return 2;
    return f.operstate == "up" ? 0 : 1;
}

// Physical interfaces that are up, other physical ones, virtual ones, loopback.
std::vector<Iface> collect_ifaces() {
    AddressTable addresses = read_addresses();
    std::vector<Iface> out;
    for (const std::string& name : util::list_dir_kept(NET, "")) {
        std::string dir = std::string(NET) + "/" + name;
        if (!util::is_dir(dir)) continue;
        Iface f = read_iface(name, dir);
        auto it = addresses.find(name);
        if (it != addresses.end()) {
            f.addrs4 = std::move(it->second.first);
            f.addrs6 = std::move(it->second.second);
        }
        out.push_back(std::move(f));
    }
    std::stable_sort(out.begin(), out.end(),
                     [](const Iface& a, const Iface& b) { return rank_of(a) < rank_of(b); });
    return out;
}

std::string rate_text(double bytes_per_second) {
    if (bytes_per_second < MIN_RATE) return NO_RATE;
    return util::fmt_bytes(static_cast<uint64_t>(bytes_per_second)) + "/s";
}

// ---- The page ---------------------------------------------------------------

std::string duplex_text(const std::string& raw) {
    if (raw == "full") return tr("value.duplex_full");
    if (raw == "half") return tr("value.duplex_half");
    if (raw == "unknown") return tr("common.unknown");
    return raw;
}

Page page_without_interfaces() {
    Page page;
    std::string hint = snap_hint("network-observe");
    if (hint.empty()) return page;
    page.headline = tr("tree.network");
    Card card;
    card.title = tr("tree.network");
    card.hint = hint;
    page.cards.push_back(card);
    return page;
}

Selector make_selector(const std::vector<Iface>& ifaces, int index) {
    Selector sel;
    sel.label = tr("tree.network");
    sel.options.push_back(tr("value.all"));
    sel.values.push_back(-1);
    for (size_t i = 0; i < ifaces.size(); ++i) {
        sel.options.push_back(ifaces[i].label);
        sel.values.push_back(static_cast<int>(i));
        if (static_cast<int>(i) == index) sel.selected = static_cast<int>(i) + 1;
    }
    return sel;
}

void add_figures(Page& page, const std::vector<Iface>& ifaces) {
    size_t up = 0;
    int64_t fastest = 0;
    for (const Iface& f : ifaces) {
        if (f.operstate == "up" && !f.loopback) ++up;
        fastest = std::max(fastest, f.speed_mbit);
    }
    page.stats.push_back({tr("value.connected"), util::fmt_int(up), "", ""});
    if (fastest != 0) page.stats.push_back({tr("f.speed"), speed_text(fastest), "", ""});
}

Card overview_card(const std::vector<Iface>& ifaces) {
    Card card;
    card.title = tr("sec.overview");
    for (const Iface& f : ifaces) {
        Row row(f.label, "", f.driver.empty() ? util::valid_utf8(f.dir) : f.driver, false, "", "");
        std::string address = !f.addrs4.empty()   ? f.addrs4.front()
                              : !f.addrs6.empty() ? f.addrs6.front()
                                                  : "";
        row.cols = {util::valid_utf8(state_text(f)), speed_text(f.speed_mbit), address};
        card.rows.push_back(std::move(row));
    }
    return card;
}

std::vector<size_t> detail_positions(const std::vector<Iface>& ifaces, int index) {
    if (index >= 0 && static_cast<size_t>(index) < ifaces.size()) return {static_cast<size_t>(index)};
    std::vector<size_t> show;
    for (size_t i = 0; i < ifaces.size(); ++i)
        if (ifaces[i].operstate == "up" && !ifaces[i].loopback) show.push_back(i);
    if (show.empty()) show.push_back(0);
    return show;
}

std::string interface_subtitle(const Iface& f) {
    if (f.wireless) return tr("sec.wireless");
    if (f.virtual_dev) return tr("f.type");
    return f.driver;
}

Card interface_card(const Iface& f) {
    Card card;
    card.title = f.label;
    card.subtitle = interface_subtitle(f);
    auto add = [&card](const char* label, const std::string& v, const std::string& note,
                       const std::string& extra) {
        std::string value = util::trim(v);
        if (!value.empty()) card.rows.emplace_back(label, util::valid_utf8(value), note, false, "", extra);
    };
    add(tr("f.state"), state_text(f), "operstate", "");
    add(tr("f.mac"), f.mac, "address", "");
    add(tr("f.speed"), speed_text(f.speed_mbit), "speed", "");
    add(tr("f.duplex"), duplex_text(f.duplex), "duplex", "");
    add(tr("f.mtu"), util::fmt_int(f.mtu), "mtu", "");
    add(tr("f.driver"), f.driver, "device/driver", "");
    add(tr("f.firmware"), f.firmware, "device/firmware_version", "");
    add(tr("f.pci_address"), f.pci, "PCI", "");
    std::string flaps = f.carrier_up != 0 ? util::fmt_int(f.carrier_up) + "\u00d7 " + tr("f.state") : "";
    add(tr("f.carrier"), tr(f.carrier ? "common.yes" : "common.no"), "carrier", flaps);
    if (f.rx_queues != 0 || f.tx_queues != 0)
        add(tr("f.queue_count"), util::fmt_int(f.rx_queues) + " / " + util::fmt_int(f.tx_queues), "queues",
            "RX / TX");
    if (f.tx_queue_len != 0) add(tr("f.queues_tx"), util::fmt_int(f.tx_queue_len), "tx_queue_len", "");
    if (!f.master.empty()) add(tr("f.master"), f.master, "master", "");
    if (!f.bond_slaves.empty()) {
        add(tr("f.mode"), f.bond_mode, "bonding/mode", "");
        add(tr("f.raid_devices"), f.bond_slaves, "bonding/slaves", "");
    }
    if (!f.bridge_ports.empty()) add(tr("f.port"), f.bridge_ports, "brif", "");
    return card;
}

Card wireless_card(const Iface& f, const Wifi& w) {
    Card card;
    card.title = tr("sec.wireless");
    card.subtitle = f.label;
    const char* note = WIRELESS;
    card.rows.emplace_back(tr("f.link_quality"), util::fmt_double(w.quality, 0), note, false,
                           "net.wq:" + f.name, "");
    card.rows.emplace_back(tr("f.signal_level"), util::fmt_double(w.level, 0) + " dBm", note, false,
                           "net.wl:" + f.name, "");
    if (w.noise != 0.0 && w.noise != NO_NOISE)
        card.rows.emplace_back(tr("f.noise"), util::fmt_double(w.noise, 0) + " dBm", note, false, "", "");
    return card;
}

Card addresses_card(const Iface& f) {
    Card card;
    card.title = tr("sec.addresses");
    card.subtitle = f.label;
    if (f.addrs4.empty() && f.addrs6.empty()) return card;
    for (const std::string& a : f.addrs4) card.rows.emplace_back("IPv4", a, "getifaddrs", false, "", "");
    for (const std::string& a : f.addrs6) card.rows.emplace_back("IPv6", a, "getifaddrs", false, "", "");
    if (!f.broadcast.empty() && f.broadcast != "00:00:00:00:00:00")
        card.rows.emplace_back(tr("f.address"), f.broadcast, "broadcast", false, "", "");
    return card;
}

struct Counter {
    const char* key;
    const char* file;
};

void add_stats_card(Page& page, const Iface& f) {
    const std::string st = f.dir + "/statistics/";
    Card card;
    card.title = tr("sec.statistics");
    card.subtitle = f.label;
    auto add = [&card](const char* label, const std::string& v, const std::string& note,
                       const std::string& live) { card.rows.emplace_back(label, v, note, false, live, ""); };
    add(tr("f.rx_bytes"), util::fmt_bytes(read_u64(st + "rx_bytes")), "statistics", "net.rx:" + f.name);
    add(tr("f.tx_bytes"), util::fmt_bytes(read_u64(st + "tx_bytes")), "statistics", "net.tx:" + f.name);
    add(tr("f.rate_rx"), NO_RATE, "statistics", "net.rrate:" + f.name);
    add(tr("f.rate_tx"), NO_RATE, "statistics", "net.wrate:" + f.name);
    add(tr("f.rx_packets"), util::fmt_int(read_u64(st + "rx_packets")), "statistics", "net.rxp:" + f.name);
    add(tr("f.tx_packets"), util::fmt_int(read_u64(st + "tx_packets")), "statistics", "net.txp:" + f.name);
    static const Counter counters[] = {{"f.rx_errors", "rx_errors"},
                                       {"f.tx_errors", "tx_errors"},
                                       {"f.rx_dropped", "rx_dropped"},
                                       {"f.tx_dropped", "tx_dropped"},
                                       {"f.collisions", "collisions"}};
    for (const Counter& c : counters) {
        uint64_t n = read_u64(st + c.file);
        if (n != 0) add(tr(c.key), util::fmt_int(n), "statistics", "");
    }
    // The first tick's rates are measured from the counters shown here.
    const double t = now_seconds();
    Last& seed = last_stats()[f.name];
    seed.rx = {read_u64(st + "rx_bytes"), t};
    seed.tx = {read_u64(st + "tx_bytes"), t};
    page.cards.push_back(std::move(card));
}

void append_if_filled(Page& page, Card card) {
    if (!card.empty()) page.cards.push_back(std::move(card));
}

}  // namespace

bool has_net() { return util::is_dir(NET) && !util::list_dir_kept(NET, "").empty(); }

Page collect_net(int index) {
    std::vector<Iface> ifaces = collect_ifaces();
    if (ifaces.empty()) return page_without_interfaces();
    const WifiTable wifi = read_wireless();
    const int n = static_cast<int>(ifaces.size());
    if (n < 2 || index < 0 || index >= n) index = -1;

    Page page;
    if (n >= 2) page.selector = make_selector(ifaces, index);
    page.headline = tr("tree.network");
    page.subline = I18n::instance().trf("summary.n_devices", n);
    add_figures(page, ifaces);
    page.cards.push_back(overview_card(ifaces));
    for (size_t pos : detail_positions(ifaces, index)) {
        const Iface& f = ifaces[pos];
        page.cards.push_back(interface_card(f));
        auto w = wifi.find(f.name);
        if (w != wifi.end() && w->second.ok) page.cards.push_back(wireless_card(f, w->second));
        append_if_filled(page, addresses_card(f));
        add_stats_card(page, f);
    }
    return page;
}

void refresh_live_net(Page& page) {
    const double t = now_seconds();
    // Read only for a page that shows wireless rows.
    std::optional<WifiTable> wifi;
    std::map<std::string, std::pair<uint64_t, uint64_t>> tick;
    auto bytes_of = [&tick](const std::string& name) {
        auto it = tick.find(name);
        if (it != tick.end()) return it->second;
        const std::string st = std::string(NET) + "/" + name + "/statistics/";
        uint64_t tx = read_u64(st + "tx_bytes");
        uint64_t rx = read_u64(st + "rx_bytes");
        return tick[name] = {rx, tx};
    };
    auto wifi_of = [&wifi](const std::string& name) -> const Wifi* {
        if (!wifi) wifi = read_wireless();
        auto it = wifi->find(name);
        return it != wifi->end() && it->second.ok ? &it->second : nullptr;
    };
    for (Card& card : page.cards) {
        for (Row& row : card.rows) {
            size_t colon = row.live.find(':');
            if (colon == std::string::npos) continue;
            const std::string family = row.live.substr(0, colon);
            if (!util::starts_with(family, "net.")) continue;
            const std::string name = row.live.substr(colon + 1);
            const std::string st = std::string(NET) + "/" + name + "/statistics/";
            if (family == "net.rx") {
                row.value = util::fmt_bytes(bytes_of(name).first);
            } else if (family == "net.tx") {
                row.value = util::fmt_bytes(bytes_of(name).second);
            } else if (family == "net.rxp") {
                row.value = util::fmt_int(read_u64(st + "rx_packets"));
            } else if (family == "net.txp") {
                row.value = util::fmt_int(read_u64(st + "tx_packets"));
            } else if (family == "net.wq" || family == "net.wl") {
                const Wifi* w = wifi_of(name);
                if (!w) continue;
                row.value = family == "net.wq" ? util::fmt_double(w->quality, 0)
                                               : util::fmt_double(w->level, 0) + " dBm";
            } else if (family == "net.rrate" || family == "net.wrate") {
                auto last = last_stats().find(name);
                if (last == last_stats().end()) continue;
                const bool rx = family == "net.rrate";
                // A copy: every rate of this tick is measured from the same earlier sample.
                util::CounterRate since = rx ? last->second.rx : last->second.tx;
                if (!(t > since.last_seconds)) continue;
                const auto [rx_bytes, tx_bytes] = bytes_of(name);
                // Negative when the counter went backwards (interface re-created): no rate.
                double rate = util::rate_per_second(since, rx ? rx_bytes : tx_bytes, t);
                row.value = rate_text(rate);
            }
        }
    }
    for (const auto& [name, bytes] : tick) {
        Last& entry = last_stats()[name];
        entry.rx = {bytes.first, t};
        entry.tx = {bytes.second, t};
    }
}

}  // namespace probe
