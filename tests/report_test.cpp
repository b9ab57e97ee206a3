// The text report: hand-made pages against exact text, and the real program
// end to end (report, version, help, collector) with its exit statuses.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include "app.h"
#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "util.h"

namespace {

const std::string BANNER_BARS =
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550"
    "\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550\u2550"
    "\u2550\u2550";

class Report : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
    }
    void TearDown() override { util::set_number_format(",", "."); }

    // The report of the given pages, without the machine-dependent first line.
    std::string body(std::vector<std::pair<std::string, probe::Page*>> tabs) {
        for (auto& [title, page] : tabs) app_.m_tabs.push_back({page, title, "x", nullptr});
        std::string text = app_.report_text();
        return text.substr(text.find('\n') + 1);
    }

    App app_;
};

probe::Row row(const std::string& name, const std::string& value) {
    return probe::Row(name, value, "note", false, "", "");
}

TEST_F(Report, EmptyPageGivesBannerOnly) {
    probe::Page empty;
    probe::Card untitled_empty;
    untitled_empty.title = "Nothing";
    empty.cards.push_back(untitled_empty);
    EXPECT_EQ(body({{"Topology", &empty}}), "\n\u2550\u2550 Topology " + BANNER_BARS + "\n\n");
}

// Bytes that are not UTF-8 in any text of a page (a pci.ids name, a cpuinfo
// value, a cache type) come out as U+FFFD; the rest stays byte for byte.
TEST_F(Report, TextThatIsNotUtf8IsRepaired) {
    probe::Page page;
    page.headline = "Model \xff";
    probe::Card card;
    card.title = "Card \xc3";
    card.rows.push_back(row("name \x80", "value \xed\xa0\x80"));
    probe::CacheBar bar;
    bar.label = "L2";
    bar.total = 1024;
    bar.shared_with = "shared \xfe";
    card.caches.push_back(bar);
    card.chips.push_back(probe::Chip{"chip \xc0\xaf", ""});
    page.cards.push_back(card);
    const std::string text = body({{"Tab", &page}});
    EXPECT_TRUE(util::is_valid_utf8(text)) << text;
    for (const char* want : {"Model \uFFFD\n", "\u2500\u2500 Card \uFFFD\n", "    name \uFFFD: value \uFFFD",
                             "shared \uFFFD\n", "    chip \uFFFD"})
        EXPECT_NE(text.find(want), std::string::npos) << want;
}

TEST_F(Report, HeaderLineNamesProgramAndMachine) {
    std::string text = app_.report_text();
    EXPECT_EQ(text, "Zorvantelquist 1.0 (Build 35) \u2014 " + probe::machine_line() + "\n\n");
}

TEST_F(Report, HeadlineFiguresAndRows) {
    probe::Page p;
    p.headline = "Some CPU";
    p.subline = "a   \u00b7   b";
    p.stats = {
        {"Cores", "8", "", ""}, {"Clock", "4.20", "GHz", "cpu.freq"}, {"Load", "\u2026", "", "stat.load"}};
    probe::Card c;
    c.title = "Identification";
    c.subtitle = "package 0";
    c.rows.push_back(row("Vendor", "Acme"));
    probe::Row locked("Serial", "hidden value", "", true, "", "DMI");
    c.rows.push_back(locked);
    probe::Row cols = row("cpu0", "ignored");
    cols.cols = {"one", "two", "three"};
    cols.extra = "side";
    c.rows.push_back(cols);
    c.rows.push_back(row("Empty", ""));
    p.cards.push_back(c);
    EXPECT_EQ(body({{"Processor", &p}}), "\n\u2550\u2550 Processor " + BANNER_BARS +
                                             "\n"
                                             "Some CPU\n"
                                             "a   \u00b7   b\n"
                                             "Cores: 8   \u00b7   Clock: 4.20 GHz   \u00b7   Load: \u2026\n"
                                             "\n\u2500\u2500 Identification  (package 0)\n"
                                             "    Vendor: Acme\n"
                                             "    Serial: not readable without root  (DMI)\n"
                                             "    cpu0: one   \u00b7   two   \u00b7   three  (side)\n"
                                             "    Empty: \n"
                                             "\n");
}

