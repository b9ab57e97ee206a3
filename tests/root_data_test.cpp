// The privileged data text: what the collector writes and what the window
// program makes of it, including text that did not come from our collector.
#include <glib.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include "hw/root_data.h"
#include "root_data_testing.h"

namespace {

using hw::MemoryModule;
using hw::NvmeHealth;
using hw::RootData;
using zqtest::is_valid_utf8;

auto fields(const MemoryModule& m) {
    return std::tie(m.locator, m.bank, m.size_bytes, m.type, m.form_factor, m.speed, m.configured_speed,
                    m.manufacturer, m.part_number, m.serial, m.asset_tag, m.rank, m.data_width, m.total_width,
                    m.voltage);
}

auto fields(const NvmeHealth& h) {
    return std::tie(h.node, h.critical_warning, h.temperature_c, h.available_spare, h.spare_threshold,
                    h.percentage_used, h.data_units_read, h.data_units_written, h.host_reads, h.host_writes,
                    h.busy_minutes, h.power_cycles, h.power_on_hours, h.unsafe_shutdowns, h.media_errors,
                    h.error_entries, h.warning_temp_minutes, h.critical_temp_minutes, h.sensors_c);
}

void expect_same(const RootData& a, const RootData& b) {
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.product_serial, b.product_serial);
    EXPECT_EQ(a.product_uuid, b.product_uuid);
    EXPECT_EQ(a.board_serial, b.board_serial);
    EXPECT_EQ(a.chassis_serial, b.chassis_serial);
    EXPECT_EQ(a.max_capacity, b.max_capacity);
    EXPECT_EQ(a.num_slots, b.num_slots);
    ASSERT_EQ(a.memory.size(), b.memory.size());
    for (size_t i = 0; i < a.memory.size(); ++i)
        EXPECT_EQ(fields(a.memory[i]), fields(b.memory[i])) << "module " << i;
    ASSERT_EQ(a.nvme.size(), b.nvme.size());
    for (size_t i = 0; i < a.nvme.size(); ++i)
        EXPECT_EQ(fields(a.nvme[i]), fields(b.nvme[i])) << "nvme " << i;
}

// ---- Golden texts ------------------------------------------------------------

TEST(RootDataText, EmptyRecordIsSixLines) {
    RootData d;
    EXPECT_EQ(d.serialize(),
              "V 1\nD product_serial|\nD product_uuid|\nD board_serial|\nD chassis_serial|\nA 0|\n");
}

TEST(RootDataText, FullRecordGolden) {
    RootData d;
    d.error = "SMBIOS table not readable";
    d.product_serial = "PF1|X\\Y";
    d.product_uuid = "4c4c4544-0051";
    d.board_serial = "L1\nL2\r";
    d.max_capacity = 68719476736;
    d.num_slots = "4";
    MemoryModule m;
    m.locator = "DIMM A1";
    m.bank = "P0 CHANNEL A";
    m.size_bytes = 17179869184;
    m.type = "DDR4";
    m.form_factor = "DIMM";
    m.speed = "3200 MT/s";
    m.configured_speed = "2933 MT/s";
    m.manufacturer = "Kingston";
    m.part_number = "KHX3200C16D4/16GX";
    m.serial = "2A1B3C4D";
    m.rank = "2";
    m.data_width = "64 bit";
    m.total_width = "64 bit";
    m.voltage = "1,20 V";
    d.memory.push_back(m);
    NvmeHealth h;
    h.node = "nvme0";
    h.critical_warning = 10;  // a raw byte 10 would be a line feed
    h.temperature_c = 273 - 273.15;
    h.available_spare = 100;
    h.spare_threshold = 124;  // a raw byte 124 would be "|"
    h.percentage_used = 255;
    h.data_units_read = 18446744073709551615u;
    h.power_on_hours = 1234;
    h.critical_temp_minutes = 4294967295u;
    h.sensors_c = {45.5, -0.5};
    d.nvme.push_back(h);
    EXPECT_EQ(d.serialize(),
              "V 1\n"
              "E SMBIOS table not readable\n"
              "D product_serial|PF1\\pX\\\\Y\n"
              "D product_uuid|4c4c4544-0051\n"
              "D board_serial|L1\\nL2\r\n"
              "D chassis_serial|\n"
              "A 68719476736|4\n"
              "M DIMM A1|P0 CHANNEL A|17179869184|DDR4|DIMM|3200 MT/s|2933 MT/s|Kingston|KHX3200C16D4/16GX|"
              "2A1B3C4D||2|64 bit|64 bit|1,20 V\n"
              "N nvme0|10|-14|100|124|255|18446744073709551615|0|0|0|0|0|1234|0|0|0|0|4294967295|4550|-50\n");
    RootData back;
    EXPECT_TRUE(back.parse(d.serialize()));
    expect_same(back, [&] {
        RootData e = d;
        e.nvme[0].temperature_c = -0.14;
        return e;
    }());
}

