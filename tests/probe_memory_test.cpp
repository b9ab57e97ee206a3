// The "memory" page: this machine's counters and a swap file of its own,
// fixture machines for the figures, the firmware map and the live refresh,
// slots from the collector's text for real SMBIOS tables, and DDR5 SPD images
// (real ones, hand-made ones and damaged ones) as the kernel exposes them.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>

#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "root_data_testing.h"
#include "util.h"

namespace {

using probe::Card;
using probe::Page;

class MemoryPage : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
        hw::RootData::instance() = hw::RootData();
    }
    void TearDown() override {
        util::set_number_format(",", ".");
        hw::RootData::instance() = hw::RootData();
    }
};

const Card* card_of(const Page& page, const std::string& title, size_t nth = 0) {
    for (const Card& c : page.cards)
        if (c.title == title && nth-- == 0) return &c;
    return nullptr;
}

const probe::Row* row_of(const Card* card, const std::string& name) {
    if (!card) return nullptr;
    for (const probe::Row& r : card->rows)
        if (r.name == name) return &r;
    return nullptr;
}

std::string value_of(const Card* card, const std::string& name) {
    const probe::Row* r = row_of(card, name);
    return r ? r->value : "<none>";
}

// The pages the helpers point into must outlive the pointers.
const Card* card_of(Page&&, const std::string&, size_t = 0) = delete;

std::vector<std::string> titles(const Page& page) {
    std::vector<std::string> t;
    for (const Card& c : page.cards) t.push_back(c.title);
    return t;
}

std::string stat_of(const Page& page, const std::string& label) {
    for (const probe::Stat& s : page.stats)
        if (s.label == label) return s.value + (s.unit.empty() ? "" : " " + s.unit);
    return "<none>";
}

// /proc/meminfo as the kernel lays it out, values in kB.
std::string meminfo(uint64_t total, uint64_t free_kb, uint64_t avail, uint64_t swap_total = 0,
                    uint64_t swap_free = 0, const std::string& more = "") {
    std::ostringstream s;
    auto line = [&](const char* key, uint64_t v, bool unit = true) {
        std::string k = std::string(key) + ":";
        s << k << std::string(k.size() < 16 ? 16 - k.size() : 1, ' ') << v << (unit ? " kB" : "") << '\n';
    };
    line("MemTotal", total);
    line("MemFree", free_kb);
    line("MemAvailable", avail);
    line("Buffers", 39364);
    line("Cached", 4069504);
    line("SwapCached", 0);
    line("Active", 1832252);
    line("Inactive", 2335788);
    line("SwapTotal", swap_total);
    line("SwapFree", swap_free);
    line("Dirty", 0);
    line("Shmem", 11248);
    line("Slab", 450212);
    line("HugePages_Total", 0, false);
    line("Hugepagesize", 2048);
    s << more;
    return s.str();
}

// ---- This machine ----------------------------------------------------------------

std::map<std::string, uint64_t> proc_meminfo() {
    std::map<std::string, uint64_t> m;
    std::ifstream in("/proc/meminfo");
    std::string key;
    uint64_t v;
    while (in >> key >> v) {
        m[key.substr(0, key.size() - 1)] = v * 1024;
        in.ignore(64, '\n');
    }
    return m;
}

TEST_F(MemoryPage, ThisMachineAgreesWithMeminfoAndFree) {
    // Tests and builds running beside this one move memory by hundreds of
    // MiB between two reads: a few tries, and the last must agree.
    const uint64_t slack = 32ull << 20;
    Page page;
    std::map<std::string, uint64_t> info;
    zqtest::RunResult free_out;
    uint64_t total = 0, available = 0;
    for (int attempt = 0; attempt < 8; ++attempt) {
        page = probe::collect_memory(-1);
        info = proc_meminfo();
        free_out = zqtest::run({"free", "-b"});
        std::istringstream free_line(free_out.out.substr(free_out.out.find("Mem:")));
        std::string label;
        uint64_t used = 0, free_b = 0, shared = 0, cache = 0;
        free_line >> label >> total >> used >> free_b >> shared >> cache >> available;
        const Card* usage = card_of(page, "Usage");
        if (!usage || usage->usage.empty()) break;
        const uint64_t page_available = total - usage->usage[0].used;
        auto near = [&](uint64_t a, uint64_t b) { return (a > b ? a - b : b - a) <= slack; };
        if (near(page_available, available) && near(page_available, info["MemAvailable"])) break;
    }
    ASSERT_EQ(total, info["MemTotal"]) << free_out.out;

    const Card* usage = card_of(page, "Usage");
    ASSERT_NE(usage, nullptr);
    EXPECT_EQ(value_of(usage, "Total"), util::fmt_bytes(total));
    EXPECT_EQ(page.headline, util::fmt_bytes(total));  // no privileged data
    ASSERT_FALSE(usage->usage.empty());
    const probe::UsageBar& bar = usage->usage[0];
    EXPECT_EQ(bar.label, "Memory");
    EXPECT_EQ(bar.total, total);
    EXPECT_NEAR(static_cast<double>(bar.used), static_cast<double>(total - available), slack);
    EXPECT_NEAR(static_cast<double>(total - bar.used), static_cast<double>(info["MemAvailable"]), slack);
    const probe::Row* avail = row_of(usage, "Available");
    ASSERT_NE(avail, nullptr);
    EXPECT_EQ(avail->live, "MemAvailable");
    EXPECT_EQ(titles(page).at(1), "Memory modules");
    EXPECT_EQ(page.cards[1].hint, tr("msg.memory_modules_root"));
}

