// The card drawings painted onto image surfaces at fixed sizes and checked at
// the pixels that carry meaning: chip lines, light colours, bar fills, tile
// bars and the nesting of the topology diagram.
#include <gtest/gtest.h>
#include <pango/pangocairo.h>

#include <cmath>
#include <string>
#include <vector>

#include "cards_detail.h"
#include "fixture.h"
#include "i18n.h"
#include "load.h"
#include "probe.h"
#include "theme.h"
#include "util.h"

namespace {

using namespace ui::detail;

// An image surface that a drawing paints on, with pixel read-back.
class Canvas {
public:
    Canvas(int w, int h)
        : m_surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h)), m_cr(cairo_create(m_surface)) {
        PangoLayout* l = pango_cairo_create_layout(m_cr);
        m_layout = l;
    }
    ~Canvas() {
        g_object_unref(m_layout);
        cairo_destroy(m_cr);
        cairo_surface_destroy(m_surface);
    }
    cairo_t* cr() { return m_cr; }
    PangoLayout* layout() { return m_layout; }
    // Colour of a pixel, un-premultiplied; alpha 0 for untouched pixels.
    Rgb at(int x, int y, double* alpha = nullptr) {
        cairo_surface_flush(m_surface);
        const unsigned char* data = cairo_image_surface_get_data(m_surface);
        int stride = cairo_image_surface_get_stride(m_surface);
        uint32_t px = *reinterpret_cast<const uint32_t*>(data + y * stride + x * 4);
        double a = ((px >> 24) & 0xFF) / 255.0;
        if (alpha) *alpha = a;
        if (a == 0) return Rgb{};
        return Rgb{((px >> 16) & 0xFF) / 255.0 / a, ((px >> 8) & 0xFF) / 255.0 / a, (px & 0xFF) / 255.0 / a};
    }
    bool blank(int x, int y) {
        double a = 0;
        at(x, y, &a);
        return a == 0;
    }
    // Whether any painted pixel lies in the rectangle.
    bool any_ink(int x0, int y0, int x1, int y1) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x)
                if (!blank(x, y)) return true;
        return false;
    }
    // Whether something clearly different from `ground` (text, a mark) is
    // painted in the rectangle.
    bool has_mark(int x0, int y0, int x1, int y1, const Rgb& ground) {
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) {
                Rgb c = at(x, y);
                if (std::fabs(c.r - ground.r) + std::fabs(c.g - ground.g) + std::fabs(c.b - ground.b) > 0.45)
                    return true;
            }
        return false;
    }
    void save(const std::string& path) { cairo_surface_write_to_png(m_surface, path.c_str()); }

private:
    cairo_surface_t* m_surface;
    cairo_t* m_cr;
    PangoLayout* m_layout;
};

::testing::AssertionResult near(const Rgb& got, const Rgb& want, double tol = 2.5 / 255) {
    if (std::fabs(got.r - want.r) <= tol && std::fabs(got.g - want.g) <= tol &&
        std::fabs(got.b - want.b) <= tol)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "got " << rgb_to_hex(got) << " want " << rgb_to_hex(want);
}

// Colours painted at alpha over the colour beneath.
Rgb over(const Rgb& fg, const Rgb& bg, double alpha) { return mix(fg, bg, alpha); }

ui::Context context(bool dark = false) {
    ui::Context ctx;
    ctx.palette = dark ? Palette::dark_() : Palette::light();
    return ctx;
}

// A sampler whose CPUs show the given loads; a negative load leaves that CPU
// without a value (its counters do not advance).
class Loads {
public:
    explicit Loads(const std::vector<double>& loads) {
        m_root.write("/proc/stat", stat_text(loads, false));
        m_load.sample();
        m_root.write("/proc/stat", stat_text(loads, true));
        m_load.sample();
    }
    const load::CpuLoad* get() const { return &m_load; }

private:
    static std::string stat_text(const std::vector<double>& loads, bool second) {
        std::string all = "cpu  0 0 0 0 0 0 0 0 0 0\n", lines;
        for (size_t i = 0; i < loads.size(); ++i) {
            int busy = 1000, idle = 1000;
            if (second && loads[i] >= 0) {
                busy += static_cast<int>(std::lround(loads[i] * 1000));
                idle += 1000 - static_cast<int>(std::lround(loads[i] * 1000));
            }
            lines += "cpu" + std::to_string(i) + " " + std::to_string(busy) + " 0 0 " + std::to_string(idle) +
                     " 0 0 0 0 0 0\n";
        }
        return all + lines + "intr 0\n";
    }
    zqtest::FixtureRoot m_root;
    load::CpuLoad m_load;
};

