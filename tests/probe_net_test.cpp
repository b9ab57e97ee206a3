// The "net" page on a fixture machine (a 2.5 Gbit/s PCI card, a wireless
// card, a USB adapter enslaved to a bond, a bridge, loopback), on the
// recorded eth0/ib0 machine of the shared data, and the addresses getifaddrs
// reports inside a network namespace of its own.
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

const std::string NET_DIR = "/sys/class/net/";
const std::string NO_RATE = "\u2014";

std::vector<std::string> titles(const probe::Page& page) {
    std::vector<std::string> out;
    for (const probe::Card& c : page.cards)
        out.push_back(c.title + (c.subtitle.empty() ? "" : "/" + c.subtitle));
    return out;
}

const probe::Card* card_of(const probe::Page& page, const std::string& title, const std::string& subtitle) {
    for (const probe::Card& c : page.cards)
        if (c.title == title && (subtitle.empty() || c.subtitle == subtitle)) return &c;
    return nullptr;
}

const probe::Row* row_of(const probe::Card& card, const std::string& name) {
    for (const probe::Row& r : card.rows)
        if (r.name == name) return &r;
    return nullptr;
}

probe::Row* live_row(probe::Page& page, const std::string& key) {
    for (probe::Card& c : page.cards)
        for (probe::Row& r : c.rows)
            if (r.live == key) return &r;
    return nullptr;
}

int index_of(const probe::Page& page, const std::string& name) {
    const auto& opts = page.selector.options;
    for (size_t i = 1; i < opts.size(); ++i)
        if (opts[i] == name) return page.selector.values[i];
    return -1;
}

// Counts how often files are opened while it watches them.
class OpenCounter {
public:
    OpenCounter() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {}
    ~OpenCounter() { ::close(m_fd); }
    void watch(const std::string& path) { m_names[inotify_add_watch(m_fd, path.c_str(), IN_OPEN)] = path; }
    std::map<std::string, int> take() {
        std::map<std::string, int> counts;
        alignas(inotify_event) char buf[4096];
        ssize_t n;
        while ((n = ::read(m_fd, buf, sizeof buf)) > 0)
            for (char* p = buf; p < buf + n;) {
                auto* e = reinterpret_cast<inotify_event*>(p);
                ++counts[m_names[e->wd]];
                p += sizeof(inotify_event) + e->len;
            }
        return counts;
    }

private:
    int m_fd;
    std::map<int, std::string> m_names;
};

TEST(NetPage, InterfacesInRankOrderWithFiguresAndDetailCards) {
    zqtest::FixtureRoot root("net");
    EXPECT_TRUE(probe::has_net());
    probe::Page page = probe::collect_net(-1);
    EXPECT_EQ(page.headline, tr("tree.network"));
    EXPECT_EQ(page.subline, I18n::instance().trf("summary.n_devices", 6));
    // Up physical, other physical, virtual, loopback; the plain file is no interface.
    std::vector<std::string> options = {tr("value.all"), "enp3s0", "wlan0", "eth1", "bond0", "br0", "lo"};
    EXPECT_EQ(page.selector.options, options);
    EXPECT_EQ(page.selector.values, (std::vector<int>{-1, 0, 1, 2, 3, 4, 5}));
    ASSERT_EQ(page.stats.size(), 2u);
    EXPECT_EQ(page.stats[0].value, "4");
    EXPECT_EQ(page.stats[1].value, util::fmt_double(2.5, 1) + " Gbit/s");

    const probe::Card& overview = page.cards.at(0);
    ASSERT_EQ(overview.rows.size(), 6u);
    EXPECT_EQ(overview.rows[0].cols,
              (std::vector<std::string>{tr("value.connected"), util::fmt_double(2.5, 1) + " Gbit/s", ""}));
    EXPECT_EQ(overview.rows[0].note, "igc");
    EXPECT_EQ(overview.rows[2].cols.at(0), tr("value.disconnected"));
    EXPECT_EQ(overview.rows[5].cols.at(0), tr("common.unknown"));
    EXPECT_EQ(overview.rows[5].note, "/sys/class/net/lo");

    // Every interface that is up and not loopback gets its cards, in list order.
    const std::string stats = tr("sec.statistics");
    EXPECT_EQ(titles(page),
              (std::vector<std::string>{tr("sec.overview"), "enp3s0/igc", stats + "/enp3s0",
                                        "wlan0/" + std::string(tr("sec.wireless")),
                                        std::string(tr("sec.wireless")) + "/wlan0", stats + "/wlan0",
                                        "bond0/" + std::string(tr("f.type")), stats + "/bond0",
                                        "br0/" + std::string(tr("f.type")), stats + "/br0"}));

    // A chosen interface alone, loopback too; an index out of range is "All".
    probe::Page lo = probe::collect_net(5);
    EXPECT_EQ(lo.selector.selected, 6);
    // (The addresses card, if any, holds this process's own loopback addresses.)
    std::vector<std::string> lo_titles = titles(lo);
    ASSERT_GE(lo_titles.size(), 3u);
    EXPECT_EQ(lo_titles[1], "lo/" + std::string(tr("f.type")));
    EXPECT_EQ(lo_titles.back(), stats + "/lo");
    probe::Page far = probe::collect_net(7);
    EXPECT_EQ(far.selector.selected, 0);
    EXPECT_EQ(titles(far), titles(page));
}

