// The header band drawn into image surfaces: the history panel by width, the
// graph's colour from the palette, a flat load that still scrolls the graph,
// the cached layers and the animation step.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "header.h"
#include "theme.h"

namespace {

struct Pixel {
    int r = 0, g = 0, b = 0;
};

class Frame {
public:
    Frame(int w, int h) : m_w(w), m_h(h) {
        m_surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
        m_cr = cairo_create(m_surface);
    }
    ~Frame() {
        cairo_destroy(m_cr);
        cairo_surface_destroy(m_surface);
    }
    void draw(Header& header) {
        header.draw(m_cr, m_w, m_h, 1);
        cairo_surface_flush(m_surface);
    }
    Pixel at(int x, int y) const { return pixel_of(m_surface, x, y); }
    static Pixel pixel_of(cairo_surface_t* s, int x, int y) {
        cairo_surface_flush(s);
        const unsigned char* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
        uint32_t v;
        std::memcpy(&v, row + 4 * x, 4);
        return {int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)};
    }

private:
    int m_w, m_h;
    cairo_surface_t* m_surface;
    cairo_t* m_cr;
};

// Where the history panel lies at a width, as the band places it.
struct Panel {
    double x, y, w, h;
};
Panel panel_at(int width) {
    double w = std::min(0.3 * width, 300.0);
    return {width - w - 16, 10, w, Header::HEIGHT - 22.0};
}

bool is_panel_dark(const Pixel& p) { return p.r < 40 && p.g < 70 && p.b < 45; }

void fill_history(Header& h, double load, int samples) {
    for (int i = 0; i < samples; ++i) h.push_load(load);
}

TEST(HeaderDraw, HistoryPanelOnlyFromItsMinimumWidth) {
    const struct {
        int width;
        bool panel;
    } cases[] = {{500, false}, {533, false}, {534, true}, {1000, true}, {1600, true}};
    for (const auto& c : cases) {
        Header h;
        fill_history(h, 0.5, 40);
        Frame f(c.width, Header::HEIGHT);
        f.draw(h);
        Panel p = panel_at(c.width);
        // The upper middle of the panel: above the half-load graph, away from
        // its two texts.
        Pixel inside = f.at(static_cast<int>(p.x + p.w / 2), static_cast<int>(p.y + 17));
        EXPECT_EQ(is_panel_dark(inside), c.panel)
            << c.width << ": " << inside.r << "," << inside.g << "," << inside.b;
    }
    EXPECT_EQ(panel_at(1000).w, 300);
    EXPECT_EQ(panel_at(1600).w, 300);
}

TEST(HeaderDraw, GraphTakesTheLoadColoursOfThePalette) {
    Palette palette = Palette::light();
    palette.load_low = "#0000FF";
    palette.load_mid = "#00FF00";
    palette.load_high = "#FF0000";
    const struct {
        double glow;
        int channel;  // 0 red, 1 green, 2 blue: the one that must lead
    } cases[] = {{0.0, 2}, {0.5, 1}, {1.0, 0}, {1.7, 0}};
    for (const auto& c : cases) {
        Header h;
        h.set_palette(palette);
        fill_history(h, 1.0, 90);
        h.m_total_glow = c.glow;
        Frame f(1000, Header::HEIGHT);
        f.draw(h);
        Panel p = panel_at(1000);
        Pixel under = f.at(static_cast<int>(p.x + p.w / 2), static_cast<int>(p.y + p.h - 12));
        int v[3] = {under.r, under.g, under.b};
        for (int other = 0; other < 3; ++other)
            if (other != c.channel) {
                EXPECT_GT(v[c.channel], v[other] + 40) << c.glow << " channel " << other;
            }
    }
}

// At a flat load every tick still adds a sample, so the graph grows from the
// right edge leftwards until the panel is full.
TEST(HeaderDraw, FlatLoadStillScrolls) {
    for (double load : {0.0, 1.0}) {
        Header h;
        Panel p = panel_at(1000);
        double step = p.w / (Header::HISTORY - 1);
        for (int ticks = 1; ticks <= 100; ++ticks) {
            h.push_load(load);
            ASSERT_EQ(h.m_history.size(), std::min<size_t>(ticks, Header::HISTORY)) << load;
        }
        // Between the starts of a 20- and a 21-sample graph the full-load
        // fill appears with the 21st sample.
        Header grow;
        fill_history(grow, load, 20);
        Frame before(1000, Header::HEIGHT), after(1000, Header::HEIGHT);
        before.draw(grow);
        grow.push_load(load);
        after.draw(grow);
        int x = static_cast<int>(p.x + p.w - 19.5 * step);
        int y = static_cast<int>(p.y + p.h - 1);  // the stroke of a graph at 0 %
        Pixel a = before.at(x, y), b = after.at(x, y);
        EXPECT_NE(a.r * 65536 + a.g * 256 + a.b, b.r * 65536 + b.g * 256 + b.b) << load;
    }
}