// A swap file whose directory has a blank: /proc/swaps writes it as \040.
TEST_F(MemoryPage, ThisMachineSwapFileWithBlankInPath) {
    if (geteuid() != 0) GTEST_SKIP() << "swapon needs root";
    zqtest::TempDir tmp;
    const std::string dir = tmp.path() + "/zq memory swap";
    std::filesystem::create_directory(dir);
    const std::string file = dir + "/swap file";
    {
        std::ofstream out(file, std::ios::binary);
        out << std::string(16u << 20, '\0');
    }
    std::filesystem::permissions(file,
                                 std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    ASSERT_EQ(zqtest::run({"mkswap", file}).status, 0);
    if (zqtest::run({"swapon", "-p", "7", file}).status != 0) GTEST_SKIP() << "swapon refused";
    Page page = probe::collect_memory(-1);
    std::string swaps = zqtest::slurp("/proc/swaps");
    zqtest::run({"swapoff", file});

    std::string escaped;
    for (char c : file) escaped += c == ' ' ? std::string("\\040") : std::string(1, c);
    size_t at = swaps.find(escaped);
    ASSERT_NE(at, std::string::npos) << swaps;
    std::istringstream line(swaps.substr(at + escaped.size()));
    std::string kind;
    uint64_t size_kb = 0;
    line >> kind >> size_kb;
    const Card* swap = card_of(page, "Swap");
    EXPECT_EQ(value_of(swap, file), "File, " + util::fmt_bytes(size_kb * 1024) + ", priority 7");
    EXPECT_EQ(row_of(swap, file)->note, "/proc/swaps");
    EXPECT_NE(stat_of(page, "Swap"), "<none>");
    ASSERT_FALSE(card_of(page, "Usage")->usage.empty());
    EXPECT_EQ(card_of(page, "Usage")->usage.back().label, "Swap");
}

// ---- Fixture machines ----------------------------------------------------------------

TEST_F(MemoryPage, FiguresRowsAndCardsFromMeminfo) {
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(16384000, 8192000, 12288000, 2097152, 1048576,
                                        "HugePages_Free:        0\nAnonHugePages:     4096 kB\n"));
    root.write("/proc/swaps",
               "Filename\t\t\t\tType\t\tSize\t\tUsed\t\tPriority\n"
               "/dev/dm-1                               partition\t1048576\t\t524288\t\t-2\n"
               "/swap\\040files/one                       file\t\t1047552\t\t0\t\t10\n"
               "/dev/zram0 zram 1024 0\n"
               "/dev/odd   strange\t2048\t0\t-3\n");
    root.write("/sys/kernel/mm/transparent_hugepage/enabled", "always [madvise] never\n");
    Page page = probe::collect_memory(-1);

    EXPECT_EQ(page.headline, "15.6 GiB");
    EXPECT_EQ(page.subline, "");
    EXPECT_EQ(stat_of(page, "Used"), "25 %");
    EXPECT_EQ(stat_of(page, "Swap"), "2.00 GiB");
    EXPECT_EQ(stat_of(page, "Type"), "<none>");
    EXPECT_TRUE(page.selector.options.empty());
    EXPECT_EQ(titles(page),
              (std::vector<std::string>{"Usage", "Memory modules", "Swap", "Kernel memory", "Huge pages"}));
    const Card* usage = card_of(page, "Usage");
    ASSERT_EQ(usage->usage.size(), 2u);
    EXPECT_EQ(usage->usage[0].used, (16384000ull - 12288000) * 1024);
    EXPECT_EQ(usage->usage[1].used, 1048576ull * 1024);
    EXPECT_EQ(row_of(usage, "Installed"), nullptr);
    EXPECT_EQ(value_of(usage, "Shared"), "11.0 MiB");
    EXPECT_EQ(usage->hint, "");  // no firmware map

    const Card* swap = card_of(page, "Swap");
    std::vector<std::string> names;
    for (const auto& r : swap->rows) names.push_back(r.name + " = " + r.value);
    EXPECT_EQ(names, (std::vector<std::string>{"Total = 2.00 GiB", "Used = 1.00 GiB", "Free = 1.00 GiB",
                                               "/dev/dm-1 = Partition, 1.00 GiB, priority -2",
                                               "/swap files/one = File, 1,023 MiB, priority 10",
                                               "/dev/odd = strange, 2.00 MiB, priority -3"}));

    const Card* kernel = card_of(page, "Kernel memory");
    EXPECT_EQ(row_of(kernel, "Dirty"), nullptr);  // 0 kB
    EXPECT_EQ(value_of(kernel, "Kernel cache"), "440 MiB");
    const Card* huge = card_of(page, "Huge pages");
    EXPECT_EQ(value_of(huge, "Huge pages total"), "0");
    EXPECT_EQ(value_of(huge, "Huge pages free"), "0");
    EXPECT_EQ(row_of(huge, "Huge pages reserved"), nullptr);
    EXPECT_EQ(value_of(huge, "Anonymous huge pages"), "4.00 MiB");
    EXPECT_EQ(value_of(huge, "Transparent huge pages"), "always [madvise] never");
}