TEST(RootDataText, AvailabilityNeedsVersionAndTableOrModulesNvmeOrSerials) {
    RootData d;
    EXPECT_TRUE(d.parse("V 1")) << "no error line: the table was read, it just lists nothing";
    EXPECT_EQ(d.error, "");
    EXPECT_FALSE(d.parse("V 1\nE SMBIOS table not readable\n"));
    EXPECT_TRUE(d.parse("V 1\nD board_serial|B1\n"));
    RootData e;
    EXPECT_FALSE(e.parse("V 1\nD product_uuid|U\nD chassis_serial|C\nA 1024|2\nE oops\n"));
    EXPECT_EQ(e.error, "oops");
    EXPECT_EQ(e.max_capacity, 1024u);
    EXPECT_FALSE(e.parse("D product_serial|S\nM a|b|1||||||||||||\n"));  // no version line
    EXPECT_EQ(e.memory.size(), 1u);
    EXPECT_TRUE(e.parse("Vx\nM a|b|1||||||||||||\n"));  // the second byte is not examined
    EXPECT_FALSE(RootData().parse(""));
}

TEST(RootDataText, ShortAndLongLines) {
    RootData d;
    d.parse(
        "V 1\n"
        "M a|b|1|t|f|s|c|m|p|n|x|r|d|w\n"                  // 14 fields: ignored
        "M a|b|2|t|f|s|c|m|p|n|x|r|d|w|v|extra\n"          // 16 fields: first 15
        "N n|1|x|3|4|5|6|7|8|9|10|11|12|13|14|15|16|17\n"  // 18 fields, temperature not a number
        "N n|300|4185|3|4|5|6|7|8|9|10|11|12|13|14|15|16|17|3685|junk\n"
        "N too|few\n"
        "D product_serial\n"
        "D other_key|zzz\n"
        "Q unknown tag\n"
        "A\n"
        "x\n");
    ASSERT_EQ(d.memory.size(), 1u);
    EXPECT_EQ(d.memory[0].size_bytes, 2u);
    EXPECT_EQ(d.memory[0].voltage, "v");
    ASSERT_EQ(d.nvme.size(), 2u);
    EXPECT_EQ(d.nvme[0].temperature_c, -999.0);
    EXPECT_TRUE(d.nvme[0].sensors_c.empty());
    EXPECT_EQ(d.nvme[0].critical_temp_minutes, 17u);
    EXPECT_EQ(d.nvme[1].critical_warning, 44);  // low 8 bits of 300
    EXPECT_DOUBLE_EQ(d.nvme[1].temperature_c, 41.85);
    EXPECT_EQ(d.nvme[1].sensors_c, (std::vector<double>{36.85, 0.0}));
    EXPECT_EQ(d.product_serial, "");
    EXPECT_EQ(d.num_slots, "");
}

TEST(RootDataText, SecondParseKeepsIdentityButReplacesLists) {
    RootData d;
    d.parse(
        "V 1\nD product_serial|S1\nA 4096|8\nE first\nM a|b|1||||||||||||\nN "
        "n|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0\n");
    EXPECT_TRUE(d.parse("V 1\nA 2048\n"));  // the product serial from before still counts
    EXPECT_EQ(d.product_serial, "S1");
    EXPECT_EQ(d.max_capacity, 2048u);
    EXPECT_EQ(d.num_slots, "8");
    EXPECT_TRUE(d.memory.empty());
    EXPECT_TRUE(d.nvme.empty());
    EXPECT_EQ(d.error, "");
}