// ---- Toolkit ---------------------------------------------------------------------

TEST(DrawToolkit, LoadRampRunsLowMidHigh) {
    Palette p = Palette::light();
    EXPECT_TRUE(near(load_color(p, -1), col(p.load_low)));
    EXPECT_TRUE(near(load_color(p, 0), col(p.load_low)));
    EXPECT_TRUE(near(load_color(p, 0.25), mix(col(p.load_mid), col(p.load_low), 0.5)));
    EXPECT_TRUE(near(load_color(p, 0.5), col(p.load_mid)));
    EXPECT_TRUE(near(load_color(p, 1.0), col(p.load_high)));
    EXPECT_TRUE(near(load_color(p, 2.0), col(p.load_high)));
    p.load_high = "garbage";
    EXPECT_TRUE(near(load_color(p, 1.0), Rgb{0.5, 0.5, 0.5}));
}

// ---- Chips ---------------------------------------------------------------------------

probe::Card chips_card(const std::vector<std::string>& labels) {
    probe::Card c;
    c.kind = probe::CardKind::Chips;
    for (const auto& l : labels) c.chips.push_back({l, "note"});
    return c;
}

TEST(Chips, RowsWrapAndAnOversizedChipStandsAlone) {
    Canvas cv(300, 200);
    probe::Card card =
        chips_card({"SSE4.2", "AVX2", "AES-NI", "A very long feature name that never fits", "SHA"});
    double width = 200;
    double total = 0;
    std::vector<ChipBox> boxes = layout_chips(card, cv.layout(), width, &total);
    ASSERT_EQ(boxes.size(), 5u);
    EXPECT_EQ(boxes[0].x, 0);
    EXPECT_EQ(boxes[0].h, 22);
    EXPECT_DOUBLE_EQ(boxes[1].x, boxes[0].w + 5);
    // Every chip either continues its line or starts a new one 27 px lower at x 0.
    for (size_t i = 1; i < boxes.size(); ++i) {
        if (boxes[i].y == boxes[i - 1].y) {
            EXPECT_DOUBLE_EQ(boxes[i].x, boxes[i - 1].x + boxes[i - 1].w + 5);
        } else {
            EXPECT_EQ(boxes[i].y, boxes[i - 1].y + 27);
            EXPECT_EQ(boxes[i].x, 0);
            EXPECT_GT(boxes[i - 1].x + boxes[i - 1].w + 5 + boxes[i].w, width);
        }
    }
    const ChipBox& big = boxes[3];
    EXPECT_EQ(big.x, 0);
    EXPECT_GT(big.w, width);  // not cut
    EXPECT_GT(boxes[4].y, big.y);
    EXPECT_DOUBLE_EQ(total, boxes[4].y + 22);
    EXPECT_EQ(drawing_height(DrawKind::Chips, card, cv.layout(), width), static_cast<int>(total));

    ui::Context ctx = context();
    draw_chips(cv.cr(), card, ctx, width);
    Rgb fill = mix(col(ctx.palette.text), col(ctx.palette.panel), 0.06);
    EXPECT_TRUE(near(cv.at(static_cast<int>(boxes[0].x + 4), 11), fill));
    EXPECT_TRUE(cv.blank(static_cast<int>(boxes[0].w + 2), 11));  // the gap between chips
    EXPECT_TRUE(cv.blank(5, 24));                                 // the gap between lines
    EXPECT_TRUE(
        cv.any_ink(static_cast<int>(boxes[0].x) + 9, 3, static_cast<int>(boxes[0].x + boxes[0].w) - 9, 19));

    Canvas none(50, 50);
    double empty_h = 0;
    EXPECT_TRUE(layout_chips(chips_card({}), none.layout(), 100, &empty_h).empty());
    EXPECT_EQ(empty_h, 22);
}