TEST_F(Report, CachesChipsCoresSlotsUsageHint) {
    probe::Page p;
    probe::Card caches;
    caches.title = "Caches";
    caches.kind = probe::CardKind::Caches;
    caches.caches.push_back({1, "L1d", "Data", 65536, {32768, 32768}, "8", "64", "per core"});
    caches.caches.push_back({2, "L2", "Unified", 3 << 20, {1 << 20, 2 << 20}, "", "", ""});
    caches.caches.push_back({3, "L3", "Unified", 32 << 20, {32 << 20}, "16", "64", "all"});
    caches.caches.push_back({4, "L4", "", 512, {}, "", "", ""});
    probe::Card chips;
    chips.title = "Features";
    chips.chips = {{"AVX2", "n"}, {"SSE4.2", ""}, {"AES", ""}};
    probe::Card cores;
    cores.title = "Cores";
    probe::Core bare;
    bare.index = 3;
    probe::Core full;
    full.index = 12;
    full.package = 0;
    full.core_id = 4;
    full.cur_khz = 3400000;
    full.governor = "powersave";
    full.kind = "P";
    full.online = false;
    cores.cores = {bare, full};
    probe::Card slots;
    slots.title = "Memory";
    probe::Slot empty_slot;
    empty_slot.number = 2;
    probe::Slot module;
    module.number = 1;
    module.mod.locator = "DIMM A1";
    module.mod.size_bytes = 16ull << 30;
    module.mod.type = "DDR5";
    module.mod.configured_speed = "4800 MT/s";
    module.mod.manufacturer = "Maker";
    module.mod.part_number = "PN-1";
    module.mod.serial = "never printed";
    probe::Slot sizeonly;
    sizeonly.number = 3;
    sizeonly.mod.size_bytes = 8ull << 30;
    slots.slots = {module, empty_slot, sizeonly};
    probe::Card usage;
    usage.title = "Usage";
    usage.usage = {{"/", 5ull << 30, 10ull << 30, "n"}, {"none", 1, 0, ""}};
    usage.hint = "Needs root";
    probe::Card zero_usage;
    zero_usage.title = "Swap";
    zero_usage.usage = {{"swap", 0, 0, ""}};
    probe::Card diagram;
    diagram.title = "Diagram";
    diagram.diagram.children.push_back(probe::TopoNode());
    p.cards = {caches, chips, cores, slots, usage, zero_usage, diagram};

    EXPECT_EQ(body({{"T", &p}}), "\n\u2550\u2550 T " + BANNER_BARS +
                                     "\n"
                                     "\n\u2500\u2500 Caches\n"
                                     "    L1d: 64.0 KiB  (2 \u00d7 32.0 KiB)  per core\n"
                                     "    L2: 3.00 MiB  (1.00 MiB + 2.00 MiB)\n"
                                     "    L3: 32.0 MiB  all\n"
                                     "    L4: 512 B\n"
                                     "\n\u2500\u2500 Features\n"
                                     "    AVX2, SSE4.2, AES\n"
                                     "\n\u2500\u2500 Cores\n"
                                     "    CPU 3\n"
                                     "    CPU 12  " +
                                     tr("f.package_id") + " 0  " + tr("f.core_id") +
                                     " 4  3.40 GHz  powersave  [P]  " + tr("value.offline") +
                                     "\n"
                                     "\n\u2500\u2500 Memory\n"
                                     "    DIMM A1: 16.0 GiB DDR5 @ 4800 MT/s  Maker PN-1\n"
                                     "    Slot 2: " +
                                     tr("value.slot_empty") +
                                     "\n"
                                     "    Slot 3: 8.00 GiB\n"
                                     "\n\u2500\u2500 Usage\n"
                                     "    /: 5.00 / 10.00 GiB\n"
                                     "    (Needs root)\n"
                                     "\n\u2500\u2500 Swap\n"
                                     "\n\u2500\u2500 Diagram\n"
                                     "\n");
}