TEST_F(MemoryPage, AvailableAboveTotalAndEmptySources) {
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(8000000, 9000000, 9500000));
    Page page = probe::collect_memory(-1);
    EXPECT_EQ(stat_of(page, "Used"), "0 %");
    const Card* usage = card_of(page, "Usage");
    ASSERT_EQ(usage->usage.size(), 1u);
    EXPECT_EQ(usage->usage[0].used, 0u);
    EXPECT_EQ(stat_of(page, "Swap"), "<none>");
    const Card* swap = card_of(page, "Swap");
    ASSERT_EQ(swap->rows.size(), 1u);
    EXPECT_EQ(swap->rows[0].value, "0 B");

    root.remove("/proc/meminfo");
    page = probe::collect_memory(-1);
    EXPECT_EQ(titles(page), (std::vector<std::string>{"Memory modules", "Swap"}));
    EXPECT_TRUE(page.stats.empty());
}

// The firmware map holds exactly 256 MiB more than MemTotal below the top of
// system RAM: no hint; one byte more: the hint. Ranges above that top, empty
// and reversed entries never count.
TEST_F(MemoryPage, FirmwareMapDecidesTheHint) {
    zqtest::FixtureRoot root;
    const uint64_t memtotal_kb = 3 * 1024 * 1024;  // 3 GiB
    root.write("/proc/meminfo", meminfo(memtotal_kb, 1000, 2000));
    auto entry = [&](int n, uint64_t start, uint64_t end, const char* type) {
        const std::string d = "/sys/firmware/memmap/" + std::to_string(n);
        char buf[32];
        std::snprintf(buf, sizeof buf, "0x%llx\n", static_cast<unsigned long long>(start));
        root.write(d + "/start", buf);
        std::snprintf(buf, sizeof buf, "0x%llx\n", static_cast<unsigned long long>(end));
        root.write(d + "/end", buf);
        root.write(d + "/type", std::string(type) + "\n");
    };
    const uint64_t gib = 1ull << 30;
    entry(0, 0, 2 * gib - 1, "System RAM");
    entry(1, 2 * gib, 2 * gib + (256ull << 20) - 1, "Reserved");
    entry(2, 4 * gib, 5 * gib - 1, "System RAM");
    entry(3, 6 * gib, 7 * gib, "Reserved");  // above the top of RAM
    entry(4, 9, 3, "Reserved");              // reversed
    root.write("/sys/firmware/memmap/5/start", "");
    root.write("/sys/firmware/memmap/5/end", "0xffff\n");
    Page page = probe::collect_memory(-1);
    EXPECT_EQ(card_of(page, "Usage")->hint, "");
    entry(1, 2 * gib - 1, 2 * gib + (256ull << 20) - 1, "Reserved");
    page = probe::collect_memory(-1);
    const Card* usage = card_of(page, "Usage");
    EXPECT_EQ(usage->hint, tr("msg.installed_needs_root"));
    EXPECT_TRUE(usage->hint_elevates);
}

// Between two builds only what the tick refreshes may change.
TEST_F(MemoryPage, LiveRefreshRewritesOnlyLiveValues) {
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(16384000, 8192000, 12288000, 2097152, 1048576));
    Page page = probe::collect_memory(-1);
    const Page built = page;

    struct Step {
        std::string text;
        std::string used_figure;
        uint64_t mem_used;
        uint64_t swap_used;
        std::string available_row;
    } steps[] = {
        {meminfo(16384000, 17000000, 17384000, 2097152, 2097152), "0 %", 0, 0, "16.6 GiB"},  // hot-plugged
        {meminfo(16384000, 4096000, 4096000, 2097152, 97152), "75 %", (16384000ull - 4096000) * 1024,
         2000000ull * 1024, "3.91 GiB"},
        // The keys vanished: their rows read 0, the bars and the figure keep what they had.
        {"Buffers: 1000 kB\n", "75 %", (16384000ull - 4096000) * 1024, 2000000ull * 1024, "0 B"},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.text.substr(0, 40));
        root.write("/proc/meminfo", step.text);
        probe::refresh_live_memory(page);
        EXPECT_EQ(stat_of(page, "Used"), step.used_figure);
        const Card* usage = card_of(page, "Usage");
        EXPECT_EQ(usage->usage[0].used, step.mem_used);
        EXPECT_EQ(usage->usage[1].used, step.swap_used);
        EXPECT_EQ(value_of(usage, "Available"), step.available_row);
        EXPECT_EQ(value_of(usage, "Total"), built.cards[0].rows[0].value);
        // Everything else as built.
        ASSERT_EQ(page.cards.size(), built.cards.size());
        EXPECT_EQ(page.headline, built.headline);
        for (size_t c = 0; c < page.cards.size(); ++c) {
            ASSERT_EQ(page.cards[c].rows.size(), built.cards[c].rows.size());
            for (size_t r = 0; r < page.cards[c].rows.size(); ++r)
                if (built.cards[c].rows[r].live.empty()) {
                    EXPECT_EQ(page.cards[c].rows[r].value, built.cards[c].rows[r].value)
                        << page.cards[c].rows[r].name;
                }
        }
        for (size_t s = 0; s < page.stats.size(); ++s)
            if (page.stats[s].live.empty()) {
                EXPECT_EQ(page.stats[s].value, built.stats[s].value);
            }
    }
}