// ---- Vulnerability lights ---------------------------------------------------------------

TEST(VulnLights, StateColoursFollowTheValue) {
    probe::Card card;
    card.kind = probe::CardKind::Vulns;
    const std::vector<std::pair<std::string, int>> rows = {
        {"Not affected", 0},
        {"NOT AFFECTED (firmware)", 0},
        {"Vulnerable", 2},
        {"Mitigation: PTI", 1},
        {"", 1},
        {"Mitigation: Clear buffers; SMT vulnerable", 2},
    };
    for (const auto& [value, state] : rows)
        card.rows.push_back(probe::Row("Meltdown", value, "", false, "", ""));
    Canvas cv(400, 21 * 6);
    ui::Context ctx = context(true);
    draw_vulns(cv.cr(), card, ctx, 400);
    const Rgb lights[3] = {col(ctx.palette.load_low), col(ctx.palette.load_mid), col(ctx.palette.load_high)};
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(vuln_state(rows[i].first), rows[i].second) << rows[i].first;
        EXPECT_TRUE(near(cv.at(5, static_cast<int>(21 * i + 10)), lights[rows[i].second])) << rows[i].first;
    }
    EXPECT_EQ(drawing_height(DrawKind::Vulns, card, cv.layout(), 400), 21 * 6);
}

// The builder translates the kernel's status words; the lights follow the
// translated texts as well.
TEST(VulnLights, TranslatedStatesKeepTheirColours) {
    zqtest::FixtureRoot root;
    const std::string dir = "/sys/devices/system/cpu/vulnerabilities/";
    root.write(dir + "meltdown", "Not affected\n");
    root.write(dir + "mds", "Vulnerable: Clear CPU buffers attempted, no microcode\n");
    root.write(dir + "spectre_v1", "Mitigation: usercopy/swapgs barriers\n");
    root.write(dir + "srbds", "Vulnerable\n");
    // natural order of the file names
    const int want[] = {2, 0, 1, 2};
    for (const char* lang : {"de", "ar"}) {
        SCOPED_TRACE(lang);
        I18n::instance().set_language(lang);
        probe::Page page = probe::collect_cpu(-1);
        const probe::Card* card = nullptr;
        for (const probe::Card& c : page.cards)
            if (c.kind == probe::CardKind::Vulns) card = &c;
        ASSERT_TRUE(card);
        ASSERT_EQ(card->rows.size(), 4u);
        EXPECT_EQ(card->rows[1].value, tr("vuln.not_affected"));
        Canvas cv(400, 21 * 4);
        ui::Context ctx = context(false);
        draw_vulns(cv.cr(), *card, ctx, 400);
        const Rgb lights[3] = {col(ctx.palette.load_low), col(ctx.palette.load_mid),
                               col(ctx.palette.load_high)};
        for (size_t i = 0; i < 4; ++i)
            EXPECT_TRUE(near(cv.at(5, static_cast<int>(21 * i + 10)), lights[want[i]]))
                << card->rows[i].value;
    }
    I18n::instance().set_language("en");
}

TEST(VulnLights, ValueLeftOutWhenTheNameLeavesNoRoom) {
    probe::Card card;
    card.rows.push_back(probe::Row("Spectre v2", "Mitigation: Retpolines", "", false, "", ""));
    Canvas probe_cv(10, 10);
    double name_w = text_width(probe_cv.layout(), ui_font(9, false), "Spectre v2");
    int vx = static_cast<int>(name_w) + 28;
    ui::Context ctx = context();
    {
        Canvas cv(vx + 40, 21);
        draw_vulns(cv.cr(), card, ctx, vx + 40);
        EXPECT_FALSE(cv.any_ink(vx, 0, vx + 40, 21));
    }
    {
        Canvas cv(vx + 60, 21);
        draw_vulns(cv.cr(), card, ctx, vx + 60);
        EXPECT_TRUE(cv.any_ink(vx, 0, vx + 60, 21));
    }
}

