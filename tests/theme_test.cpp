// Colour arithmetic, the palette with user colours laid over it, and the
// generated style sheet's text.
#include <gtest/gtest.h>

#include "settings.h"
#include "theme.h"

namespace {

TEST(Colour, HexTextsAcceptedAndRejected) {
    Rgb c;
    ASSERT_TRUE(hex_to_rgb("#1a5fb4", c));
    EXPECT_DOUBLE_EQ(c.r, 0x1a / 255.0);
    EXPECT_DOUBLE_EQ(c.g, 0x5f / 255.0);
    EXPECT_DOUBLE_EQ(c.b, 0xb4 / 255.0);
    ASSERT_TRUE(hex_to_rgb("FFFFFF", c));
    EXPECT_DOUBLE_EQ(c.r, 1.0);

    Rgb kept{0.25, 0.5, 0.75};
    for (const char* bad : {"#12345", "#12345G", "", "##123456", "#1234567", "12 456", "#"}) {
        Rgb probe = kept;
        EXPECT_FALSE(hex_to_rgb(bad, probe)) << bad;
        EXPECT_EQ(probe.r, 0.25) << bad;
        EXPECT_EQ(probe.b, 0.75) << bad;
    }
}

TEST(Colour, HexWrittenClampedAndRounded) {
    EXPECT_EQ(rgb_to_hex({1.2, -0.1, 0.5}), "#FF0080");
    EXPECT_EQ(rgb_to_hex({0.5, 0.5, 0.5}), "#808080");
    EXPECT_EQ(mix_hex("#FFFFFF", "#000000", 0.16), "#292929");
    EXPECT_EQ(mix_hex("#FFFFFF", "#000000", 1.0), "#FFFFFF");
    // A bad colour on either side gives the first text back unchanged.
    EXPECT_EQ(mix_hex("bogus", "#000000", 0.5), "bogus");
    EXPECT_EQ(mix_hex("#ffffff", "#00000", 0.5), "#ffffff");
}

TEST(PaletteSets, UserColoursOverlayTheirThemeOnly) {
    Settings s;
    s.bg_light = "#101010";
    s.accent_dark = "#202020";
    s.dim_light = "not-a-colour";
    s.load_high = "#303030";

    Palette light = Palette::from_settings(s, false);
    EXPECT_FALSE(light.dark);
    EXPECT_EQ(light.background, "#101010");
    EXPECT_EQ(light.accent, Palette::light().accent);
    EXPECT_EQ(light.dim, Palette::light().dim);  // malformed: the built-in colour stays
    EXPECT_EQ(light.load_high, "#303030");

    Palette dark = Palette::from_settings(s, true);
    EXPECT_TRUE(dark.dark);
    EXPECT_EQ(dark.background, Palette::dark_().background);
    EXPECT_EQ(dark.accent, "#202020");
    EXPECT_EQ(dark.load_high, "#303030");  // load colours serve both themes
}

TEST(PaletteSets, ColourStoredWithoutHashGainsIt) {
    // The settings file may hold "a1b2c3"; the style sheet parser only knows
    // the "#" form, so the palette must never carry the bare digits.
    Settings s;
    s.panel_dark = "a1B2c3";
    s.load_low = "00ff00";
    Palette p = Palette::from_settings(s, true);
    EXPECT_EQ(p.panel, "#a1B2c3");
    EXPECT_EQ(p.load_low, "#00ff00");
    EXPECT_NE(build_css(p).find("background-color: #a1B2c3"), std::string::npos);
}

TEST(StyleSheet, EveryPlaceholderFilledFromThePalette) {
    for (const Palette& p : {Palette::light(), Palette::dark_()}) {
        std::string css = build_css(p);
        EXPECT_EQ(css.find('@'), std::string::npos);
        EXPECT_LT(css.size(), 10u * 1024);
        // Cards sit on the panel colour with a border mixed from text over panel.
        std::string card = ".card { background-color: " + p.panel + "; border: 1px solid " +
                           mix_hex(p.text, p.panel, 0.16) + ";";
        EXPECT_NE(css.find(card), std::string::npos) << card;
        std::string header = "menubar { background-color: " + mix_hex(p.panel, p.background, 0.55) + ";";
        EXPECT_NE(css.find(header), std::string::npos);
        EXPECT_NE(css.find(p.dark ? "#8A8A8E" : "#909090"), std::string::npos);
    }
}

}  // namespace