// ---- Slots from privileged data ---------------------------------------------------------

hw::MemoryModule module(const std::string& locator, const std::string& bank, uint64_t gib,
                        const char* type = "DDR4", const char* speed = "3200 MT/s",
                        const char* configured = "") {
    hw::MemoryModule m;
    m.locator = locator;
    m.bank = bank;
    m.size_bytes = gib << 30;
    m.type = gib ? type : "";
    m.speed = gib ? speed : "";
    m.configured_speed = gib ? configured : "";
    return m;
}

TEST_F(MemoryPage, SlotsInstalledReservedAndSelector) {
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(16252928, 8000000, 12000000));  // 15.5 GiB
    hw::RootData& data = hw::RootData::instance();
    data.available = true;
    data.max_capacity = 64ull << 30;
    data.memory = {module("DIMM_A1", "BANK 0", 0),
                   module("DIMM_A2", "BANK 0", 8, "Unknown", "3200 MT/s", "2933 MT/s"),
                   module("DIMM_B1", "BANK 1", 8, "DDR4", "3200")};
    Page page = probe::collect_memory(-1);
    EXPECT_EQ(page.headline, "16.0 GiB");
    EXPECT_EQ(page.subline, "Unknown   \u00b7   2933 MT/s   \u00b7   2 / 3 Slots");
    EXPECT_EQ(stat_of(page, "Configured speed"), "2933 MT/s");
    EXPECT_EQ(stat_of(page, "Slots in use"), "2 / 3");
    const Card* usage = card_of(page, "Usage");
    EXPECT_EQ(usage->rows.front().name, "Installed");
    EXPECT_EQ(usage->rows.back().name, "Reserved for firmware/graphics");
    EXPECT_EQ(usage->rows.back().value, "512 MiB");
    EXPECT_EQ(usage->rows.back().extra, "3.1 %");
    const Card* slots = card_of(page, "Memory modules");
    ASSERT_EQ(slots->slots.size(), 3u);
    EXPECT_EQ(slots->slots[2].number, 3);
    EXPECT_EQ(value_of(slots, "Maximum capacity"), "64.0 GiB");
    EXPECT_EQ(value_of(slots, "Slots in use"), "2 / 3");
    EXPECT_TRUE(page.selector.options.empty());  // three records

    struct Case {
        std::vector<hw::MemoryModule> mods;
        std::vector<std::string> options;
    } cases[] = {
        {std::vector<hw::MemoryModule>(8, module("A", "B", 1)), {}},
        {std::vector<hw::MemoryModule>(9, module("A", "ONE", 1)), {}},
        {{module("A", "", 1), module("B", "", 1), module("A", "", 0), module("C", "", 1), module("", "", 0),
          module("B", "", 1), module("A", "", 1), module("C", "", 0), module("D", "", 1)},
         {"All", "A", "B", "C", "D"}},
    };
    for (const Case& c : cases) {
        data.memory = c.mods;
        EXPECT_EQ(probe::collect_memory(-1).selector.options, c.options);
    }
    // Records while the data is not marked available: sizes count, slots do not show.
    data.available = false;
    page = probe::collect_memory(1);
    EXPECT_EQ(page.headline, "15.5 GiB");
    EXPECT_EQ(stat_of(page, "Type"), "DDR4");
    EXPECT_EQ(stat_of(page, "Slots in use"), "<none>");
    EXPECT_TRUE(page.selector.options.empty());
    EXPECT_TRUE(card_of(page, "Memory modules")->slots.empty());
    data.error = "SMBIOS table not readable";
    page = probe::collect_memory(-1);
    EXPECT_EQ(card_of(page, "Memory modules")->subtitle, data.error);
}

// The collector writes the voltage in its own separators; the tiles in the page's.
TEST_F(MemoryPage, ModuleVoltageInThePagesSeparators) {
    zqtest::FixtureRoot root;
    hw::RootData& data = hw::RootData::instance();
    data.available = true;
    data.memory = {module("DIMM_A1", "BANK 0", 8)};
    const struct {
        const char *record, *decimal, *shown;
    } cases[] = {
        {"1,20 V", ".", "1.20 V"},      {"1.35 V", ",", "1,35 V"},
        {"1.35 V", ".", "1.35 V"},      {"65,53 V", "\u066b", "65\u066b53 V"},
        {"1\u066b10 V", ".", "1.10 V"}, {"", ".", ""},
        {"1,2,3 V", ".", "1,2,3 V"},    {"1,20 mV", ".", "1,20 mV"},
    };
    for (const auto& c : cases) {
        util::set_number_format(c.decimal, " ");
        data.memory[0].voltage = c.record;
        const Page page = probe::collect_memory(-1);
        EXPECT_EQ(card_of(page, "Memory modules")->slots.at(0).mod.voltage, c.shown) << c.record;
        EXPECT_EQ(data.memory[0].voltage, c.record);
    }
}