TEST(VulnLights, RightToLeftValueStillStartsAfterTheName) {
    probe::Card card;
    card.rows.push_back(probe::Row("Meltdown", "غير متأثر", "", false, "", ""));
    Canvas cv(400, 21);
    double vx = text_width(cv.layout(), ui_font(9, false), "Meltdown") + 28;
    draw_vulns(cv.cr(), card, context(), 400);
    EXPECT_TRUE(cv.any_ink(static_cast<int>(vx), 0, static_cast<int>(vx) + 30, 21));
    EXPECT_FALSE(cv.any_ink(300, 0, 400, 21));
}

// ---- Cache bars ------------------------------------------------------------------------

TEST(CacheBars, FillsScaleByRootAndNotesNameTheBlocks) {
    probe::Card card;
    card.kind = probe::CardKind::Caches;
    probe::CacheBar l1{1, "L1d", "Data", 8 * 32768, std::vector<uint64_t>(8, 32768), "8", "64", ""};
    probe::CacheBar l2{2, "L2", "Unified", 1 << 20, {1 << 20}, "", "", "CPUs 0-1"};
    probe::CacheBar l3{3, "L3", "Unified", 48ull << 20, {32ull << 20, 16ull << 20}, "16", "", ""};
    probe::CacheBar tiny{0, "L0", "", 16, {16}, "", "", ""};
    card.caches = {l1, l2, l3, tiny};

    EXPECT_EQ(cache_note(l1), util::fmt_int(8) + " × " + util::fmt_bytes(32768) + ", 8-way, 64 B");
    EXPECT_EQ(cache_note(l2), "CPUs 0-1");
    EXPECT_EQ(cache_note(l3),
              util::fmt_bytes(32ull << 20) + " + " + util::fmt_bytes(16ull << 20) + ", 16-way");
    EXPECT_EQ(cache_note(tiny), "");

    const int width = 420;
    Canvas cv(width, 34 * 4);
    ui::Context ctx = context();
    draw_caches(cv.cr(), card, ctx, width);
    EXPECT_EQ(drawing_height(DrawKind::Caches, card, cv.layout(), width), 34 * 4);

    const Palette& p = ctx.palette;
    Rgb track = mix(col(p.text), col(p.panel), 0.1);
    Rgb fill = over(col(p.accent), track, 0.85);
    double bw = width - 34 - 78 - 8;
    auto check_bar = [&](int row, double share) {
        int y = 34 * row + 9;
        int end = 34 + static_cast<int>(std::max(4.0, share * bw));
        EXPECT_TRUE(near(cv.at(36, y), fill)) << row;
        EXPECT_TRUE(near(cv.at(end - 3, y), fill)) << row;
        EXPECT_TRUE(near(cv.at(end + 3, y), track)) << row;
    };
    check_bar(0, std::sqrt(8.0 * 32768 / (48 << 20)));
    check_bar(1, std::sqrt(1.0 / 48));
    // The largest level fills its whole track.
    EXPECT_TRUE(near(cv.at(34 + static_cast<int>(bw) - 5, 34 * 2 + 9), fill));
    // A tiny cache still shows its 4 px.
    EXPECT_TRUE(near(cv.at(35, 34 * 3 + 9), fill));
    EXPECT_TRUE(near(cv.at(42, 34 * 3 + 9), track));
    // The note line sits under the bar.
    EXPECT_TRUE(cv.any_ink(34, 18, width, 32));
    EXPECT_FALSE(cv.any_ink(34, 34 * 3 + 18, width, 34 * 3 + 32));
}

TEST(CacheBars, NothingDrawnWithoutSizes) {
    probe::Card card;
    card.caches.push_back(probe::CacheBar{1, "L1", "", 0, {}, "", "", ""});
    Canvas cv(200, 34);
    draw_caches(cv.cr(), card, context(), 200);
    EXPECT_FALSE(cv.any_ink(0, 0, 200, 34));
}

