// Draws the program's icon (a green circuit board tile carrying a processor
// with a load curve on its lid) and writes it as a C++ header of PNG bytes.
//
//   icon_gen OUTPUT_HEADER
//
// The header is kept in the source tree (src/icon_data.h); run this again only
// when the picture changes.
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

namespace {

const int SIZE = 256;

void rounded(cairo_t* cr, double x, double y, double w, double h, double r) {
    cairo_new_sub_path(cr);
    cairo_arc(cr, x + w - r, y + r, r, -M_PI / 2, 0);
    cairo_arc(cr, x + w - r, y + h - r, r, 0, M_PI / 2);
    cairo_arc(cr, x + r, y + h - r, r, M_PI / 2, M_PI);
    cairo_arc(cr, x + r, y + r, r, M_PI, 3 * M_PI / 2);
    cairo_close_path(cr);
}

void board(cairo_t* cr) {
    const double s = SIZE;
    rounded(cr, 4, 4, s - 8, s - 8, 0.22 * s);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 0, 0, s);
    cairo_pattern_add_color_stop_rgb(g, 0, 0.075, 0.580, 0.255);
    cairo_pattern_add_color_stop_rgb(g, 1, 0.027, 0.310, 0.125);
    cairo_set_source(cr, g);
    cairo_fill_preserve(cr);
    cairo_pattern_destroy(g);
    cairo_set_source_rgba(cr, 0.004, 0.078, 0.031, 0.6);
    cairo_set_line_width(cr, 3);
    cairo_stroke(cr);
}

// Traces from each side of the chip to the board's edge, ending in vias.
void traces(cairo_t* cr) {
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
    cairo_set_line_width(cr, 5);
    cairo_set_source_rgba(cr, 0.945, 0.976, 0.957, 0.55);
    const double lanes[] = {92, 128, 164};
    for (int side = 0; side < 4; ++side) {
        cairo_save(cr);
        cairo_translate(cr, SIZE / 2.0, SIZE / 2.0);
        cairo_rotate(cr, side * M_PI / 2);
        cairo_translate(cr, -SIZE / 2.0, -SIZE / 2.0);
        for (int i = 0; i < 3; ++i) {
            double y = lanes[i];
            double bend = (i == 1) ? 0 : (i == 0 ? -14 : 14);
            cairo_move_to(cr, 196, y);
            cairo_line_to(cr, 210, y);
            cairo_line_to(cr, 222, y + bend);
            cairo_stroke(cr);
            cairo_arc(cr, 226, y + bend, 6, 0, 2 * M_PI);
            cairo_fill(cr);
        }
        cairo_restore(cr);
    }
    // The holes of the vias.
    cairo_set_source_rgb(cr, 0.035, 0.322, 0.129);
    for (int side = 0; side < 4; ++side) {
        cairo_save(cr);
        cairo_translate(cr, SIZE / 2.0, SIZE / 2.0);
        cairo_rotate(cr, side * M_PI / 2);
        cairo_translate(cr, -SIZE / 2.0, -SIZE / 2.0);
        for (int i = 0; i < 3; ++i) {
            double y = lanes[i] + ((i == 1) ? 0 : (i == 0 ? -14 : 14));
            cairo_arc(cr, 226, y, 2.6, 0, 2 * M_PI);
            cairo_fill(cr);
        }
        cairo_restore(cr);
    }
}

void chip(cairo_t* cr) {
    // Pins.
    cairo_set_source_rgb(cr, 0.86, 0.90, 0.87);
    for (int side = 0; side < 4; ++side) {
        cairo_save(cr);
        cairo_translate(cr, SIZE / 2.0, SIZE / 2.0);
        cairo_rotate(cr, side * M_PI / 2);
        cairo_translate(cr, -SIZE / 2.0, -SIZE / 2.0);
        for (int i = 0; i < 5; ++i) {
            rounded(cr, 186, 78 + 22 * i, 16, 10, 3);
            cairo_fill(cr);
        }
        cairo_restore(cr);
    }
    // The package.
    rounded(cr, 62, 62, 132, 132, 16);
    cairo_pattern_t* g = cairo_pattern_create_linear(0, 62, 0, 194);
    cairo_pattern_add_color_stop_rgb(g, 0, 0.110, 0.145, 0.125);
    cairo_pattern_add_color_stop_rgb(g, 1, 0.035, 0.055, 0.045);
    cairo_set_source(cr, g);
    cairo_fill(cr);
    cairo_pattern_destroy(g);
    // A load curve under a filled area, as the window's header draws it.
    const double pts[] = {0.30, 0.42, 0.36, 0.58, 0.50, 0.74, 0.62, 0.82};
    const int n = sizeof(pts) / sizeof(pts[0]);
    const double x0 = 78, x1 = 178, base = 172, top = 88;
    auto px = [&](int i) { return x0 + (x1 - x0) * i / (n - 1); };
    auto py = [&](int i) { return base - pts[i] * (base - top); };
    cairo_move_to(cr, px(0), base);
    for (int i = 0; i < n; ++i) cairo_line_to(cr, px(i), py(i));
    cairo_line_to(cr, px(n - 1), base);
    cairo_close_path(cr);
    cairo_pattern_t* fill = cairo_pattern_create_linear(0, top, 0, base);
    cairo_pattern_add_color_stop_rgba(fill, 0, 0.451, 0.925, 0.588, 0.65);
    cairo_pattern_add_color_stop_rgba(fill, 1, 0.451, 0.925, 0.588, 0.08);
    cairo_set_source(cr, fill);
    cairo_fill(cr);
    cairo_pattern_destroy(fill);
    cairo_set_line_width(cr, 6);
    cairo_set_source_rgb(cr, 0.451, 0.925, 0.588);
    cairo_move_to(cr, px(0), py(0));
    for (int i = 1; i < n; ++i) cairo_line_to(cr, px(i), py(i));
    cairo_stroke(cr);
    // Pin-one mark.
    cairo_arc(cr, 80, 80, 5, 0, 2 * M_PI);
    cairo_set_source_rgba(cr, 0.965, 0.988, 0.973, 0.8);
    cairo_fill(cr);
}

cairo_status_t collect(void* closure, const unsigned char* data, unsigned int length) {
    auto* out = static_cast<std::vector<unsigned char>*>(closure);
    out->insert(out->end(), data, data + length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_HEADER\n", argv[0]);
        return 2;
    }
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, SIZE, SIZE);
    cairo_t* cr = cairo_create(surface);
    board(cr);
    traces(cr);
    chip(cr);
    cairo_destroy(cr);
    std::vector<unsigned char> png;
    cairo_status_t status = cairo_surface_write_to_png_stream(surface, collect, &png);
    cairo_surface_destroy(surface);
    if (status != CAIRO_STATUS_SUCCESS) return 1;

    std::FILE* f = std::fopen(argv[1], "w");
    if (!f) return 1;
    std::fprintf(f,
                 "// The program's icon as PNG bytes: the window icon, the header's logo and the\n"
                 "// About dialog's picture. Written by tools/icon_gen.cpp; do not edit.\n"
                 "#pragma once\n\n#include <cstddef>\n\nnamespace icon_data {\n\n"
                 "inline constexpr unsigned char PNG[] = {");
    for (size_t i = 0; i < png.size(); ++i)
        std::fprintf(f, "%s0x%02x,", i % 16 == 0 ? "\n    " : " ", png[i]);
    std::fprintf(f, "\n};\ninline constexpr size_t PNG_SIZE = sizeof(PNG);\n\n}  // namespace icon_data\n");
    return std::fclose(f) == 0 ? 0 : 1;
}
