// The monitor card over real EDIDs (checked against the decoder text beside
// each blob), hand-made blocks for the edge cases, and hostile bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "fixture.h"
#include "i18n.h"
#include "probe_gpu.h"
#include "util.h"

namespace {

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        I18n::instance().set_language("en");
        util::set_number_format(".", ",");
    }
    void TearDown() override { util::set_number_format(",", "."); }

    // The card for a connector whose edid file holds `bytes`.
    probe::Card card_for(const std::string& bytes) {
        root.write("/sys/class/drm/card0-DP-1/edid", bytes);
        return probe::monitor_card("card0", {"DP-1", true, "1920x1080"});
    }
    zqtest::FixtureRoot root;
};

// Row value and extra by row-name key; "-" for a missing row.
struct Shown {
    std::map<std::string, std::pair<std::string, std::string>> rows;
    std::string value(const char* key) const {
        auto it = rows.find(tr(key));
        return it == rows.end() ? "-" : it->second.first;
    }
    std::string extra(const char* key) const {
        auto it = rows.find(tr(key));
        return it == rows.end() ? "-" : it->second.second;
    }
};

Shown shown(const probe::Card& card) {
    Shown s;
    for (const probe::Row& r : card.rows) s.rows[r.name] = {r.value, r.extra};
    return s;
}

std::string read_bytes(const std::string& path) { return zqtest::slurp(path); }

// The hex-text form: two hexadecimal digits per byte, blank-separated.
std::string from_hex_text(const std::string& text) {
    std::string out;
    std::istringstream in(text);
    std::string token;
    while (in >> token) out += static_cast<char>(std::stoul(token, nullptr, 16));
    return out;
}

// What the reference decoder says about block 0, for the fields the card shows.
struct Reference {
    std::string vendor, name, serial_text, version;
    long product = -1, serial = 0;
    int week = 0, year = 0, extensions = 0;
    int cm_w = 0, cm_h = 0, mm_w = 0, mm_h = 0;
    int h = 0, v = 0;
    double hz = 0;
};

Reference read_reference(const std::string& path) {
    Reference r;
    std::smatch m;
    static const std::regex dtd(R"(DTD \d+:\s+(\d+)x(\d+)i?\s+([\d.]+) Hz.*\((\d+) mm x (\d+) mm\))");
    static const std::regex quoted(R"('(.*)')");
    bool in_block0 = true;
    for (const std::string& line : util::split(zqtest::slurp(path), '\n')) {
        if (util::starts_with(line, "Checksum:")) in_block0 = false;
        auto after = [&](const char* label) {
            const size_t at = line.find(label);
            return at == std::string::npos ? std::string() : util::trim(line.substr(at + std::strlen(label)));
        };
        if (!after("Extension blocks:").empty()) r.extensions = std::stoi(after("Extension blocks:"));
        if (!in_block0) continue;
        if (!after("EDID Structure Version & Revision:").empty()) r.version = after("Revision:");
        if (util::starts_with(util::trim(line), "Manufacturer:")) r.vendor = after("Manufacturer:");
        if (util::starts_with(util::trim(line), "Model:")) r.product = std::stol(after("Model:"));
        if (util::starts_with(util::trim(line), "Serial Number:"))
            r.serial = std::stol(after("Serial Number:"));
        if (std::sscanf(util::trim(line).c_str(), "Made in: week %d of %d", &r.week, &r.year) == 2) continue;
        if (std::sscanf(util::trim(line).c_str(), "Made in: %d", &r.year) == 1) continue;
        if (std::sscanf(util::trim(line).c_str(), "Model year: %d", &r.year) == 1) continue;
        std::sscanf(util::trim(line).c_str(), "Maximum image size: %d cm x %d cm", &r.cm_w, &r.cm_h);
        // The preferred mode is the first timing that is a mode at all.
        if (r.h == 0 && std::regex_search(line, m, dtd) && std::stoi(m[1]) >= 64 && std::stoi(m[2]) >= 64 &&
            std::stod(m[3]) >= 10) {
            r.h = std::stoi(m[1]);
            r.v = std::stoi(m[2]);
            r.hz = std::stod(m[3]);
            r.mm_w = std::stoi(m[4]);
            r.mm_h = std::stoi(m[5]);
        }
        if (line.find("Display Product Name:") != std::string::npos && std::regex_search(line, m, quoted))
            r.name = m[1];
        if (line.find("Display Product Serial Number:") != std::string::npos &&
            std::regex_search(line, m, quoted))
            r.serial_text = m[1];
    }
    return r;
}