// ---- Usage bars --------------------------------------------------------------------------

TEST(UsageBars, FillToTheirShareInTheRampColour) {
    probe::Card card;
    card.kind = probe::CardKind::Usage;
    card.usage = {{"Root", 1ull << 30, 4ull << 30, ""},
                  {"Hidden", 1, 0, ""},
                  {"Full", 9ull << 30, 8ull << 30, ""},
                  {"Empty", 0, 8ull << 30, ""}};
    const int width = 400;
    Canvas cv(width, 42 * 3);
    ui::Context ctx = context();
    ASSERT_EQ(drawing_height(DrawKind::Usage, card, cv.layout(), width), 42 * 3);
    draw_usage(cv.cr(), card, ctx, width);
    const Palette& p = ctx.palette;
    Rgb track = mix(col(p.text), col(p.panel), 0.1);
    // A quarter: the fill ends at 100 px.
    EXPECT_TRUE(near(cv.at(95, 24), over(load_color(p, 0.25), track, 0.9)));
    EXPECT_TRUE(near(cv.at(105, 24), track));
    // Over-full shows a full bar in the high colour; the hidden bar took no room.
    EXPECT_TRUE(near(cv.at(width - 6, 42 + 24), over(load_color(p, 1.0), track, 0.9)));
    // Nothing used still shows 3 px.
    EXPECT_TRUE(near(cv.at(1, 84 + 24), over(load_color(p, 0), track, 0.9)));
    EXPECT_TRUE(near(cv.at(6, 84 + 24), track));
}

TEST(UsageBars, NarrowWidthPutsFiguresOnTheirOwnLine) {
    probe::Card card;
    card.usage = {{"A rather long mount point label", 3ull << 30, 4ull << 30, ""}};
    const int width = 180;
    Canvas cv(width, 58);
    ASSERT_EQ(drawing_height(DrawKind::Usage, card, cv.layout(), width), 58);
    ui::Context ctx = context();
    draw_usage(cv.cr(), card, ctx, width);
    Rgb track = mix(col(ctx.palette.text), col(ctx.palette.panel), 0.1);
    EXPECT_TRUE(near(cv.at(width - 10, 34 + 6), track));
    EXPECT_TRUE(near(cv.at(10, 34 + 6), over(load_color(ctx.palette, 0.75), track, 0.9)));
    EXPECT_TRUE(cv.any_ink(0, 16, 60, 30));  // used / total on the second line
}

// ---- Core tiles ---------------------------------------------------------------------------

probe::Card cores_card(int packages, int per_package) {
    probe::Card c;
    c.kind = probe::CardKind::Cores;
    for (int p = 0; p < packages; ++p) {
        for (int i = 0; i < per_package; ++i) {
            probe::Core core;
            core.index = p * per_package + i;
            core.package = p;
            core.core_id = i;
            core.cur_khz = 3200000;
            c.cores.push_back(core);
        }
    }
    return c;
}

TEST(CoreTiles, LayoutColumnsHeightsAndTileSizes) {
    CoresLayout one = compute_cores_layout(cores_card(1, 16), 430);
    EXPECT_EQ(one.columns, 4);
    EXPECT_EQ(one.height, 226);
    EXPECT_EQ(one.tile_w, 96);

    EXPECT_EQ(compute_cores_layout(cores_card(2, 8), 430).height, 268);
    CoresLayout mid = compute_cores_layout(cores_card(1, 33), 430);
    EXPECT_EQ(mid.tile_w, 52);
    EXPECT_EQ(mid.tile_h, 38);
    CoresLayout many = compute_cores_layout(cores_card(1, 97), 430);
    EXPECT_EQ(many.tile_w, 30);
    EXPECT_EQ(many.tile_h, 28);
    EXPECT_EQ(compute_cores_layout(cores_card(1, 4), 20).columns, 1);
    EXPECT_EQ(compute_cores_layout(probe::Card{}, 430).height, 0);

    // SMT siblings stand side by side; an unknown package comes first.
    probe::Card smt;
    for (int i = 0; i < 4; ++i) {
        probe::Core c;
        c.index = i;
        c.package = i == 3 ? -1 : 0;
        c.core_id = i % 2 == 0 ? 0 : 1;
        smt.cores.push_back(c);
    }
    CoresLayout L = compute_cores_layout(smt, 430);
    ASSERT_EQ(L.packages, (std::vector<int>{-1, 0}));
    ASSERT_EQ(L.by_package[1].size(), 3u);
    EXPECT_EQ(L.by_package[1][0]->index, 0);
    EXPECT_EQ(L.by_package[1][1]->index, 2);
    EXPECT_EQ(L.by_package[1][2]->index, 1);
}