// What the collector writes for a real machine's table, run as it runs after
// elevation: as its own process, over the table in a mount namespace.
hw::RootData collected_from(const std::string& table, bool& skipped) {
    zqtest::FixtureRoot root;
    root.write("/sys/firmware/dmi/tables/DMI", table);
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::tool("zq_root_collect")});
    skipped = r.status == zqtest::SKIP_STATUS;
    hw::RootData d;
    d.parse(r.out);
    return d;
}

std::vector<std::string> real_tables() {
    std::vector<std::string> paths;
    const std::string dir = zqtest::shared_data("smbios");
    if (dir.empty()) return paths;
    for (const auto& sub : std::filesystem::recursive_directory_iterator(dir)) {
        std::string p = sub.path().string();
        if (sub.is_regular_file() && std::filesystem::exists(p + ".dmidecode.txt")) paths.push_back(p);
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

std::string table_at(const std::string& path) {
    std::string bytes = zqtest::slurp(path);
    std::string table = zqtest::table_of_dump(bytes);
    return table.empty() ? bytes : table;  // the kernel-layout files are the table itself
}

TEST_F(MemoryPage, SlotsOfRealMachinesAgreeWithDmidecode) {
    const auto paths = real_tables();
    if (paths.empty()) GTEST_SKIP() << "no shared data";
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(1024, 512, 512));
    int compared = 0;
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        bool skipped = false;
        hw::RootData collected = collected_from(table_at(path), skipped);
        if (skipped) GTEST_SKIP() << "mount namespaces not available";
        auto devices = zqtest::dmidecode_devices(zqtest::slurp(path + ".dmidecode.txt"));
        hw::RootData::instance() = collected;
        Page page = probe::collect_memory(-1);
        const Card* slots = card_of(page, "Memory modules");
        ASSERT_EQ(slots->slots.size(), devices.size());
        uint64_t installed = 0;
        int used = 0;
        for (size_t i = 0; i < devices.size(); ++i) {
            SCOPED_TRACE(i);
            const hw::MemoryModule& m = slots->slots[i].mod;
            EXPECT_EQ(slots->slots[i].number, static_cast<int>(i) + 1);
            EXPECT_EQ(m.size_bytes, zqtest::expected_size(devices[i]["Size"]));
            const std::string& type = devices[i]["Type"];
            EXPECT_EQ(m.type, util::starts_with(type, "<OUT OF") ? "" : type);
            if (devices[i].count("Speed")) {
                EXPECT_EQ(m.speed, zqtest::expected_speed(devices[i]["Speed"]));
            }
            installed += m.size_bytes;
            used += m.size_bytes != 0;
        }
        EXPECT_EQ(value_of(slots, "Slots in use"),
                  std::to_string(used) + " / " + std::to_string(devices.size()));
        EXPECT_EQ(page.headline, util::fmt_bytes(std::max<uint64_t>(installed, 1024 * 1024)));
        ++compared;
    }
    EXPECT_GE(compared, 30);
}

// 32 memory devices in 16 banks of two: the selector filters the tiles and
// keeps their numbers; the counts stay those of the whole table.
TEST_F(MemoryPage, BankSelectorOnThirtyTwoDevices) {
    const std::string path = zqtest::shared_data("smbios/python-dmidecode/IBM-x3950-M2.0.dmidump");
    if (path.empty() || !std::filesystem::exists(path)) GTEST_SKIP() << "no shared data";
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(16384000, 8192000, 12288000));
    bool skipped = false;
    hw::RootData::instance() = collected_from(table_at(path), skipped);
    if (skipped) GTEST_SKIP() << "mount namespaces not available";
    auto devices = zqtest::dmidecode_devices(zqtest::slurp(path + ".dmidecode.txt"));
    ASSERT_EQ(devices.size(), 32u);

    Page all = probe::collect_memory(-1);
    const probe::Selector& sel = all.selector;
    ASSERT_EQ(sel.options.size(), 17u);
    EXPECT_EQ(sel.label, "Bank");
    EXPECT_EQ(sel.options[0], "All");
    EXPECT_EQ(sel.values.front(), -1);
    EXPECT_EQ(sel.values.back(), 15);
    EXPECT_EQ(card_of(all, "Memory modules")->slots.size(), 32u);
    const std::string all_used = value_of(card_of(all, "Memory modules"), "Slots in use");

    for (int bank : {0, 4, 15}) {
        SCOPED_TRACE(bank);
        Page page = probe::collect_memory(bank);
        EXPECT_EQ(page.selector.selected, bank + 1);
        const std::string& name = page.selector.options[static_cast<size_t>(bank) + 1];
        std::vector<int> expected, shown;
        for (size_t i = 0; i < devices.size(); ++i)
            if (devices[i]["Bank Locator"] == name) expected.push_back(static_cast<int>(i) + 1);
        const Card* slots = card_of(page, "Memory modules");
        for (const auto& s : slots->slots) shown.push_back(s.number);
        EXPECT_EQ(shown, expected);
        EXPECT_EQ(expected.size(), 2u);
        EXPECT_EQ(value_of(slots, "Slots in use"), all_used);
        EXPECT_EQ(page.subline, all.subline);
    }
    for (int bank : {16, 99, -7}) {
        Page page = probe::collect_memory(bank);
        EXPECT_EQ(page.selector.selected, 0);
        EXPECT_EQ(card_of(page, "Memory modules")->slots.size(), 32u);
    }
}