// The millimetre size of the first timing stands only where the centimetre
// size is missing or agrees with it within a tenth.
std::string expected_diagonal(const Reference& r) {
    const bool cm = r.cm_w != 0 && r.cm_h != 0;
    auto near = [](int mm, int cm10) { return std::abs(mm - cm10) * 10 <= cm10; };
    int w = r.cm_w * 10, h = r.cm_h * 10;
    if (r.mm_w && r.mm_h && (!cm || (near(r.mm_w, w) && near(r.mm_h, h)))) w = r.mm_w, h = r.mm_h;
    if (!w || !h) return "-";
    return util::fmt_double(std::sqrt(double(w) * w + double(h) * h) / 25.4, 1) + "\"";
}

TEST_F(Monitor, EveryRealEdidShowsWhatTheReferenceDecoderSays) {
    const std::string dir = zqtest::shared_data("edid");
    if (dir.empty()) GTEST_SKIP() << "no shared EDID data";
    int checked = 0;
    for (const char* sub : {"", "/hex"}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir + sub)) {
            const std::string path = entry.path().string();
            if (!util::ends_with(path, ".edid-decode.txt")) continue;
            const bool hex = *sub != '\0';
            const std::string blob =
                path.substr(0, path.size() - std::strlen(".edid-decode.txt")) + (hex ? ".test" : "");
            SCOPED_TRACE(blob);
            const std::string bytes = hex ? from_hex_text(read_bytes(blob)) : read_bytes(blob);
            const Reference r = read_reference(path);
            const Shown s = shown(card_for(bytes));
            EXPECT_EQ(s.value("f.model"), r.name.empty() ? "-" : r.name);
            EXPECT_EQ(s.value("f.manufacturer"), r.vendor);
            EXPECT_EQ(s.value("f.product_id"), util::to_hex(static_cast<uint32_t>(r.product), 4));
            const std::string serial = !r.serial_text.empty() ? r.serial_text
                                       : r.serial != 0        ? util::fmt_int(r.serial)
                                                              : "-";
            EXPECT_EQ(s.value("f.serial"), serial);
            EXPECT_EQ(s.value("f.date"), r.year ? std::to_string(r.year) : "-");
            if (r.year) {
                EXPECT_EQ(s.extra("f.date"), r.week ? "week " + std::to_string(r.week) : "");
            }
            if (r.h) {
                EXPECT_EQ(s.value("f.screen_size"), util::fmt_int(r.h) + " \u00d7 " + util::fmt_int(r.v));
                EXPECT_EQ(s.extra("f.screen_size"), util::fmt_double(r.hz, 0) + " Hz");
            } else {
                EXPECT_EQ(s.value("f.screen_size"), "-");
            }
            EXPECT_EQ(s.value("f.physical_size"), expected_diagonal(r));
            EXPECT_EQ(s.value("f.edid_version"), r.version);
            EXPECT_EQ(s.value("f.edid_size"), util::fmt_int(bytes.size()) + " B");
            EXPECT_EQ(s.extra("f.edid_size"),
                      r.extensions ? std::to_string(r.extensions) + " \u00d7 128 B" : "");
            ++checked;
        }
    }
    EXPECT_GE(checked, 40);
    // The TV that declares 160 x 90 mm in its first timing keeps its 40 inches.
    const Shown tv = shown(card_for(read_bytes(dir + "/samsung-ue40d8000yu-hmdi")));
    EXPECT_EQ(tv.value("f.physical_size"), "40.2\"");
    EXPECT_EQ(tv.extra("f.physical_size"), "890 \u00d7 500 mm");
}

// A valid base block to start each edge case from: header, zero elsewhere.
std::string block() {
    std::string b(128, '\0');
    const unsigned char header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    for (int i = 0; i < 8; ++i) b[i] = static_cast<char>(header[i]);
    b[18] = 1;
    b[19] = 3;
    return b;
}

void descriptor(std::string& b, size_t at, int tag, const std::string& text) {
    b[at] = b[at + 1] = b[at + 2] = b[at + 4] = 0;
    b[at + 3] = static_cast<char>(tag);
    for (size_t i = 0; i < 13; ++i) b[at + 5 + i] = i < text.size() ? text[i] : ' ';
}

struct Timing {
    int clock, h, h_blank, v, v_blank, w_mm, h_mm;  // clock in 10 kHz units
};