TEST(CoreTiles, BarsTakeLoadColoursAndOfflineTilesGreyOut) {
    Loads loads({0.0, 0.5, 1.0, -1, 0.25});
    probe::Card card = cores_card(1, 5);
    card.cores[3].online = false;
    card.cores[3].cur_khz = 0;
    ui::Context ctx = context();
    ctx.cpu_load = loads.get();
    const int width = 5 * 101;
    Canvas cv(width, 60);
    draw_cores(cv.cr(), card, ctx, width);

    const Palette& p = ctx.palette;
    Rgb text = col(p.text), panel = col(p.panel);
    Rgb tile = mix(text, panel, 0.07);
    Rgb track = mix(text, tile, 0.14);
    const int bar_y = 50 - 5 - 2 + 2;
    auto tile_x = [](int i) { return i * 101; };
    // Idle: the track only.
    EXPECT_TRUE(near(cv.at(tile_x(0) + 48, bar_y), track));
    // Half: the fill reaches the middle in the mid colour.
    EXPECT_TRUE(near(cv.at(tile_x(1) + 20, bar_y), load_color(p, 0.5)));
    EXPECT_TRUE(near(cv.at(tile_x(1) + 80, bar_y), track));
    EXPECT_TRUE(near(cv.at(tile_x(2) + 80, bar_y), col(p.load_high)));
    EXPECT_TRUE(near(cv.at(tile_x(4) + 10, bar_y), load_color(p, 0.25)));
    // Offline: greyed, no bar, "Offline" instead of a clock.
    EXPECT_TRUE(near(cv.at(tile_x(3) + 48, bar_y), over(col(p.dim), tile, 0.3)));
    EXPECT_TRUE(cv.any_ink(tile_x(3) + 5, 19, tile_x(3) + 60, 30));
    // The clock and load figure stand on the second line of a loaded tile.
    EXPECT_TRUE(cv.any_ink(tile_x(1) + 5, 19, tile_x(1) + 48, 32));
    EXPECT_TRUE(cv.any_ink(tile_x(1) + 60, 19, tile_x(1) + 91, 32));
    EXPECT_EQ(drawing_height(DrawKind::Cores, card, cv.layout(), width), 61);
}

TEST(CoreTiles, NoLoadYetMeansNoBarButAClock) {
    probe::Card card = cores_card(1, 1);
    ui::Context ctx = context();  // no sampler
    Canvas cv(96, 50);
    draw_cores(cv.cr(), card, ctx, 96);
    Rgb tile = mix(col(ctx.palette.text), col(ctx.palette.panel), 0.07);
    EXPECT_TRUE(near(cv.at(48, 45), tile));
    EXPECT_TRUE(cv.has_mark(5, 19, 60, 32, tile));
    EXPECT_FALSE(cv.has_mark(70, 19, 90, 32, tile));  // no load figure
}

// ---- Topology diagram ------------------------------------------------------------------------

probe::TopoNode node(probe::TopoNode::Kind kind, const std::string& label,
                     std::vector<probe::TopoNode> children = {}) {
    probe::TopoNode n;
    n.kind = kind;
    n.label = label;
    n.children = std::move(children);
    return n;
}

probe::TopoNode thread(int cpu, bool online = true) {
    probe::TopoNode t = node(probe::TopoNode::Kind::Thread, std::to_string(cpu));
    t.cpu = cpu;
    t.online = online;
    return t;
}