TEST(HeaderDraw, UnmeasuredLoadAddsNothingAndGlowFades) {
    Header h;
    h.push_load(-1.0);
    EXPECT_TRUE(h.m_history.empty());
    EXPECT_EQ(h.m_last_sample, -1.0);
    h.m_total_glow = 0.5;
    h.animate();  // no sampler: the glow fades towards 0
    EXPECT_NEAR(h.m_total_glow, 0.46, 1e-9);
    // A single value draws the panel but no graph, and nothing breaks.
    h.push_load(0.3);
    Frame f(800, Header::HEIGHT);
    f.draw(h);
    EXPECT_EQ(h.m_last_sample, 0.3);
}

TEST(HeaderDraw, BoardScrollWrapsAtTheTileWidth) {
    Header h;
    h.m_scroll = 639.9;
    h.animate();
    EXPECT_NEAR(h.m_scroll, 0.32, 1e-9);
    for (int i = 0; i < 5000; ++i) h.animate();
    EXPECT_GE(h.m_scroll, 0.0);
    EXPECT_LT(h.m_scroll, Header::TILE_WIDTH);
}

bool same_surface(cairo_surface_t* a, cairo_surface_t* b) {
    cairo_surface_flush(a);
    cairo_surface_flush(b);
    int ha = cairo_image_surface_get_height(a), sa = cairo_image_surface_get_stride(a);
    return ha == cairo_image_surface_get_height(b) && sa == cairo_image_surface_get_stride(b) &&
           std::memcmp(cairo_image_surface_get_data(a), cairo_image_surface_get_data(b), size_t(ha) * sa) ==
               0;
}

TEST(HeaderDraw, LayersAreCachedAndTheBoardIsTheSameEveryRun) {
    Header a, b, taller;
    Frame fa(900, Header::HEIGHT), fb(700, Header::HEIGHT), ft(900, 120);
    fa.draw(a);
    fb.draw(b);
    ft.draw(taller);
    ASSERT_NE(a.m_pcb, nullptr);
    EXPECT_EQ(cairo_image_surface_get_width(a.m_pcb), Header::TILE_WIDTH);
    EXPECT_TRUE(same_surface(a.m_pcb, b.m_pcb));  // the tile depends on the height only
    EXPECT_EQ(cairo_image_surface_get_height(taller.m_pcb), 120);
    EXPECT_EQ(a.m_logo_px, 54);
    EXPECT_FALSE(a.m_logo_failed);

    // Another frame at the same size keeps every layer; a new subtitle
    // redraws the ones it touches.
    cairo_surface_t *cache = a.m_cache, *board = a.m_pcb, *logo = a.m_logo;
    a.animate();
    fa.draw(a);
    EXPECT_EQ(a.m_cache, cache);
    EXPECT_EQ(a.m_pcb, board);
    a.set_subtitle("AMD EPYC");
    EXPECT_EQ(a.m_cache, nullptr);
    fa.draw(a);
    EXPECT_EQ(a.m_logo, logo);
}

// The board lies on the gradient; its top row is mostly bare gradient.
TEST(HeaderDraw, GradientFollowsTheDarkFlag) {
    const struct {
        bool dark;
        Pixel top;
    } cases[] = {{false, {14, 131, 55}}, {true, {11, 103, 43}}};
    for (const auto& c : cases) {
        Header h;
        h.set_palette(c.dark ? Palette::dark_() : Palette::light());
        Frame f(600, Header::HEIGHT);
        f.draw(h);
        int bare = 0;
        for (int x = 0; x < Header::TILE_WIDTH; ++x) {
            Pixel p = Frame::pixel_of(h.m_pcb, x, 0);
            if (std::abs(p.r - c.top.r) <= 2 && std::abs(p.g - c.top.g) <= 2 && std::abs(p.b - c.top.b) <= 2)
                ++bare;
        }
        EXPECT_GT(bare, Header::TILE_WIDTH * 8 / 10) << c.dark;
    }
}

// The name moves up to make room for a subtitle, and comes down to the
// middle of the band without one.
TEST(HeaderDraw, NameMovesUpForASubtitle) {
    auto bright_pixels = [](const std::string& subtitle, int from_y, int to_y) {
        Header h;
        h.set_subtitle(subtitle);
        Frame f(1000, Header::HEIGHT);
        f.draw(h);
        int count = 0;
        for (int y = from_y; y < to_y; ++y)
            for (int x = 88; x < 300; ++x)
                if (Frame::pixel_of(h.m_cache, x, y).g > 120) ++count;
        return count;
    };
    EXPECT_GT(bright_pixels("Intel Core i7-12700H", 12, 22), 40);
    EXPECT_EQ(bright_pixels("", 12, 22), 0);
    EXPECT_GT(bright_pixels("", 30, 44), 40);
    EXPECT_GT(bright_pixels("Intel Core i7-12700H", 44, 52), 20);  // the subtitle's line
    EXPECT_EQ(bright_pixels("", 56, 76), 0);
}

}  // namespace