// A detailed timing at `at`; each pair of 12-bit sizes shares a byte of high nibbles.
void timing(std::string& b, size_t at, const Timing& t) {
    const int low[18] = {t.clock, t.clock >> 8, t.h,    t.h_blank, 0, t.v, t.v_blank, 0, 0, 0, 0,
                         0,       t.w_mm,       t.h_mm, 0,         0, 0,   0x18};
    for (size_t i = 0; i < 18; ++i) b[at + i] = static_cast<char>(low[i] & 0xFF);
    for (size_t i : {2, 5, 12}) b[at + i + 2] = static_cast<char>((low[i] >> 8) << 4 | low[i + 1] >> 8);
}

// Timings firmware leaves in a slot that are no mode give neither resolution
// nor millimetres; a later timing that is a mode is the preferred one.
TEST_F(Monitor, TimingsThatAreNoModeAreSkipped) {
    const Timing junk[] = {
        {1, 1, 15, 1, 15, 1, 257},              // 1 x 1 at 39 Hz
        {114, 1280, 160, 768, 22, 477, 268},    // 1 Hz
        {1, 1600, 160, 2560, 40, 600, 340},     // 0 Hz
        {14850, 63, 2137, 1080, 45, 600, 340},  // 63 pixels wide at 60 Hz
        {2450, 1920, 280, 1080, 45, 600, 340},  // 9.9 Hz
    };
    for (const Timing& t : junk) {
        SCOPED_TRACE(std::to_string(t.h) + "x" + std::to_string(t.v));
        std::string b = block();
        timing(b, 54, t);
        Shown s = shown(card_for(b));
        EXPECT_EQ(s.value("f.screen_size"), "-");
        EXPECT_EQ(s.value("f.physical_size"), "-");  // no centimetres in this block either
        b[21] = 60;
        b[22] = 34;
        timing(b, 72, {14850, 1920, 280, 1080, 45, 597, 336});
        s = shown(card_for(b));
        EXPECT_EQ(s.value("f.screen_size"), "1,920 \u00d7 1,080");
        EXPECT_EQ(s.extra("f.screen_size"), "60 Hz");
        EXPECT_EQ(s.extra("f.physical_size"), "597 \u00d7 336 mm");
    }
    std::string b = block();
    timing(b, 54, {10, 64, 36, 64, 36, 0, 0});  // the smallest mode at the lowest rate
    EXPECT_EQ(shown(card_for(b)).extra("f.screen_size"), "10 Hz");
}

TEST_F(Monitor, HostileBytesGiveAQuietCard) {
    // Too short, wrong header, nothing at all: only the hint.
    for (const std::string& bytes : {block().substr(0, 127), std::string(), std::string(128, '\xFF')}) {
        probe::Card c = card_for(bytes);
        EXPECT_TRUE(c.rows.empty());
        EXPECT_EQ(c.hint, tr("msg.no_edid"));
        EXPECT_EQ(c.subtitle, "DP-1");
    }
    EXPECT_EQ(probe::edid_vendor(0, 0), "");
    EXPECT_EQ(probe::edid_vendor(0xFF, 0xFF), "");  // 31 is past Z

    // Descriptor texts of control and high bytes: printable ASCII up to the end mark only.
    std::string b = block();
    b[127] = 0x55;  // a wrong checksum is not tested
    descriptor(b, 54, 0xFC, std::string("\x01Mon\xC3\x28itor\0XYZ", 13));
    descriptor(b, 72, 0xFF,
               std::string("\xFF\xFE\x0A"
                           "after",
                           8));
    Shown s = shown(card_for(b));
    EXPECT_EQ(s.value("f.model"), "Mon(itor");
    EXPECT_EQ(s.value("f.serial"), "-");

    // Random blocks behind a valid header: every text valid UTF-8, no sizes out of the byte ranges.
    std::mt19937 rng(18);
    for (int round = 0; round < 2000; ++round) {
        std::string r = block();
        const size_t size = 128 + (rng() % 3) * 64;
        r.resize(size);
        for (size_t i = 8; i < size; ++i) r[i] = static_cast<char>(rng());
        const probe::Edid e = probe::parse_edid(r);
        ASSERT_TRUE(e.ok);
        EXPECT_LE(e.name.size(), 13u);
        EXPECT_LE(e.h_active, 4095);
        EXPECT_LE(e.v_active, 2 * 4095);
        for (const probe::Row& row : card_for(r).rows)
            EXPECT_TRUE(util::is_valid_utf8(row.value)) << row.value;
        for (size_t cut : {size_t(0), size_t(7), size_t(64), size_t(127)})
            EXPECT_FALSE(probe::parse_edid(r.substr(0, cut)).ok);
    }
}

}  // namespace