// Two sockets, each its own NUMA node, each an L3 with two cores of two threads.
probe::TopoNode two_socket_machine() {
    using K = probe::TopoNode::Kind;
    auto socket = [](int s) {
        auto core = [&](int c) {
            return node(K::Core, "Core " + std::to_string(c),
                        {thread(s * 2 + c), thread(4 + s * 2 + c, s == 0)});
        };
        probe::TopoNode cache = node(K::Cache, "L3", {core(0), core(1)});
        cache.detail = "32 MiB";
        probe::TopoNode pkg = node(K::Package, "Socket " + std::to_string(s), {cache});
        pkg.detail = "2 cores";
        return node(K::Numa, "Node " + std::to_string(s), {pkg});
    };
    return node(K::Machine, "Machine", {socket(0), socket(1)});
}

struct Placed {
    const probe::TopoNode* node;
    double x, y, w, h;
    int depth;
};

// Walks the diagram the way it is painted, collecting every box's place.
void place(const probe::TopoNode& n, const Metrics& m, double x, double y, double avail, PangoLayout* layout,
           int depth, std::vector<Placed>& out) {
    std::vector<Layout> scratch;
    Layout L = measure(n, m, avail, scratch, layout);
    out.push_back({&n, x, y, L.box.w, L.box.h, depth});
    double head = n.label.empty() || n.kind == probe::TopoNode::Kind::Thread ? 0 : m.title;
    for (size_t i = 0; i < n.children.size(); ++i) {
        place(n.children[i], m, x + m.pad + L.child_x[i], y + head + m.pad + L.child_y[i], L.child_box[i].w,
              layout, depth + 1, out);
    }
}

TEST(TopologyDiagram, MetricsFollowTheThreadCount) {
    EXPECT_EQ(metrics_for(8).thread_w, 32);
    EXPECT_EQ(metrics_for(64).thread_w, 32);
    EXPECT_EQ(metrics_for(65).thread_w, 24);
    EXPECT_EQ(metrics_for(256).thread_w, 24);
    EXPECT_EQ(metrics_for(257).thread_w, 14);
    EXPECT_EQ(metrics_for(768).thread_w, 14);
    EXPECT_EQ(metrics_for(769).thread_w, 8);
    EXPECT_EQ(count_threads(two_socket_machine()), 8);
    EXPECT_EQ(count_threads(node(probe::TopoNode::Kind::Core, "empty")), 0);
}

TEST(TopologyDiagram, BoxesNestInOrderAndThreadsTakeTheirLoad) {
    using K = probe::TopoNode::Kind;
    Loads loads({0.0, 0.5, 1.0, 0.25, 0.75, 0.1, -1, 0.9});
    probe::Card card;
    card.kind = probe::CardKind::Diagram;
    card.diagram = two_socket_machine();
    ui::Context ctx = context();
    ctx.cpu_load = loads.get();

    const int width = 700;
    Canvas sizing(10, 10);
    int height = drawing_height(DrawKind::Diagram, card, sizing.layout(), width);
    Canvas cv(width, height);
    draw_topology(cv.cr(), card, ctx, width);
    if (const char* dir = std::getenv("ZQ_SHOT_DIR")) cv.save(std::string(dir) + "/diagram.png");

    Metrics m = metrics_for(8);
    std::vector<Placed> boxes;
    place(card.diagram, m, 0, 0, width, cv.layout(), 0, boxes);
    ASSERT_EQ(boxes.size(), 1u + 2 * (1 + 1 + 1 + 2 + 4));
    EXPECT_EQ(static_cast<int>(boxes[0].h), height);

    const Palette& p = ctx.palette;
    Rgb text = col(p.text), panel = col(p.panel), accent = col(p.accent);
    const K order[] = {K::Machine, K::Numa, K::Package, K::Cache, K::Core, K::Thread};
    const Rgb fills[] = {mix(text, panel, 0.04), mix(accent, panel, 0.09), mix(accent, panel, 0.15),
                         mix(accent, panel, 0.22), mix(text, panel, 0.28)};
    std::vector<const Placed*> parents;
    for (const Placed& b : boxes) {
        parents.resize(b.depth);
        EXPECT_EQ(b.node->kind, order[b.depth]) << b.node->label;
        if (!parents.empty()) {
            const Placed& up = *parents.back();
            EXPECT_GE(b.x, up.x + m.pad) << b.node->label;
            EXPECT_LE(b.x + b.w, up.x + up.w - m.pad + 0.01) << b.node->label;
            EXPECT_GE(b.y, up.y + m.pad) << b.node->label;
            EXPECT_LE(b.y + b.h, up.y + up.h - m.pad + 0.01) << b.node->label;
        }
        parents.push_back(&b);
        // Inside a box's left margin only its own fill shows.
        int sx = static_cast<int>(b.x) + 2, sy = static_cast<int>(b.y + b.h) - 3;
        if (b.node->kind != K::Thread) {
            EXPECT_TRUE(near(cv.at(sx, sy), fills[b.depth])) << b.node->label;
            continue;
        }
        double lv = ctx.cpu_load->of(b.node->cpu);
        Rgb want = lv >= 0 && b.node->online ? mix(load_color(p, lv), panel, 0.25 + 0.55 * lv)
                                             : mix(text, panel, 0.18);
        EXPECT_TRUE(near(cv.at(sx + 1, sy), want)) << "cpu " << b.node->cpu;
        // The CPU number stands in the middle of its cell.
        EXPECT_TRUE(cv.has_mark(static_cast<int>(b.x) + 6, static_cast<int>(b.y) + 3,
                                static_cast<int>(b.x + b.w) - 6, static_cast<int>(b.y + b.h) - 3, want));
    }
}