// ---- DDR5 SPD ------------------------------------------------------------------------------

std::string spd_image(const std::map<size_t, uint8_t>& bytes, size_t size = 1024) {
    std::string img(size, '\0');
    if (size > 2) img[2] = 0x12;
    for (const auto& [at, v] : bytes)
        if (at < size) img[at] = static_cast<char>(v);
    return img;
}

void put_eeprom(const zqtest::FixtureRoot& root, const std::string& dev, const std::string& bytes) {
    const std::string dir = "/sys/devices/pci0000:00/0000:00:1f.4/i2c-0/" + dev;
    root.write(dir + "/eeprom", bytes);
    root.write(dir + "/name", "spd5118\n");
    root.symlink("/sys/bus/i2c/devices/" + dev, "../../../devices/pci0000:00/0000:00:1f.4/i2c-0/" + dev);
}

std::vector<const Card*> spd_cards(const Page& page) {
    std::vector<const Card*> out;
    for (const Card& c : page.cards)
        if (c.title == "Memory modules" && c.kind == probe::CardKind::Rows) out.push_back(&c);
    return out;
}

std::vector<const Card*> spd_cards(Page&&) = delete;

std::map<std::string, std::string> expected_facts(const std::string& path) {
    std::map<std::string, std::string> facts;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(": ");
        if (line.empty() || line[0] == '#' || colon == std::string::npos) continue;
        std::string value = line.substr(colon + 2);
        facts[line.substr(0, colon)] = util::trim(value.substr(0, value.find('#')));
    }
    return facts;
}

// Letters and digits, lower-cased: makers are compared by name, not spelling.
std::string squeezed(const std::string& s) {
    std::string out;
    for (char c : s)
        if (std::isalnum(static_cast<unsigned char>(c))) out += static_cast<char>(std::tolower(c));
    return out;
}

bool same_maker(const std::string& shown, const std::string& expected) {
    const std::string a = squeezed(shown), b = squeezed(expected);
    return !a.empty() && (b.find(a) != std::string::npos || a.find(b) != std::string::npos);
}

TEST_F(MemoryPage, RealSpdImagesDecodeToTheirFacts) {
    const std::string dir = zqtest::shared_data("spd-ddr5");
    if (dir.empty()) GTEST_SKIP() << "no shared data";
    zqtest::FixtureRoot root;
    root.write("/proc/meminfo", meminfo(16384000, 8192000, 12288000));
    const std::vector<std::string> images = {"AQD-D5V16GR48-SB", "MTC40F2046S1RC48BA1"};
    for (size_t i = 0; i < images.size(); ++i)
        put_eeprom(root, std::to_string(i) + "-0050", zqtest::slurp(dir + "/" + images[i] + ".bin"));
    Page page = probe::collect_memory(-1);
    auto cards = spd_cards(page);
    ASSERT_EQ(cards.size(), images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        SCOPED_TRACE(images[i]);
        auto facts = expected_facts(dir + "/" + images[i] + ".expected.txt");
        const Card* c = cards[i];
        EXPECT_EQ(c->subtitle, std::to_string(i + 1) + " / 2");
        EXPECT_EQ(value_of(c, "Type"), "DDR5");
        EXPECT_EQ(row_of(c, "Type")->extra, facts["module_type"]);
        EXPECT_TRUE(same_maker(value_of(c, "Manufacturer"), facts["module_manufacturer"]))
            << value_of(c, "Manufacturer");
        EXPECT_TRUE(same_maker(value_of(c, "Chip"), facts["dram_manufacturer"])) << value_of(c, "Chip");
        EXPECT_EQ(value_of(c, "Part number"), facts["part_number"]);
        EXPECT_EQ(value_of(c, "Serial number"), facts["serial_number"]);
        if (facts.count("manufacturing_year")) {
            EXPECT_EQ(value_of(c, "Date"), facts["manufacturing_year"]);
            EXPECT_EQ(row_of(c, "Date")->extra, "week " + facts["manufacturing_week"]);
        } else {
            EXPECT_EQ(row_of(c, "Date"), nullptr);  // hand-set bytes that are not BCD
        }
        // DDR5-4800 with tCK 416 ps: tAA 16000 ps is 38.5 clocks, CL 40 (even, and
        // listed as supported); tRCD and tRP 39, tRAS 32000 ps 77.
        EXPECT_EQ(facts["tCKAVGmin_ps"], "416");
        EXPECT_NE(facts["data_rate_mts"].find("DDR5-4800"), std::string::npos);
        EXPECT_EQ(value_of(c, "Rated speed"), "4,800 MT/s");
        EXPECT_EQ(value_of(c, "Timings"), "40-39-39-77");
        EXPECT_NE(facts["cas_latencies_supported"].find("40"), std::string::npos);
        EXPECT_EQ(value_of(c, "tRC"), "48.0 ns");
        EXPECT_EQ(value_of(c, "tWR"), "30.0 ns");
        EXPECT_EQ(value_of(c, "Version"), "SPD " + facts["spd_revision"]);
        EXPECT_EQ(row_of(c, "Version")->note, "/sys/bus/i2c/devices/" + std::to_string(i) + "-0050/eeprom");
    }
    // Between the slots card and the swap card.
    auto t = titles(page);
    EXPECT_EQ(
        std::vector<std::string>(t.begin(), t.begin() + 5),
        (std::vector<std::string>{"Usage", "Memory modules", "Memory modules", "Memory modules", "Swap"}));
}