TEST(NetPage, IdentityRowsOfEachKindOfInterface) {
    zqtest::FixtureRoot root("net");
    const std::string yes = tr("common.yes"), no = tr("common.no");
    struct Case {
        std::string name;
        std::map<std::string, std::string> rows;  // an empty value: the row must be absent
    };
    const std::vector<Case> cases = {
        {"enp3s0",
         {{tr("f.state"), tr("value.connected")},
          {tr("f.mac"), "a8:a1:59:10:20:30"},
          {tr("f.speed"), util::fmt_double(2.5, 1) + " Gbit/s"},
          {tr("f.duplex"), tr("value.duplex_full")},
          {tr("f.mtu"), util::fmt_int(1500)},
          {tr("f.driver"), "igc"},
          {tr("f.pci_address"), "0000:03:00.0"},
          {tr("f.carrier"), yes},
          {tr("f.queue_count"), "4 / 4"},
          {tr("f.queues_tx"), util::fmt_int(1000)},
          {tr("f.firmware"), ""},
          {tr("f.master"), ""}}},
        {"wlan0",
         {{tr("f.duplex"), tr("common.unknown")},
          {tr("f.speed"), ""},
          {tr("f.firmware"), "(unknown)"},
          {tr("f.pci_address"), "0000:00:14.3"},
          {tr("f.queue_count"), "1 / 16"}}},
        {"eth1",
         {{tr("f.state"), tr("value.disconnected")},
          {tr("f.driver"), "r8152"},
          {tr("f.pci_address"), ""},
          {tr("f.carrier"), no},
          {tr("f.master"), "bond0"},
          {tr("f.mode"), ""}}},
        {"bond0", {{tr("f.mode"), "active-backup 1"}, {tr("f.raid_devices"), "eth1"}, {tr("f.driver"), ""}}},
        {"br0", {{tr("f.port"), "veth1, veth2, veth10"}, {tr("f.queues_tx"), ""}, {tr("f.duplex"), ""}}},
        {"lo",
         {{tr("f.mac"), "00:00:00:00:00:00"},
          {tr("f.state"), tr("common.unknown")},
          {tr("f.mtu"), util::fmt_int(65536)}}},
    };
    const probe::Page all = probe::collect_net(-1);
    for (const Case& c : cases) {
        probe::Page page = probe::collect_net(index_of(all, c.name));
        const probe::Card* card = card_of(page, c.name, "");
        ASSERT_NE(card, nullptr) << c.name;
        for (const auto& [name, value] : c.rows) {
            const probe::Row* r = row_of(*card, name);
            EXPECT_EQ(r ? r->value : "", value) << c.name << " " << name;
        }
    }
    probe::Page page = probe::collect_net(0);
    EXPECT_EQ(row_of(*card_of(page, "enp3s0", ""), tr("f.carrier"))->extra,
              "3\u00d7 " + std::string(tr("f.state")));
    const probe::Card* stats = card_of(page, tr("sec.statistics"), "enp3s0");
    ASSERT_NE(stats, nullptr);
    std::vector<std::string> names;
    for (const probe::Row& r : stats->rows) names.push_back(r.name);
    EXPECT_EQ(names,
              (std::vector<std::string>{tr("f.rx_bytes"), tr("f.tx_bytes"), tr("f.rate_rx"), tr("f.rate_tx"),
                                        tr("f.rx_packets"), tr("f.tx_packets"), tr("f.rx_dropped")}));
    EXPECT_EQ(stats->rows[0].value, util::fmt_bytes(123456789));
    EXPECT_EQ(stats->rows[2].value, NO_RATE);
    EXPECT_EQ(stats->rows[6].value, "12");
}

