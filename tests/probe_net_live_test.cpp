// The "net" page of real interfaces against what `ip -d addr` says of them:
// this machine's own, and a veth pair, a bridge with a port whose peer is
// down and a macvlan in network namespaces made here, with traffic across the
// pair showing as a rate on the next tick.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "fixture.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

// One interface as `ip -d addr` shows it.
struct IpLink {
    std::string name, state, mac, kind, parentbus, master;
    uint64_t mtu = 0, qlen = 0;
    std::vector<std::string> v4, v6;
};

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    for (const std::string& w : util::split(line, ' '))
        if (!w.empty()) out.push_back(w);
    return out;
}

std::string after(const std::vector<std::string>& w, const std::string& key) {
    auto it = std::find(w.begin(), w.end(), key);
    return it != w.end() && it + 1 != w.end() ? *(it + 1) : "";
}

std::vector<IpLink> parse_ip(const std::string& text) {
    std::vector<IpLink> links;
    for (const std::string& line : util::split(text, '\n')) {
        std::vector<std::string> w = words(line);
        if (w.empty()) continue;
        if (line[0] != ' ') {
            IpLink l;
            l.name = w[1].substr(0, w[1].find_first_of("@:"));
            l.mtu = util::to_u64(after(w, "mtu"), 0);
            l.state = util::lower(after(w, "state"));
            l.qlen = util::to_u64(after(w, "qlen"), 0);
            l.master = after(w, "master");
            links.push_back(l);
            continue;
        }
        if (links.empty()) continue;
        IpLink& l = links.back();
        if (w[0] == "inet" || w[0] == "inet6") {
            (w[0] == "inet" ? l.v4 : l.v6).push_back(w[1]);
            continue;
        }
        if (w[0] == "valid_lft" || w[0] == "altname") continue;
        if (util::starts_with(w[0], "link/"))
            l.mac = w[1];
        else if (l.kind.empty())
            l.kind = w[0];
        if (!after(w, "parentbus").empty()) l.parentbus = after(w, "parentbus");
    }
    return links;
}

// The page as zq_net_page prints it.
probe::Page parse_page(const std::string& text) {
    probe::Page page;
    for (const std::string& line : util::split(text, '\n')) {
        std::vector<std::string> f = util::split(line, '\t');
        if (f[0] == "sel") page.selector.options.assign(f.begin() + 1, f.end());
        if (f[0] == "stat") page.stats.push_back({f.at(1), f.at(2), "", ""});
        if (f[0] == "card") {
            page.cards.emplace_back();
            page.cards.back().title = f.at(1);
            page.cards.back().subtitle = f.at(2);
        }
        if (f[0] == "row" && !page.cards.empty()) {
            probe::Row r(f.at(1), f.at(2), "", false, f.at(4), f.at(3));
            r.cols.assign(f.begin() + 5, f.end());
            page.cards.back().rows.push_back(r);
        }
    }
    return page;
}

const probe::Card* card_of(const probe::Page& page, const std::string& title, const std::string& subtitle) {
    for (const probe::Card& c : page.cards)
        if (c.title == title && (subtitle.empty() || c.subtitle == subtitle)) return &c;
    return nullptr;
}

std::string value_of(const probe::Card& card, const char* key) {
    for (const probe::Row& r : card.rows)
        if (r.name == tr(key)) return r.value;
    return "";
}

std::vector<std::string> values_named(const probe::Card* card, const std::string& name) {
    std::vector<std::string> out;
    if (card)
        for (const probe::Row& r : card->rows)
            if (r.name == name) out.push_back(r.value);
    std::sort(out.begin(), out.end());
    return out;
}

std::string state_word(const std::string& state) {
    if (state == "up") return tr("value.connected");
    if (state == "down") return tr("value.disconnected");
    if (state == "unknown") return tr("common.unknown");
    return state;
}

int rank(const IpLink& l) {
    if (l.name == "lo") return 3;
    if (l.parentbus.empty()) return 2;
    return l.state == "up" ? 0 : 1;
}