// Rejected files and the bare minimum as whole cards, then single fields,
// each image in a device of its own.
TEST_F(MemoryPage, HandMadeSpdImages) {
    zqtest::FixtureRoot root;
    put_eeprom(root, "0-0050", spd_image({}));
    put_eeprom(root, "0-0051", spd_image({}, 1023));
    put_eeprom(root, "0-0052", spd_image({{2, 0x0C}}));  // DDR4
    put_eeprom(root, "0-0053", spd_image({}, 512));      // a DDR4 EEPROM's size
    Page page = probe::collect_memory(-1);
    auto cards = spd_cards(page);
    ASSERT_EQ(cards.size(), 1u);
    std::vector<std::string> rows;
    for (const auto& r : cards[0]->rows) rows.push_back(r.name + " = " + r.value + " (" + r.extra + ")");
    EXPECT_EQ(rows, (std::vector<std::string>{"Type = DDR5 ()", "Manufacturer = 0000 ()",
                                              "Serial number = 00000000 ()", "Version = SPD 0.0 ()"}));
    EXPECT_EQ(cards[0]->subtitle, "1 / 1");

    using Bytes = std::map<size_t, uint8_t>;
    auto le = [](size_t at, unsigned v) {
        return Bytes{{at, static_cast<uint8_t>(v)}, {at + 1, static_cast<uint8_t>(v >> 8)}};
    };
    auto with = [](Bytes a, const Bytes& b) {
        a.insert(b.begin(), b.end());
        return a;
    };
    auto maker = [](uint8_t bank, uint8_t id) { return Bytes{{0x200, bank}, {0x201, id}}; };
    const Bytes timed = with(with(le(0x14, 416), le(0x1E, 16640)),
                             with(with(le(0x20, 16000), le(0x22, 16640)), le(0x24, 32000)));
    struct Field {
        Bytes bytes;
        std::string row;
        std::string expected;  // "value (extra)", "" for no row
    };
    const std::vector<Field> fields = {
        {{{3, 0x03}}, "Type", "DDR5 (SODIMM)"},
        {{{3, 0x05}}, "Type", "DDR5 ()"},
        {{{1, 0x23}}, "Version", "SPD 2.3 ()"},
        {{{0x205, 0xAB}, {0x208, 0x01}}, "Serial number", "AB000001 ()"},
        {{{0x209, 'C'}, {0x20A, 'T'}, {0x20B, 0}, {0x20C, '1'}, {0x20D, 0xFF}, {0x20E, 'X'}},
         "Part number",
         "CT 1 ()"},
        {{{0x209, 0x20}, {0x20A, 'A'}, {0x20B, 0x20}}, "Part number", "A ()"},
        {{{0x209, 0x01}, {0x20A, 'A'}}, "Part number", ""},
        {{{0x203, 0x22}, {0x204, 0x43}}, "Date", "2022 (week 43)"},
        {{{0x203, 0x23}, {0x204, 0x53}}, "Date", "2023 (week 53)"},
        {{{0x203, 0xAF}, {0x204, 0x82}}, "Date", ""},  // hand-set, not BCD
        {{{0x203, 0x2A}, {0x204, 0x10}}, "Date", ""},
        {{{0x203, 0x23}, {0x204, 0x1F}}, "Date", ""},
        {{{0x203, 0x23}, {0x204, 0x54}}, "Date", ""},
        {{{0x203, 0x23}, {0x204, 0x00}}, "Date", ""},
        {{{0x203, 0x00}, {0x204, 0x09}}, "Date", ""},
        {le(0x14, 416), "Rated speed", "4,800 MT/s (0.416 ns)"},
        {le(0x14, 357), "Rated speed", "5,600 MT/s (0.357 ns)"},
        {le(0x14, 320), "Rated speed", "6,300 MT/s (0.320 ns)"},                      // 6250 rounds up
        {le(0x14, 416), "Timings", ""},                                               // no tAA
        {timed, "Timings", "40-39-40-77 (CL-tRCD-tRP-tRAS)"},                         // 40 cycles
        {with(timed, le(0x1E, 16000)), "Timings", "40-39-40-77 (CL-tRCD-tRP-tRAS)"},  // 39 made even
        {timed, "tRC", "0.0 ns ()"},
        {timed, "tWR", ""},
        {with(timed, le(0x28, 30000)), "tWR", "30.0 ns ()"},
        // JEP106 as modules store it: continuation count and code, each with its parity bit.
        {maker(0x80, 0x2C), "Manufacturer", "Micron ()"},
        {maker(0x80, 0xCE), "Manufacturer", "Samsung ()"},
        {maker(0x80, 0xAD), "Manufacturer", "SK hynix ()"},
        {maker(0x01, 0x98), "Manufacturer", "Kingston ()"},
        {maker(0x01, 0x4F), "Manufacturer", "Transcend ()"},
        {maker(0x01, 0xBA), "Manufacturer", "PNY ()"},
        {maker(0x02, 0xFE), "Manufacturer", "Elpida ()"},
        {maker(0x02, 0x9E), "Manufacturer", "Corsair ()"},
        {maker(0x83, 0x0B), "Manufacturer", "Nanya ()"},
        {maker(0x04, 0x43), "Manufacturer", "Ramaxel ()"},
        {maker(0x04, 0xCB), "Manufacturer", "ADATA ()"},
        {maker(0x04, 0xCD), "Manufacturer", "G.Skill ()"},
        {maker(0x04, 0xEF), "Manufacturer", "Team Group ()"},
        {maker(0x85, 0x51), "Manufacturer", "Qimonda ()"},
        {maker(0x85, 0x02), "Manufacturer", "Patriot ()"},
        {maker(0x85, 0x9B), "Manufacturer", "Crucial ()"},
        {maker(0x80, 0x98), "Manufacturer", "8098 ()"},  // Kingston's code in another bank
        {{{0x228, 0x80}, {0x229, 0xAD}}, "Chip", "SK hynix ()"},
        {{{0x228, 0x80}, {0x229, 0x18}}, "Chip", ""},
    };
    zqtest::FixtureRoot many;
    for (size_t i = 0; i < fields.size(); ++i)
        put_eeprom(many, "1-" + std::to_string(i), spd_image(fields[i].bytes));
    page = probe::collect_memory(-1);
    cards = spd_cards(page);
    ASSERT_EQ(cards.size(), fields.size());
    for (size_t i = 0; i < fields.size(); ++i) {
        const probe::Row* r = row_of(cards[i], fields[i].row);
        EXPECT_EQ(r ? r->value + " (" + r->extra + ")" : "", fields[i].expected) << i << " " << fields[i].row;
    }
}