TEST(NetPage, WirelessSignalNoiseAndItsRefresh) {
    zqtest::FixtureRoot root("net");
    const std::string header =
        "Inter-| sta-|   Quality        |   Discarded packets               | Missed | WE\n"
        " face | tus | link level noise |  nwid  crypt   frag  retry   misc | beacon | 22\n";
    struct Case {
        std::string line;
        std::string noise;  // empty: no noise row
    };
    // The kernel writes -256 when the driver has no noise reading.
    for (const Case& c :
         {Case{" wlan0: 0000   70.  -40.  -256.        0      0      0      0      0        0\n", ""},
          Case{" wlan0: 0000   70.  -40.  -95.        0      0      0      0      0        0\n", "-95 dBm"},
          Case{" wlan0: 0000   70.  -40.  0.        0      0      0      0      0        0\n", ""}}) {
        root.write("/proc/net/wireless", header + c.line);
        probe::Page page = probe::collect_net(1);
        const probe::Card* w = card_of(page, tr("sec.wireless"), "wlan0");
        ASSERT_NE(w, nullptr) << c.line;
        ASSERT_GE(w->rows.size(), 2u);
        EXPECT_EQ(w->rows[0].value, "70");
        EXPECT_EQ(w->rows[1].value, "-40 dBm");
        EXPECT_EQ(w->rows[1].name, tr("f.signal_level"));
        const probe::Row* noise = row_of(*w, tr("f.noise"));
        EXPECT_EQ(noise ? noise->value : "", c.noise) << c.line;
        EXPECT_EQ(w->rows.size(), c.noise.empty() ? 2u : 3u);
    }
    probe::Page page = probe::collect_net(1);
    root.write("/proc/net/wireless", header + " wlan0: 0000   55.  -61.  -256.  0 0 0 0 0 0\n");
    probe::refresh_live_net(page);
    EXPECT_EQ(live_row(page, "net.wq:wlan0")->value, "55");
    EXPECT_EQ(live_row(page, "net.wl:wlan0")->value, "-61 dBm");
    // A line too short to hold the levels, or no table at all: the rows keep their values.
    root.write("/proc/net/wireless", header + " wlan0: 0000   12.  -3.\n");
    probe::refresh_live_net(page);
    EXPECT_EQ(live_row(page, "net.wq:wlan0")->value, "55");
    EXPECT_EQ(card_of(probe::collect_net(1), tr("sec.wireless"), "wlan0"), nullptr);
    root.remove("/proc/net/wireless");
    probe::refresh_live_net(page);
    EXPECT_EQ(live_row(page, "net.wl:wlan0")->value, "-61 dBm");
}

TEST(NetPage, RatesFromTheCountersOfTheTickBefore) {
    zqtest::FixtureRoot root("net");
    const std::string st = NET_DIR + "enp3s0/statistics/";
    uint64_t rx = 123456789;
    probe::Page page = probe::collect_net(0);
    struct Step {
        int64_t rx_delta;    // added to the receive counter before the tick
        std::string expect;  // receive rate: "—", or the unit the rate must show
    };
    // 8 MiB within a fraction of a second is some MiB/s; a counter that went
    // backwards (the interface re-created) is no rate, and so is the first
    // tick after it when under 1 KiB/s passed.
    for (const Step& s : {Step{8 << 20, " MiB/s"}, Step{0, NO_RATE}, Step{-100000, NO_RATE},
                          Step{100, NO_RATE}, Step{1 << 20, " MiB/s"}}) {
        usleep(100000);
        rx = static_cast<uint64_t>(static_cast<int64_t>(rx) + s.rx_delta);
        root.write(st + "rx_bytes", std::to_string(rx) + "\n");
        probe::refresh_live_net(page);
        const std::string& rate = live_row(page, "net.rrate:enp3s0")->value;
        if (s.expect == NO_RATE)
            EXPECT_EQ(rate, NO_RATE) << s.rx_delta;
        else
            EXPECT_TRUE(util::ends_with(rate, s.expect) && rate.find('-') == std::string::npos)
                << s.rx_delta << " gave " << rate;
        EXPECT_EQ(live_row(page, "net.rx:enp3s0")->value, util::fmt_bytes(rx));
        EXPECT_EQ(live_row(page, "net.wrate:enp3s0")->value, NO_RATE);
    }
    root.write(st + "rx_packets", "100042\n");
    probe::refresh_live_net(page);
    EXPECT_EQ(live_row(page, "net.rxp:enp3s0")->value, util::fmt_int(100042));

    // Keys of no network interface, or of no family, are left alone.
    probe::Page odd;
    odd.cards.emplace_back();
    for (const char* key : {"net.rrate:zq-never-built", "net.rx", "disk.rrate:enp3s0", "net.other:enp3s0"})
        odd.cards[0].rows.emplace_back("r", "kept", "", false, key, "");
    probe::refresh_live_net(odd);
    for (const probe::Row& r : odd.cards[0].rows) EXPECT_EQ(r.value, "kept") << r.live;
}