// The page's list, and each interface's own page, against `ip -d addr`.
void check_against_ip(const std::vector<IpLink>& ip, const std::function<probe::Page(int)>& page_for) {
    std::vector<IpLink> order = ip;
    std::stable_sort(order.begin(), order.end(), [](const IpLink& a, const IpLink& b) {
        return rank(a) != rank(b) ? rank(a) < rank(b) : util::natural_less(a.name, b.name);
    });
    probe::Page all = page_for(-1);
    std::vector<std::string> expected = {tr("value.all")};
    for (const IpLink& l : order) expected.push_back(l.name);
    ASSERT_EQ(all.selector.options, expected);
    for (size_t i = 0; i < order.size(); ++i) {
        const IpLink& l = order[i];
        SCOPED_TRACE(l.name);
        probe::Page page = page_for(static_cast<int>(i));
        const probe::Card* own = card_of(page, l.name, "");
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(value_of(*own, "f.state"), state_word(l.state));
        EXPECT_EQ(value_of(*own, "f.mac"), l.mac);
        EXPECT_EQ(value_of(*own, "f.mtu"), util::fmt_int(l.mtu));
        EXPECT_EQ(value_of(*own, "f.queues_tx"), l.qlen ? util::fmt_int(l.qlen) : "");
        EXPECT_EQ(value_of(*own, "f.master"), l.master);
        if (l.parentbus.empty()) {
            EXPECT_EQ(own->subtitle, tr("f.type"));
            EXPECT_EQ(value_of(*own, "f.driver"), "");
        } else {
            EXPECT_EQ(own->subtitle, value_of(*own, "f.driver"));
            EXPECT_TRUE(util::starts_with(value_of(*own, "f.driver"), l.parentbus))
                << value_of(*own, "f.driver");
        }
        // Links without a carrier and kinds without a link of their own have no speed.
        if (l.kind == "bridge" || l.kind == "ifb" || l.state == "down" || l.name == "lo") {
            EXPECT_EQ(value_of(*own, "f.speed"), "");
            std::string duplex = value_of(*own, "f.duplex");
            EXPECT_TRUE(duplex.empty() || duplex == tr("common.unknown")) << duplex;
        }
        std::vector<std::string> v4 = l.v4, v6 = l.v6;
        std::sort(v4.begin(), v4.end());
        std::sort(v6.begin(), v6.end());
        const probe::Card* addrs = card_of(page, tr("sec.addresses"), l.name);
        EXPECT_EQ(values_named(addrs, "IPv4"), v4);
        EXPECT_EQ(values_named(addrs, "IPv6"), v6);
        ASSERT_NE(card_of(page, tr("sec.statistics"), l.name), nullptr);
        std::vector<std::string> ports;
        for (const IpLink& p : order)
            if (p.master == l.name) ports.push_back(p.name);
        EXPECT_EQ(value_of(*own, "f.port"), util::join(ports, ", "));
    }
}

std::string ip_text(const std::vector<std::string>& prefix) {
    std::vector<std::string> argv = prefix;
    argv.insert(argv.end(), {"ip", "-d", "addr"});
    return zqtest::run(argv).out;
}

TEST(NetLive, ThisMachineAgreesWithIp) {
    std::vector<IpLink> ip = parse_ip(ip_text({}));
    if (ip.empty()) GTEST_SKIP() << "no ip command";
    check_against_ip(ip, [](int i) { return probe::collect_net(i); });
    auto eth0 = std::find_if(ip.begin(), ip.end(), [](const IpLink& l) { return l.name == "eth0"; });
    if (eth0 == ip.end()) return;
    probe::Page page = probe::collect_net(-1);
    const probe::Card* card = card_of(page, "eth0", "");
    ASSERT_NE(card, nullptr) << "eth0 is up and gets its cards";
    EXPECT_EQ(card->subtitle, "virtio_net");
    for (const char* name : {"lo", "ifb0", "ifb1"}) {
        if (!util::is_dir(std::string("/sys/class/net/") + name)) continue;
        EXPECT_NE(std::find(page.selector.options.begin(), page.selector.options.end(), name),
                  page.selector.options.end())
            << name;
    }
}

// Network namespaces that are deleted again whatever the test's outcome.
// Namespaces of an earlier run that died before it could delete them go first.
class Namespaces {
public:
    explicit Namespaces(std::vector<std::string> names) : m_names(std::move(names)) {
        for (const std::string& line : util::split(zqtest::run({"ip", "netns", "list"}).out, '\n')) {
            std::string name = line.substr(0, line.find(' '));
            if (!util::starts_with(name, "zqnet-")) continue;
            int pid = static_cast<int>(util::to_i64(name.substr(6), 0));
            if (pid > 0 && kill(pid, 0) != 0) zqtest::run({"ip", "netns", "del", name});
        }
        for (const std::string& n : m_names)
            m_ok = m_ok && zqtest::run({"ip", "netns", "add", n}).status == 0;
    }
    ~Namespaces() {
        for (const std::string& n : m_names) zqtest::run({"ip", "netns", "del", n});
    }
    bool ok() const { return m_ok; }
    // Runs a shell script inside the first namespace; true when it succeeds.
    bool sh(const std::string& ns, const std::string& script, std::string* err = nullptr) const {
        auto r = zqtest::run({"ip", "netns", "exec", ns, "sh", "-ec", script});
        if (err) *err = r.err;
        return r.status == 0;
    }

private:
    std::vector<std::string> m_names;
    bool m_ok = true;
};