TEST(TopologyDiagram, NarrowCardStacksThreadsAndBigMachinesDropNumbers) {
    using K = probe::TopoNode::Kind;
    probe::TopoNode core = node(K::Core, "", {thread(0), thread(1), thread(2)});
    probe::TopoNode root = node(K::Machine, "", {core});
    Metrics m = metrics_for(3);
    Canvas cv(10, 10);
    std::vector<Layout> out;
    Layout L = measure(root, m, 20, out, cv.layout());
    // One thread per row: three rows of 22 plus gaps, inside two unlabelled boxes.
    EXPECT_EQ(L.box.h, 3 * 22 + 2 * 4 + 2 * m.pad + 2 * m.pad);
    EXPECT_EQ(L.child_y[0], 0);  // no title line above an unlabelled box's children

    std::vector<probe::TopoNode> threads;
    for (int i = 0; i < 300; ++i) threads.push_back(thread(i));
    probe::Card card;
    card.diagram = node(K::Machine, "", {node(K::Core, "", threads)});
    Metrics big = metrics_for(300);
    EXPECT_EQ(big.thread_w, 14);
    int h = drawing_height(DrawKind::Diagram, card, cv.layout(), 600);
    Canvas wide(600, h);
    ui::Context ctx = context();
    draw_topology(wide.cr(), card, ctx, 600);
    // First thread cell: plain thread fill across the whole cell, no number.
    double cx = big.pad * 2, cy = big.pad * 2;
    Rgb plain = mix(col(ctx.palette.text), col(ctx.palette.panel), 0.18);
    for (int dx = 2; dx < 12; dx += 3)
        for (int dy = 2; dy < 10; dy += 3)
            EXPECT_TRUE(near(wide.at(static_cast<int>(cx) + dx, static_cast<int>(cy) + dy), plain));
}

TEST(TopologyDiagram, WideTitleWidensTheBoxUpToTheRoom) {
    using K = probe::TopoNode::Kind;
    probe::TopoNode pkg = node(K::Package, "A socket with a remarkably long descriptive title", {thread(0)});
    Metrics m = metrics_for(1);
    Canvas cv(10, 10);
    std::vector<Layout> out;
    double title = text_width(cv.layout(), ui_font(8, true), pkg.label);
    EXPECT_DOUBLE_EQ(measure(pkg, m, 1000, out, cv.layout()).box.w, title + 2 * m.pad);
    EXPECT_DOUBLE_EQ(measure(pkg, m, 120, out, cv.layout()).box.w, 120);
}

}  // namespace