TEST(NetPage, OneReadOfEachCounterPerTickAndNoWirelessTableWithoutWirelessRows) {
    zqtest::FixtureRoot root("net");
    OpenCounter opens;
    const std::string st = root.on_disk(NET_DIR + "enp3s0/statistics/");
    const std::string wireless = root.on_disk("/proc/net/wireless");
    for (const std::string& f : {st + "rx_bytes", st + "tx_bytes", wireless}) opens.watch(f);
    probe::Page page = probe::collect_net(0);
    page.cards.push_back(page.cards.back());  // the same rates twice
    opens.take();
    probe::refresh_live_net(page);
    auto counts = opens.take();
    EXPECT_EQ(counts[st + "rx_bytes"], 1);
    EXPECT_EQ(counts[st + "tx_bytes"], 1);
    EXPECT_EQ(counts[wireless], 0);

    probe::Page with_wifi = probe::collect_net(1);
    opens.take();
    probe::refresh_live_net(with_wifi);
    EXPECT_EQ(opens.take()[wireless], 1);
}

TEST(NetPage, NamesThatAreNotUtf8AreShownRepairedAndReadRaw) {
    zqtest::FixtureRoot root("net");
    const std::string raw =
        "zq\xff"
        "net";
    const std::string dir = "/sys/devices/virtual/net/" + raw;
    for (const auto& [file, text] : std::map<std::string, std::string>{{"address", "02:00:00:00:00:07"},
                                                                       {"operstate", "up"},
                                                                       {"mtu", "1500"},
                                                                       {"statistics/rx_bytes", "0"},
                                                                       {"statistics/tx_bytes", "0"}})
        root.write(dir + "/" + file, text + "\n");
    root.symlink(NET_DIR + raw, "../../devices/virtual/net/" + raw);
    probe::Page page = probe::collect_net(-1);
    const std::string shown = util::valid_utf8(raw);
    ASSERT_NE(index_of(page, shown), -1);
    for (const std::string& o : page.selector.options) EXPECT_TRUE(util::is_valid_utf8(o));
    for (const probe::Card& c : page.cards) {
        EXPECT_TRUE(util::is_valid_utf8(c.title) && util::is_valid_utf8(c.subtitle)) << c.title;
        for (const probe::Row& r : c.rows)
            EXPECT_TRUE(util::is_valid_utf8(r.name) && util::is_valid_utf8(r.note)) << r.name;
    }
    ASSERT_NE(card_of(page, shown, ""), nullptr);
    root.write(dir + "/statistics/rx_bytes", "4096\n");
    probe::refresh_live_net(page);
    EXPECT_EQ(live_row(page, "net.rx:" + raw)->value, util::fmt_bytes(4096));
}

TEST(NetPage, NoInterfacesNoPageButInsideASnapTheHint) {
    zqtest::FixtureRoot root;
    root.mkdir("/sys/class/net");
    EXPECT_FALSE(probe::has_net());
    {
        zqtest::ScopedEnv snap("SNAP_NAME", nullptr);
        probe::Page page = probe::collect_net(-1);
        EXPECT_TRUE(page.cards.empty() && page.headline.empty() && page.selector.options.empty());
    }
    zqtest::ScopedEnv snap("SNAP_NAME", "zq-snap");
    probe::Page page = probe::collect_net(-1);
    ASSERT_EQ(page.cards.size(), 1u);
    EXPECT_EQ(page.cards[0].hint, probe::snap_hint("network-observe"));
    // A plain file is no interface, but it tells that the directory is there.
    root.write("/sys/class/net/bonding_masters", "\n");
    EXPECT_TRUE(probe::has_net());
}