TEST(NetLive, InterfacesInNamespacesAgreeWithIpAndTrafficShowsAsRate) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    const std::string tag = "zqnet-" + std::to_string(getpid());
    const std::string a = tag + "-a", b = tag + "-b";
    Namespaces ns({a, b});
    if (!ns.ok()) GTEST_SKIP() << "cannot make network namespaces";
    std::string err;
    ASSERT_TRUE(ns.sh(a,
                      "ip link set lo up\n"
                      "ip link add va type veth peer name vb netns " +
                          b +
                          "\n"
                          "ip link set va mtu 1400\n"
                          "ip addr add 10.201.0.1/24 dev va\n"
                          "ip addr add fd00:201::1/64 dev va nodad\n"
                          "ip link set va up\n"
                          "ip link add br0 type bridge\n"
                          "ip link add vc type veth peer name vd\n"
                          "ip link set vc master br0\n"
                          "ip link set vc up\n"
                          "ip addr add 10.202.0.1/24 dev br0\n"
                          "ip link set br0 up\n"
                          "ip link add mv0 link va type macvlan mode bridge\n"
                          "ip addr add 10.201.0.5/24 dev mv0\n"
                          "ip link set mv0 up\n",
                      &err))
        << err;
    ASSERT_TRUE(ns.sh(b,
                      "ip link set vb mtu 1400\n"
                      "ip addr add 10.201.0.2/24 dev vb\n"
                      "ip addr add fd00:201::2/64 dev vb nodad\n"
                      "ip link set vb up\n",
                      &err))
        << err;
    const std::vector<std::string> in_a = {"ip", "netns", "exec", a};
    auto page_in_a = [&](int i) {
        std::vector<std::string> argv = in_a;
        argv.insert(argv.end(), {zqtest::tool("zq_net_page"), std::to_string(i)});
        return parse_page(zqtest::run(argv).out);
    };
    std::vector<IpLink> ip = parse_ip(ip_text(in_a));
    ASSERT_EQ(ip.size(), 6u) << ip_text(in_a);  // lo, va, br0, vc, vd, mv0
    check_against_ip(ip, page_in_a);
    const probe::Page all = page_in_a(-1);
    const probe::Card* va = card_of(all, "va", "");
    ASSERT_NE(va, nullptr);
    EXPECT_EQ(value_of(*va, "f.mtu"), util::fmt_int(1400));
    EXPECT_EQ(value_of(*va, "f.carrier"), tr("common.yes"));
    // The bridge port's peer is the link that is down.
    auto vd = std::find(all.selector.options.begin(), all.selector.options.end(), "vd");
    ASSERT_NE(vd, all.selector.options.end());
    probe::Page down = page_in_a(static_cast<int>(vd - all.selector.options.begin()) - 1);
    const probe::Card* vd_card = card_of(down, "vd", "");
    ASSERT_NE(vd_card, nullptr);
    EXPECT_EQ(value_of(*vd_card, "f.state"), tr("value.disconnected"));
    EXPECT_EQ(value_of(*vd_card, "f.carrier"), tr("common.no"));

    // A burst of pings across the pair, then the tick.
    std::vector<std::string> argv = in_a;
    argv.insert(argv.end(), {zqtest::tool("zq_net_page"), "-1", "--tick", "ping", "-q", "-c", "30", "-i",
                             "0.01", "-s", "1200", "10.201.0.2"});
    auto r = zqtest::run(argv);
    ASSERT_EQ(r.status, 0) << r.err;
    probe::Page ticked = parse_page(r.out);
    const probe::Card* stats = card_of(ticked, tr("sec.statistics"), "va");
    ASSERT_NE(stats, nullptr);
    for (const char* key : {"f.rate_rx", "f.rate_tx"}) {
        std::string rate = value_of(*stats, key);
        EXPECT_TRUE(util::ends_with(rate, "KiB/s")) << key << " " << rate;
    }
    // The macvlan on top of the pair carried none of it.
    const probe::Card* quiet = card_of(ticked, tr("sec.statistics"), "mv0");
    ASSERT_NE(quiet, nullptr);
    EXPECT_EQ(value_of(*quiet, "f.rate_tx"), "\u2014");
}

}  // namespace