// A decoded module is read once per process: a file changed or removed later
// is not read again. A read that came back short is tried again next build.
TEST_F(MemoryPage, SpdKeptOncePerPathWhenDecoded) {
    zqtest::FixtureRoot root;
    put_eeprom(root, "3-0051", spd_image({{0x200, 0x80}, {0x201, 0x2C}}));
    put_eeprom(root, "3-0052", spd_image({{0x200, 0x80}, {0x201, 0x2C}}).substr(0, 96));
    Page page = probe::collect_memory(-1);
    ASSERT_EQ(spd_cards(page).size(), 1u);
    put_eeprom(root, "3-0051", spd_image({{0x200, 0x80}, {0x201, 0xCE}}));
    put_eeprom(root, "3-0052", spd_image({{0x200, 0x80}, {0x201, 0xCE}}));
    page = probe::collect_memory(-1);
    auto cards = spd_cards(page);
    ASSERT_EQ(cards.size(), 2u);
    EXPECT_EQ(value_of(cards[0], "Manufacturer"), "Micron");
    root.remove("/sys/bus/i2c/devices/3-0051");  // a device that went away shows no card
    page = probe::collect_memory(-1);
    EXPECT_EQ(spd_cards(page).size(), 1u);
}

// Random, cut and grown images: a card only for a whole DDR5 image, every
// text valid UTF-8, no crash or overread (the sanitizer build sees those).
TEST_F(MemoryPage, RandomAndTruncatedSpdImages) {
    zqtest::FixtureRoot root;
    std::mt19937 rng(1024);
    std::string real;
    if (std::string dir = zqtest::shared_data("spd-ddr5"); !dir.empty())
        real = zqtest::slurp(dir + "/MTC40F2046S1RC48BA1.bin");
    if (real.size() != 1024) real = spd_image({});
    size_t accepted = 0;
    for (int i = 0; i < 300; ++i) {
        std::string img;
        switch (i % 3) {
            case 0:
                img = real.substr(0, rng() % 1100);
                break;
            case 1:
                img = std::string(900 + rng() % 300, '\0');
                for (char& c : img) c = static_cast<char>(rng());
                if (img.size() > 2 && rng() % 2) img[2] = 0x12;
                break;
            default:
                img = real;
                for (int k = 0; k < 40; ++k) img[rng() % img.size()] = static_cast<char>(rng());
        }
        accepted += img.size() >= 1024 && static_cast<uint8_t>(img[2]) == 0x12;
        put_eeprom(root, "9-" + std::to_string(1000 + i), img);
    }
    Page page = probe::collect_memory(-1);
    auto cards = spd_cards(page);
    EXPECT_EQ(cards.size(), accepted);
    for (const Card* c : cards) {
        EXPECT_EQ(c->rows.front().value, "DDR5");
        for (const auto& r : c->rows) {
            EXPECT_TRUE(zqtest::is_valid_utf8(r.value)) << r.name << " [" << r.value << "]";
            EXPECT_LT(r.value.size(), 64u) << r.name;
        }
    }
}

}  // namespace