// The recorded machine with bnx2 Ethernet ports and an InfiniBand port; its
// expected topology names the PCI device behind each interface.
TEST(NetPage, RecordedMachineWithPciNetworkDevices) {
    std::string tarball = zqtest::shared_data("hwloc-linux/40intel64-2g2n4c+pcilocality.tar.bz2");
    std::string xml = zqtest::shared_data("hwloc-linux/40intel64-2g2n4c+pcilocality.xml");
    if (tarball.empty() || xml.empty()) GTEST_SKIP() << "no shared machine data";
    zqtest::TempDir tmp;
    std::string tree = zqtest::unpack_tarball(tarball, tmp.path());
    ASSERT_FALSE(tree.empty());
    zqtest::ScopedRoot scoped(tree);
    // Expected: each network OS device and the PCI device it sits on.
    std::map<std::string, std::string> pci_of;
    std::string busid;
    for (const std::string& line : util::split(zqtest::slurp(xml), '\n')) {
        size_t b = line.find("pci_busid=\"");
        if (line.find("type=\"PCIDev\"") != std::string::npos && b != std::string::npos)
            busid = line.substr(b + 11, 12);
        size_t n = line.find("type=\"OSDev\" name=\"");
        if (n != std::string::npos) {
            std::string name = line.substr(n + 19, line.find('"', n + 19) - n - 19);
            if (util::is_dir(NET_DIR + name)) pci_of[name] = busid;
        }
    }
    ASSERT_EQ(pci_of.size(), 5u);
    probe::Page page = probe::collect_net(-1);
    // The two ports that are up first; "lo" points at a directory the recording left out.
    EXPECT_EQ(page.selector.options,
              (std::vector<std::string>{tr("value.all"), "eth0", "ib0", "eth1", "eth2", "eth3"}));
    for (const auto& [name, pci] : pci_of) {
        probe::Page one = probe::collect_net(index_of(page, name));
        const probe::Card* card = card_of(one, name, "");
        ASSERT_NE(card, nullptr) << name;
        EXPECT_EQ(row_of(*card, tr("f.pci_address"))->value, pci) << name;
        EXPECT_EQ(card->subtitle, name == "ib0" ? "ib_qib" : "bnx2");
    }
    const probe::Card* eth0 = card_of(page, "eth0", "");
    EXPECT_EQ(row_of(*eth0, tr("f.speed"))->value, "1 Gbit/s");
    EXPECT_EQ(row_of(*eth0, tr("f.duplex"))->value, tr("value.duplex_full"));
    EXPECT_EQ(row_of(*card_of(page, "ib0", ""), tr("f.mtu"))->value, util::fmt_int(2044));
    EXPECT_EQ(page.stats.at(1).value, "1 Gbit/s");
}

// getifaddrs knows nothing of the fixture root: the program runs in a network
// namespace of its own whose interfaces carry the fixture's names.
TEST(NetPage, AddressesFromGetifaddrsInTheirOwnNamespace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace";
    std::string setup =
        "ip link set lo up && ip link add enp3s0 type veth peer name zqnet-peer && "
        "ip addr add 192.168.1.10/24 dev enp3s0 && ip addr add fd12::10/64 dev enp3s0 nodad && "
        "ip link set enp3s0 up && ip link set zqnet-peer up && exec \"$@\"";
    auto r = zqtest::run({"unshare", "-n", "bash", "-c", setup, "setup", ZQ_NS_RUN, zqtest::test_data("net"),
                          zqtest::binary(), "--report"});
    if (r.status == zqtest::SKIP_STATUS || r.err.find("unshare") != std::string::npos)
        GTEST_SKIP() << "no network namespace: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;
    size_t card = r.out.find("\u2500\u2500 " + std::string(tr("sec.addresses")) + "  (enp3s0)\n");
    ASSERT_NE(card, std::string::npos) << r.out;
    std::string body = r.out.substr(card, r.out.find("\n\n", card) - card);
    std::vector<std::string> lines = util::split(body, '\n');
    ASSERT_GE(lines.size(), 4u) << body;
    EXPECT_EQ(lines[1], "    IPv4: 192.168.1.10/24");
    EXPECT_NE(body.find("\n    IPv6: fd12::10/64\n"), std::string::npos) << body;
    EXPECT_EQ(lines.back(), "    " + std::string(tr("f.address")) + ": ff:ff:ff:ff:ff:ff");
    EXPECT_NE(
        r.out.find("    lo: " + std::string(tr("common.unknown")) + "   \u00b7      \u00b7   127.0.0.1/8\n"),
        std::string::npos)
        << r.out;
}

}  // namespace