TEST(RootDataText, EscapesAndUnknownEscapes) {
    RootData d;
    d.parse("V 1\nD product_serial|a\\pb\\nc\\\\d\\x\\\nD board_serial|trailing\\\nE e\\|f\n");
    EXPECT_EQ(d.product_serial, "a|b\nc\\d\\x\\");
    EXPECT_EQ(d.board_serial, "trailing\\");
    EXPECT_EQ(d.error, "e\\|f");  // the error body is not split
    RootData back;
    back.parse(d.serialize());
    EXPECT_EQ(back.product_serial, d.product_serial);
    EXPECT_EQ(back.board_serial, d.board_serial);
}

TEST(RootDataText, TemperatureTruncatesTowardZeroAndClamps) {
    RootData d;
    NvmeHealth h;
    h.sensors_c = {std::nan(""), std::numeric_limits<double>::infinity(), -1e300, 1e17, -999.0};
    d.nvme.push_back(h);
    std::string text = d.serialize();
    EXPECT_NE(text.find("|0|-99900|9223372036854775807|-9223372036854775808|9223372036854775807|-99900\n"),
              std::string::npos)
        << text;
}

// ---- Untrusted text ------------------------------------------------------------

TEST(RootDataText, InvalidUtf8InFieldsBecomesReplacementCharacters) {
    RootData d;
    d.parse(
        "V 1\nD product_serial|\xFF"
        "AB\xC3\nD board_serial|caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\n"
        "E \xED\xA0\x80\n"                             // an encoded surrogate
        "M \xC0\xAF|\xF4\x90\x80\x80|1||||||||||||\n"  // overlong "/" and a value beyond U+10FFFF
        "N nv\xFEme|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0|0\n");
    EXPECT_EQ(d.product_serial,
              "\xEF\xBF\xBD"
              "AB\xEF\xBF\xBD");
    EXPECT_EQ(d.board_serial, "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");  // valid text unchanged
    EXPECT_EQ(d.error, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    ASSERT_EQ(d.memory.size(), 1u);
    EXPECT_EQ(d.memory[0].locator, "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(d.memory[0].bank, "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    ASSERT_EQ(d.nvme.size(), 1u);
    EXPECT_EQ(d.nvme[0].node, "nv\xEF\xBF\xBDme");
    EXPECT_TRUE(is_valid_utf8(d.serialize()));
}

// ---- Round trip of random records ---------------------------------------------

// Pieces of which random strings are made, each with what the record keeps of
// it: invalid bytes that cannot join a neighbour become U+FFFD.
const std::pair<const char*, const char*> PIECES[] = {
    {"a", "a"},
    {"Z9", "Z9"},
    {"|", "|"},
    {"\\", "\\"},
    {"\\p", "\\p"},
    {"\n", "\n"},
    {"\r", "\r"},
    {"\t", "\t"},
    {" ", " "},
    {"\xC3\xA9", "\xC3\xA9"},
    {"\xE2\x82\xAC", "\xE2\x82\xAC"},
    {"\xF0\x9F\x98\x80", "\xF0\x9F\x98\x80"},
    {"\xFF", "\xEF\xBF\xBD"},
    {"\x80", "\xEF\xBF\xBD"},
    {"\xC0", "\xEF\xBF\xBD"},
    {"\xFE", "\xEF\xBF\xBD"},
};

struct Gen {
    std::mt19937_64 rng{20261208};
    uint64_t u64() {
        switch (rng() % 4) {
            case 0:
                return 0;
            case 1:
                return std::numeric_limits<uint64_t>::max();
            case 2:
                return rng() % 1000;
            default:
                return rng();
        }
    }
    uint8_t u8() { return static_cast<uint8_t>(rng()); }
    // Quarters of a degree survive the hundredths form exactly.
    double temp() {
        return rng() % 8 == 0 ? -999.0 : static_cast<double>(static_cast<int>(rng() % 2000) - 1000) / 4.0;
    }
    std::pair<std::string, std::string> str() {
        std::pair<std::string, std::string> s;
        for (size_t n = rng() % 12; n > 0; --n) {
            const auto& p = PIECES[rng() % std::size(PIECES)];
            s.first += p.first;
            s.second += p.second;
        }
        return s;
    }
};

TEST(RootDataText, RandomRecordsRoundTrip) {
    Gen g;
    for (int round = 0; round < 300; ++round) {
        RootData in, expected;
        auto set = [&](std::string& a, std::string& b) { std::tie(a, b) = g.str(); };
        set(in.error, expected.error);
        set(in.product_serial, expected.product_serial);
        set(in.product_uuid, expected.product_uuid);
        set(in.board_serial, expected.board_serial);
        set(in.chassis_serial, expected.chassis_serial);
        set(in.num_slots, expected.num_slots);
        in.max_capacity = expected.max_capacity = g.u64();
        for (size_t n = g.rng() % 5; n > 0; --n) {
            MemoryModule a, b;
            for (auto [x, y] : {std::pair{&a.locator, &b.locator},
                                {&a.bank, &b.bank},
                                {&a.type, &b.type},
                                {&a.form_factor, &b.form_factor},
                                {&a.speed, &b.speed},
                                {&a.configured_speed, &b.configured_speed},
                                {&a.manufacturer, &b.manufacturer},
                                {&a.part_number, &b.part_number},
                                {&a.serial, &b.serial},
                                {&a.asset_tag, &b.asset_tag},
                                {&a.rank, &b.rank},
                                {&a.data_width, &b.data_width},
                                {&a.total_width, &b.total_width},
                                {&a.voltage, &b.voltage}})
                set(*x, *y);
            a.size_bytes = b.size_bytes = g.u64();
            in.memory.push_back(a);
            expected.memory.push_back(b);
        }
        for (size_t n = g.rng() % 4; n > 0; --n) {
            NvmeHealth h;
            auto node = g.str();
            h.node = node.first;
            h.critical_warning = g.u8();
            h.temperature_c = g.temp();
            h.available_spare = g.u8();
            h.spare_threshold = g.u8();
            h.percentage_used = g.u8();
            for (uint64_t* c :
                 {&h.data_units_read, &h.data_units_written, &h.host_reads, &h.host_writes, &h.busy_minutes,
                  &h.power_cycles, &h.power_on_hours, &h.unsafe_shutdowns, &h.media_errors, &h.error_entries,
                  &h.warning_temp_minutes, &h.critical_temp_minutes})
                *c = g.u64();
            for (size_t k = g.rng() % 9; k > 0; --k) h.sensors_c.push_back(g.temp());
            in.nvme.push_back(h);
            h.node = node.second;
            expected.nvme.push_back(h);
        }
        std::string text = in.serialize();
        RootData out;
        out.parse(text);
        SCOPED_TRACE(text);
        expect_same(out, expected);
        EXPECT_EQ(out.serialize(), expected.serialize());
        EXPECT_EQ(std::count(text.begin(), text.end(), '\n'),
                  static_cast<long>(6 + !in.error.empty() + in.memory.size() + in.nvme.size()));
        if (HasFailure()) break;
    }
}

// ---- Hostile text ---------------------------------------------------------------

TEST(RootDataText, RandomTextNeverBreaksTheRecord) {
    std::mt19937 rng(8);
    const std::string tags = "VEDAMN";
    const std::string alphabet =
        std::string("0123456789-|\\pn \r\t\n\xFF\xC3\xA9\x80") + std::string(1, '\0');
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    for (int round = 0; round < 4000 && std::chrono::steady_clock::now() < until; ++round) {
        std::string text;
        for (size_t lines = rng() % 12; lines > 0; --lines) {
            if (rng() % 6 != 0) {
                text += tags[rng() % tags.size()];
                text += ' ';
            }
            if (rng() % 3 == 0) text += "product_serial|";
            for (size_t n = rng() % 60; n > 0; --n) text += alphabet[rng() % alphabet.size()];
            if (rng() % 8 != 0) text += '\n';
        }
        RootData d;
        bool ok = d.parse(text);
        EXPECT_EQ(ok, d.available);
        std::string out = d.serialize();
        EXPECT_TRUE(is_valid_utf8(out)) << text;
        // What the window reads back is what the text said (temperatures
        // aside: each pass through hundredths may lose one).
        RootData again;
        again.parse(out);
        ASSERT_EQ(again.memory.size(), d.memory.size());
        for (size_t i = 0; i < d.memory.size(); ++i) EXPECT_EQ(fields(again.memory[i]), fields(d.memory[i]));
        ASSERT_EQ(again.nvme.size(), d.nvme.size());
        for (size_t i = 0; i < d.nvme.size(); ++i) EXPECT_EQ(again.nvme[i].node, d.nvme[i].node);
        EXPECT_EQ(again.product_serial, d.product_serial);
        EXPECT_EQ(again.error, d.error);
        if (HasFailure()) break;
    }
}

}  // namespace
