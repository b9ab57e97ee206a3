#include <gtest/gtest.h>

#include <cmath>

#include <cstdint>
#include <limits>

#include "fixture.h"
#include "util.h"

namespace {

using zqtest::FixtureRoot;

// Formatter tests switch separators; each starts from the initial ones.
class Separators : public ::testing::Test {
protected:
    void SetUp() override { util::set_number_format(",", "."); }
    void TearDown() override { util::set_number_format(",", "."); }
};

TEST(UtilFiles, ReadFileTrimsAndRawKeepsBytes) {
    FixtureRoot root;
    root.write("/sys/devices/system/cpu/cpu0/cpufreq/scaling_max_freq", "3400000\n");
    root.write("/bin.dat", std::string("a\0b\n", 4));
    EXPECT_EQ(util::read_file("/sys/devices/system/cpu/cpu0/cpufreq/scaling_max_freq"), "3400000");
    EXPECT_EQ(util::read_file_raw("/sys/devices/system/cpu/cpu0/cpufreq/scaling_max_freq"), "3400000\n");
    EXPECT_EQ(util::read_file_raw("/bin.dat"), std::string("a\0b\n", 4));
    EXPECT_EQ(util::read_file("/missing"), "");
    EXPECT_EQ(util::read_file_raw("/missing"), "");
    // A directory where a file is expected reads as empty, not as an error.
    root.mkdir("/sys/class/hwmon");
    EXPECT_EQ(util::read_file("/sys/class/hwmon"), "");
}

TEST(UtilFiles, ReadLinesKeepsLineContents) {
    FixtureRoot root;
    root.write("/a", "a\nb");
    root.write("/b", "a\nb\n");
    root.write("/c", "x\r\n\n  y  \n");
    root.write("/empty", "");
    EXPECT_EQ(util::read_lines("/a"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(util::read_lines("/b"), (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(util::read_lines("/c"), (std::vector<std::string>{"x\r", "", "  y  "}));
    EXPECT_TRUE(util::read_lines("/empty").empty());
    EXPECT_TRUE(util::read_lines("/missing").empty());
}

TEST(UtilFiles, ExistenceTestsAndLinks) {
    FixtureRoot root;
    root.write("/sys/bus/pci/drivers/nvme/bind", "");
    root.symlink("/sys/dev/driver", "../../../bus/pci/drivers/nvme");
    root.symlink("/sys/dev/plain", "nvme");
    root.symlink("/sys/dev/dangling", "/nowhere/at/all");
    EXPECT_TRUE(util::path_exists("/sys/dev/dangling"));
    EXPECT_FALSE(util::is_dir("/sys/dev/dangling"));
    EXPECT_FALSE(util::readable("/sys/dev/dangling"));
    EXPECT_TRUE(util::is_dir("/sys/bus/pci/drivers/nvme"));
    EXPECT_TRUE(util::readable("/sys/bus/pci/drivers/nvme/bind"));
    EXPECT_FALSE(util::path_exists("/sys/none"));
    EXPECT_EQ(util::read_link_base("/sys/dev/driver"), "nvme");
    EXPECT_EQ(util::read_link_full("/sys/dev/driver"), "../../../bus/pci/drivers/nvme");
    EXPECT_EQ(util::read_link_base("/sys/dev/plain"), "nvme");
    EXPECT_EQ(util::read_link_base("/sys/bus/pci/drivers/nvme/bind"), "");  // not a link
    EXPECT_EQ(util::read_link_base("/sys/none"), "");
}

TEST(UtilFiles, RealPathHidesTheRootPrefix) {
    FixtureRoot root;
    root.write("/sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0/model", "X\n");
    root.symlink("/sys/class/nvme/nvme0", "../../devices/pci0000:00/0000:00:04.0/nvme/nvme0");
    root.symlink("/sys/class/nvme/nvme0-device", "nvme0/../..");
    EXPECT_EQ(util::real_path("/sys/class/nvme/nvme0"), "/sys/devices/pci0000:00/0000:00:04.0/nvme/nvme0");
    EXPECT_EQ(util::real_path("/sys/class/nvme/nvme0-device"), "/sys/devices/pci0000:00/0000:00:04.0");
    EXPECT_EQ(util::real_path("/"), "/");
    EXPECT_EQ(util::real_path("/sys/class/nvme/none"), "");
    struct statvfs fs {};
    EXPECT_TRUE(util::stat_fs("/sys", fs));
    EXPECT_FALSE(util::stat_fs("/sys/none", fs));
}

TEST(UtilFiles, ListDirNaturalOrderAndPrefix) {
    FixtureRoot root;
    for (int i : {10, 2, 0, 1, 9, 3, 4, 5, 6, 7, 8}) root.mkdir("/sys/class/hwmon/hwmon" + std::to_string(i));
    root.write("/sys/class/hwmon/.hidden", "");
    auto names = util::list_dir("/sys/class/hwmon", "hwmon");
    ASSERT_EQ(names.size(), 11u);
    EXPECT_EQ(names.front(), "hwmon0");
    EXPECT_EQ(names[9], "hwmon9");
    EXPECT_EQ(names.back(), "hwmon10");
    auto all = util::list_dir("/sys/class/hwmon", "");
    EXPECT_EQ(all.size(), 12u);
    EXPECT_EQ(all.front(), ".hidden");
    EXPECT_TRUE(util::list_dir("/sys/class/none", "").empty());
}

// A collection reads each file and directory once, nested ones included;
// after the outermost one ends, nothing kept reaches the next read.
TEST(UtilFiles, KeptReadsLastOneCollection) {
    FixtureRoot root;
    const std::string vendor = "/sys/class/dmi/id/sys_vendor";
    auto kept = [&] {
        return util::read_file_kept(vendor) + " " +
               std::to_string(util::list_dir_kept("/sys/block", "").size());
    };
    util::keep_reads(false);  // one end too many is ignored
    util::keep_reads(true);
    root.write(vendor, "Acme\n");
    root.mkdir("/sys/block/sda");
    EXPECT_EQ(kept(), "Acme 1");
    root.write(vendor, "Other\n");
    root.mkdir("/sys/block/sdb");
    util::keep_reads(true);
    util::keep_reads(false);
    EXPECT_EQ(kept(), "Acme 1");
    EXPECT_EQ(util::read_file(vendor), "Other");
    util::keep_reads(false);
    EXPECT_EQ(kept(), "Other 2");
}

TEST(UtilFiles, RootPrefixOnlyAppliesToAbsolutePaths) {
    FixtureRoot root;
    EXPECT_EQ(util::host_path("/proc/stat"), root.dir() + "/proc/stat");
    EXPECT_EQ(util::host_path("relative/x"), "relative/x");
    util::set_root_prefix("/");
    EXPECT_EQ(util::host_path("/proc/stat"), "/proc/stat");
}

TEST(UtilStrings, TrimLowerAffixes) {
    EXPECT_EQ(util::trim(std::string("\0 7\n", 4)), "7");
    EXPECT_EQ(util::trim(" \t\r\n"), "");
    EXPECT_EQ(util::trim("a  b"), "a  b");
    EXPECT_EQ(util::lower("AbC\xC3\x84"), "abc\xC3\x84");
    EXPECT_TRUE(util::starts_with("cpu10", "cpu"));
    EXPECT_TRUE(util::starts_with("x", ""));
    EXPECT_FALSE(util::starts_with("cp", "cpu"));
    EXPECT_TRUE(util::ends_with("card0-DP-1", "-DP-1"));
    EXPECT_FALSE(util::ends_with("1", "-DP-1"));
}

TEST(UtilStrings, SplitJoinMnemonic) {
    EXPECT_EQ(util::split("", ','), (std::vector<std::string>{""}));
    EXPECT_EQ(util::split("a,,b", ','), (std::vector<std::string>{"a", "", "b"}));
    EXPECT_EQ(util::split(",a,", ','), (std::vector<std::string>{"", "a", ""}));
    EXPECT_EQ(util::join({}, ", "), "");
    EXPECT_EQ(util::join({"a", "b", "c"}, " | "), "a | b | c");
    EXPECT_EQ(util::strip_mnemonic("_About"), "About");
    EXPECT_EQ(util::strip_mnemonic("A__B"), "A_B");
    EXPECT_EQ(util::strip_mnemonic("End_"), "End");
}

TEST(UtilStrings, NaturalOrder) {
    using util::natural_less;
    EXPECT_TRUE(natural_less("cpu2", "cpu10"));
    EXPECT_FALSE(natural_less("cpu10", "cpu2"));
    EXPECT_TRUE(natural_less("hwmon9", "hwmon10"));
    EXPECT_TRUE(natural_less("card0", "card0-DP-1"));
    EXPECT_TRUE(natural_less("abc", "abcd"));
    EXPECT_TRUE(natural_less("", "a"));
    EXPECT_FALSE(natural_less("a", "a"));
    EXPECT_FALSE(natural_less("file01", "file1"));
    EXPECT_FALSE(natural_less("file1", "file01"));
    EXPECT_FALSE(natural_less("cpu007", "cpu7"));
    // Digit runs longer than any integer still compare by value.
    EXPECT_TRUE(natural_less("n99999999999999999999999", "n100000000000000000000000"));
    // Bytes of non-ASCII characters sort before ASCII.
    EXPECT_TRUE(natural_less("\xC3\xA9", "a"));
}

TEST(UtilStrings, Utf8RepairAndKernelEscapes) {
    struct {
        std::string in, repaired;
    } const utf8[] = {
        {"Caf\xc3\xa9 \xe2\x80\x94 ok", "Caf\xc3\xa9 \xe2\x80\x94 ok"},
        {"Latin-1 \xe9t\xe9", "Latin-1 \xef\xbf\xbdt\xef\xbf\xbd"},
        {"\xff\xff", "\xef\xbf\xbd\xef\xbf\xbd"},
        {"cut \xe2\x80", "cut \xef\xbf\xbd\xef\xbf\xbd"},
        {"overlong \xc0\xaf", "overlong \xef\xbf\xbd\xef\xbf\xbd"},
        {"surrogate \xed\xa0\x80", "surrogate \xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        {std::string("nul\0x", 5), std::string("nul\0x", 5)},
    };
    for (const auto& c : utf8) {
        EXPECT_EQ(util::valid_utf8(c.in), c.repaired) << c.in;
        EXPECT_TRUE(util::is_valid_utf8(util::valid_utf8(c.in)));
    }
    // What labels and the report show: also without NUL and the other
    // control characters but tab; line feeds only where asked for.
    const std::pair<std::string, std::string> display[] = {
        {std::string("20QD\0CTO1WW", 11), "20QDCTO1WW"},
        {"a\tb\r\nc\x7f\x1b[0m", "a\tbc[0m"},
        {"c1 \xc2\x85\xc2\x9f \xc2\xa0 kept", "c1  \xc2\xa0 kept"},
        {std::string("bad \xff\0", 6), "bad \xef\xbf\xbd"},
    };
    for (const auto& [in, shown] : display) EXPECT_EQ(util::display_text(in), shown) << in;
    EXPECT_EQ(util::display_text("line\nnext\r", true), "line\nnext");
    EXPECT_EQ(util::unescape_octal("/mnt/my\\040disk\\011x\\012y\\134z"), "/mnt/my disk\tx\ny\\z");
    EXPECT_EQ(util::unescape_octal("\\04"), "\\04");        // cut short: kept
    EXPECT_EQ(util::unescape_octal("a\\101b"), "a\\101b");  // not one the kernel writes
    EXPECT_EQ(util::unescape_octal("end\\040"), "end ");
}

TEST(UtilRates, FirstSampleAndBackwardCountersGiveNoRate) {
    util::CounterRate r;
    EXPECT_EQ(util::rate_per_second(r, 1000, 10.0), -1.0);
    EXPECT_DOUBLE_EQ(util::rate_per_second(r, 3000, 12.0), 1000.0);
    EXPECT_DOUBLE_EQ(util::rate_per_second(r, 3000, 13.0), 0.0);
    EXPECT_EQ(util::rate_per_second(r, 10, 14.0), -1.0);  // re-created or wrapped
    EXPECT_DOUBLE_EQ(util::rate_per_second(r, 510, 14.5), 1000.0);
    EXPECT_EQ(util::rate_per_second(r, 600, 14.5), -1.0);  // no time passed
    EXPECT_GT(util::monotonic_seconds(), 0.0);
}

TEST(UtilParse, DecimalNumbersWithDefaults) {
    EXPECT_EQ(util::to_u64("  17\n", 5), 17u);
    EXPECT_EQ(util::to_u64("", 5), 5u);
    EXPECT_EQ(util::to_u64("x", 5), 5u);
    EXPECT_EQ(util::to_u64("99999999999999999999", 5), 5u);
    EXPECT_EQ(util::to_u64("42 kB", 0), 42u);
    EXPECT_EQ(util::to_u64("+7", 0), 7u);
    EXPECT_EQ(util::to_u64("-1", 0), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(util::to_i64("-12", 0), -12);
    EXPECT_EQ(util::to_i64("12abc", 0), 12);
    EXPECT_EQ(util::to_i64("-99999999999999999999", 3), 3);
    EXPECT_DOUBLE_EQ(util::to_double("1.5e3", 0), 1500.0);
    EXPECT_DOUBLE_EQ(util::to_double("n/a", -1.0), -1.0);
    EXPECT_DOUBLE_EQ(util::to_double("  ", -2.0), -2.0);
}

TEST(UtilParse, Hexadecimal) {
    EXPECT_EQ(util::parse_hex("0x8086", 0), 0x8086u);
    EXPECT_EQ(util::parse_hex("8086", 0), 0x8086u);
    EXPECT_EQ(util::parse_hex(" 0X8086 ", 0), 0x8086u);
    EXPECT_EQ(util::parse_hex("0x", 7), 7u);
    EXPECT_EQ(util::parse_hex("zz", 7), 7u);
    EXPECT_EQ(util::parse_hex("10de (rev a1)", 0), 0x10deu);
    EXPECT_EQ(util::parse_hex("123456789", 0), 0x23456789u);
    EXPECT_EQ(util::to_hex(0x1f, 4), "001f");
    EXPECT_EQ(util::to_hex(0x12345, 2), "12345");
}

TEST_F(Separators, WorkedExamplesWithInitialAndEnglishSeparators) {
    struct Case {
        std::string initial, english, actual_initial, actual_english;
    };
    auto both = [](auto fn) {
        util::set_number_format(",", ".");
        std::string a = fn();
        util::set_number_format(".", ",");
        std::string b = fn();
        return std::make_pair(a, b);
    };
    using P = std::pair<std::string, std::string>;
    EXPECT_EQ(both([] { return util::fmt_int(1234567); }), P("1.234.567", "1,234,567"));
    EXPECT_EQ(both([] { return util::fmt_int(999); }), P("999", "999"));
    EXPECT_EQ(both([] { return util::fmt_double(1234.5678, 2); }), P("1.234,57", "1,234.57"));
    EXPECT_EQ(both([] { return util::fmt_double(-1234567.25, 1); }), P("-1.234.567,2", "-1,234,567.2"));
    EXPECT_EQ(both([] { return util::fmt_percent(42.0, 1); }), P("42,0 %", "42.0 %"));
    EXPECT_EQ(both([] { return util::fmt_bytes(512); }), P("512 B", "512 B"));
    EXPECT_EQ(both([] { return util::fmt_bytes(1023); }), P("1.023 B", "1,023 B"));
    EXPECT_EQ(both([] { return util::fmt_bytes(1536); }), P("1,50 KiB", "1.50 KiB"));
    EXPECT_EQ(both([] { return util::fmt_bytes(10240); }), P("10,0 KiB", "10.0 KiB"));
    EXPECT_EQ(both([] { return util::fmt_bytes(17179869184ULL); }), P("16,0 GiB", "16.0 GiB"));
    EXPECT_EQ(both([] { return util::fmt_bytes(500107862016ULL); }), P("466 GiB", "466 GiB"));
    EXPECT_EQ(both([] { return util::fmt_bytes_si(1000); }), P("1,00 kB", "1.00 kB"));
    EXPECT_EQ(both([] { return util::fmt_bytes_si(500107862016ULL); }), P("500 GB", "500 GB"));
    EXPECT_EQ(both([] { return util::fmt_bytes_both(1536); }), P("1,50 KiB (1,54 kB)", "1.50 KiB (1.54 kB)"));
    EXPECT_EQ(both([] { return util::fmt_bytes_pair(3221225472ULL, 17179869184ULL); }),
              P("3,00 / 16,00 GiB", "3.00 / 16.00 GiB"));
    EXPECT_EQ(both([] { return util::fmt_bytes_pair(100, 1000); }), P("100 / 1.000 B", "100 / 1,000 B"));
    EXPECT_EQ(both([] { return util::fmt_bytes_pair(512, 1024); }), P("0,50 / 1,00 KiB", "0.50 / 1.00 KiB"));
    EXPECT_EQ(both([] { return util::fmt_hz(999); }), P("999 Hz", "999 Hz"));
    EXPECT_EQ(both([] { return util::fmt_hz(1000); }), P("1 kHz", "1 kHz"));
    EXPECT_EQ(both([] { return util::fmt_hz(3600000000ULL); }), P("3,60 GHz", "3.60 GHz"));
    EXPECT_EQ(both([] { return util::fmt_khz(800000); }), P("800 MHz", "800 MHz"));
    EXPECT_EQ(both([] { return util::fmt_khz(4200000); }), P("4,20 GHz", "4.20 GHz"));
    EXPECT_EQ(both([] { return util::fmt_mhz(3400.0); }), P("3,40 GHz", "3.40 GHz"));
    EXPECT_EQ(both([] { return util::fmt_duration(3725); }), P("01:02:05", "01:02:05"));
    EXPECT_EQ(both([] { return util::fmt_duration(90061); }), P("1 d 01:01:01", "1 d 01:01:01"));
}

TEST_F(Separators, SettingSeparators) {
    util::set_number_format("", ",");
    EXPECT_EQ(util::g_decimal, ",");
    EXPECT_EQ(util::fmt_int(1234567), "1,234,567");
    util::set_number_format(".", "");
    EXPECT_EQ(util::fmt_int(1234567), "1234567");
    EXPECT_EQ(util::fmt_double(1234.5, 1), "1234.5");
    // Multi-byte group separator (U+202F NARROW NO-BREAK SPACE).
    util::set_number_format(",", "\u202F");
    EXPECT_EQ(util::fmt_int(1234567), "1\u202F234\u202F567");
    EXPECT_EQ(util::fmt_double(-1234.25, 2), "-1\u202F234,25");
}

TEST_F(Separators, FormatterEdges) {
    EXPECT_EQ(util::fmt_double(-0.4, 0), "-0");
    EXPECT_EQ(util::fmt_double(2.5, 0), "2");
    EXPECT_EQ(util::fmt_double(3.0, 0).find(','), std::string::npos);
    EXPECT_EQ(util::fmt_percent(99.5, 0), "100 %");
    EXPECT_EQ(util::fmt_bytes(0), "0 B");
    EXPECT_EQ(util::fmt_bytes(1024), "1,00 KiB");
    EXPECT_EQ(util::fmt_bytes(1048575), "1.024 KiB");
    EXPECT_EQ(util::fmt_bytes(UINT64_MAX), "16,0 EiB");
    EXPECT_EQ(util::fmt_bytes_si(999), "999 B");
    EXPECT_EQ(util::fmt_bytes_si(UINT64_MAX), "18,4 EB");
    EXPECT_EQ(util::fmt_bytes_both(1000), "1.000 B");
    EXPECT_EQ(util::fmt_bytes_pair(0, 0), "0 / 0 B");
    const uint64_t pib = 1ULL << 50;
    EXPECT_EQ(util::fmt_bytes_pair(pib, 4096 * pib), "1,00 / 4.096,00 PiB");
    EXPECT_EQ(util::fmt_bytes_pair(3072, 2048), "3,00 / 2,00 KiB");
    EXPECT_EQ(util::fmt_hz(0), "");
    EXPECT_EQ(util::fmt_hz(999999), "1.000 kHz");
    EXPECT_EQ(util::fmt_hz(999999999), "1.000 MHz");
    EXPECT_EQ(util::fmt_hz(1000000), "1 MHz");
    EXPECT_EQ(util::fmt_hz(1000000000), "1,00 GHz");
    EXPECT_EQ(util::fmt_mhz(0.0), "");
    EXPECT_EQ(util::fmt_mhz(-5.0), "");
    EXPECT_EQ(util::fmt_mhz(1.5), "2 MHz");
    EXPECT_EQ(util::fmt_mhz(0.0004), "400 Hz");
    // Absurd readings (a corrupt "cpu MHz", "inf") saturate instead of wrapping to nothing.
    EXPECT_EQ(util::fmt_mhz(1e30), util::fmt_hz(UINT64_MAX));
    EXPECT_EQ(util::fmt_mhz(std::numeric_limits<double>::infinity()), util::fmt_hz(UINT64_MAX));
    EXPECT_EQ(util::fmt_mhz(18446744073709.0), "18.446.744.073,71 GHz");
    EXPECT_EQ(util::fmt_duration(0), "00:00:00");
    EXPECT_EQ(util::fmt_duration(86399), "23:59:59");
    EXPECT_EQ(util::fmt_duration(86400), "1 d 00:00:00");
    EXPECT_EQ(util::fmt_duration(1000 * 86400ULL), "1000 d 00:00:00");
    // Large values are written in full, every digit and group.
    for (int exponent : {62, 70, 300}) {
        std::string digits = util::fmt_double(std::pow(10.0, exponent), 2);
        SCOPED_TRACE(exponent);
        EXPECT_EQ(digits.size(), static_cast<size_t>(exponent + 1 + exponent / 3 + 3));
        EXPECT_TRUE(util::starts_with(digits, "1") && util::ends_with(digits, ",00"));
    }
}

TEST(UtilColumns, AlignedTokens) {
    EXPECT_EQ(util::fmt_columns({}, 80), "");
    EXPECT_EQ(util::fmt_columns({"a", "bbb", "cc"}, 10), "a    bbb\ncc");
    EXPECT_EQ(util::fmt_columns({"a", "bbb", "cc"}, 0), "a    bbb\ncc");
    EXPECT_EQ(util::fmt_columns({"a", "b", "c"}, 80), "a  b  c");
}

}  // namespace