TEST_F(Report, TabsInTableOrderWithGroupSeparators) {
    util::set_number_format(",", ".");
    probe::Page a, b;
    probe::Card c;
    c.title = "C";
    c.caches.push_back({1, "L1", "", 1536, {512, 512, 512}, "", "", ""});
    b.cards.push_back(c);
    a.headline = "first";
    EXPECT_EQ(body({{"A", &a}, {"B", &b}}), "\n\u2550\u2550 A " + BANNER_BARS + "\nfirst\n\n\u2550\u2550 B " +
                                                BANNER_BARS +
                                                "\n\n\u2500\u2500 C\n    L1: 1,50 KiB  (3 \u00d7 512 B)\n\n");
}

// ---- The real program --------------------------------------------------

bool valid_utf8(const std::string& s) {
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

TEST(ReportProgram, ReportOfThisMachineHasItsShape) {
    auto r = zqtest::run({zqtest::binary(), "--report"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(util::starts_with(r.out, "Zorvantelquist 1.0 (Build 35) \u2014 "));
    EXPECT_TRUE(util::ends_with(r.out, "\n\n"));
    EXPECT_EQ(r.out.find('\r'), std::string::npos);
    EXPECT_TRUE(valid_utf8(r.out));
    std::vector<std::string> lines = util::split(r.out, '\n');
    int banners = 0;
    for (const std::string& line : lines)
        if (util::starts_with(line, "\u2550\u2550 ")) {
            ++banners;
            EXPECT_TRUE(util::ends_with(line, " " + BANNER_BARS)) << line;
        }
    EXPECT_GE(banners, 1);
    EXPECT_TRUE(util::starts_with(r.out.substr(r.out.find('\n') + 1), "\n\u2550\u2550 "));
}

TEST(ReportProgram, ReportToFileAndItsFailures) {
    zqtest::TempDir dir;
    std::string file = dir.path() + "/report.txt";
    auto to_file = zqtest::run({zqtest::binary(), "--report", file});
    EXPECT_EQ(to_file.status, 0);
    EXPECT_EQ(to_file.out, "");
    auto to_stdout = zqtest::run({zqtest::binary(), "-r", "-x"});
    EXPECT_EQ(to_stdout.status, 0);
    // The machine line and the tabs are the same in both runs; rows may not
    // be (other tests turn swap on or mount file systems meanwhile).
    auto outline = [](const std::string& report) {
        std::vector<std::string> kept;
        for (const std::string& line : util::split(report, '\n'))
            if (kept.empty() || util::starts_with(line, "\u2550\u2550 ")) kept.push_back(line);
        return kept;
    };
    EXPECT_EQ(outline(zqtest::slurp(file)), outline(to_stdout.out));

    std::string missing = dir.path() + "/no/such/dir/report.txt";
    auto no_dir = zqtest::run({zqtest::binary(), "-r", missing});
    EXPECT_EQ(no_dir.status, 1);
    EXPECT_EQ(no_dir.err, missing + "\n");
    EXPECT_EQ(no_dir.out, "");

    auto full = zqtest::run({zqtest::binary(), "--report", "/dev/full"});
    EXPECT_EQ(full.status, 1);
    EXPECT_EQ(full.err, "");
}

// Runs the program with standard output redirected: to /dev/full or to a
// pipe whose reading end is already closed.
int status_with_stdout(const char* target) {
    int fds[2] = {-1, -1};
    bool to_pipe = std::string(target) == "pipe";
    if (to_pipe && ::pipe(fds) != 0) return -1;
    pid_t pid = ::fork();
    if (pid == 0) {
        int fd = to_pipe ? fds[1] : ::open(target, O_WRONLY);
        ::dup2(fd, 1);
        if (to_pipe) ::close(fds[0]);
        std::string bin = zqtest::binary();
        ::execl(bin.c_str(), bin.c_str(), "--report", nullptr);
        ::_exit(127);
    }
    if (to_pipe) {
        ::close(fds[0]);
        ::close(fds[1]);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ReportProgram, FailedWriteToStandardOutputExitsOne) {
    EXPECT_EQ(status_with_stdout("/dev/full"), 1);
    EXPECT_EQ(status_with_stdout("pipe"), 1);
}

TEST(ReportProgram, VersionAndHelp) {
    const char* const usage =
        "Zorvantelquist 1.0\n\n"
        "  (ohne Argument)    Fenster oeffnen\n"
        "  --report [DATEI]   alle Angaben ausgeben oder speichern\n"
        "  --version          Version ausgeben\n"
        "  --help             diese Hilfe\n";
    for (const char* arg : {"--version", "-v"}) {
        auto r = zqtest::run({zqtest::binary(), arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Zorvantelquist 1.0\n");
    }
    for (const char* arg : {"--help", "-h"}) {
        auto r = zqtest::run({zqtest::binary(), arg});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, usage);
    }
    // The first argument the program knows decides; others are skipped.
    auto skipped = zqtest::run({zqtest::binary(), "--bogus", "-v", "--help"});
    EXPECT_EQ(skipped.out, "Zorvantelquist 1.0\n");
    auto help_first = zqtest::run({zqtest::binary(), "-h", "--report"});
    EXPECT_EQ(help_first.out, usage);
}

// The report speaks the desktop's language, with its number separators.
TEST(ReportProgram, GermanDesktopGivesGermanReport) {
    auto r = zqtest::run({zqtest::binary(), "--report"},
                         {"LANG=de_DE.UTF-8", "LC_ALL=", "LANGUAGE=", "LC_MESSAGES="});
    ASSERT_EQ(r.status, 0);
    I18n::instance().set_language("de");
    std::string german_title = tr("tree.cpu");
    I18n::instance().set_language("en");
    EXPECT_NE(german_title, tr("tree.cpu"));
    EXPECT_NE(r.out.find("\n\u2550\u2550 " + german_title + " \u2550"), std::string::npos)
        << r.out.substr(0, 300);
    std::smatch m;
    if (std::regex_search(r.out, m, std::regex(" [0-9]+[.,][0-9]+ [MG]Hz"))) {
        EXPECT_NE(m.str().find(','), std::string::npos) << m.str();
    }
    // "1.012 KiB" is German grouping (1000 to 1023 KiB); a decimal point has
    // one or two digits after it.
    EXPECT_FALSE(std::regex_search(r.out, m, std::regex(": [0-9]+\\.[0-9]{1,2} [KMG]iB"))) << m.str();
}

// The collector writes its text whether or not it found anything; the exit
// status says whether the data is usable.
TEST(ReportProgram, RootCollectOnThisMachine) {
    auto r = zqtest::run({zqtest::binary(), "--root-collect"});
    EXPECT_TRUE(util::starts_with(r.out, "V 1\n")) << r.out;
    hw::RootData parsed;
    EXPECT_EQ(parsed.parse(r.out), r.status == 0);
    if (util::read_file_raw("/sys/firmware/dmi/tables/DMI").empty() &&
        util::read_file("/sys/class/dmi/id/board_serial").empty()) {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("\nE SMBIOS table not readable\n"), std::string::npos) << r.out;
    }
}

TEST(ReportProgram, RootCollectOverFixtureMachine) {
    zqtest::FixtureRoot root;
    const std::string id = "/sys/devices/virtual/dmi/id/";
    root.write(id + "sys_vendor", "Acme\n");
    root.write(id + "product_name", "Box 1\n");
    root.write(id + "board_serial", "BS-0042\n");
    root.write(id + "product_serial", "PS-7\n");
    root.symlink("/sys/class/dmi/id", "../../devices/virtual/dmi/id");
    auto r = zqtest::run_in_fixture(root.dir(), {zqtest::binary(), "--root-collect"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(valid_utf8(r.out));
    hw::RootData parsed;
    ASSERT_TRUE(parsed.parse(r.out)) << r.out;
    EXPECT_EQ(parsed.board_serial, "BS-0042");
    EXPECT_EQ(parsed.product_serial, "PS-7");
}

}  // namespace
