// Writes the program's embedded icon out as a PNG file, so the installed
// icon is the very picture the window shows.
//
//   icon_png OUTPUT_PNG
#include <cstdio>

#include "icon_data.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT_PNG\n", argv[0]);
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        std::perror(argv[1]);
        return 1;
    }
    bool written = std::fwrite(icon_data::PNG, 1, sizeof icon_data::PNG, out) == sizeof icon_data::PNG;
    if (std::fclose(out) != 0 || !written) {
        std::fprintf(stderr, "%s: write failed\n", argv[1]);
        std::remove(argv[1]);
        return 1;
    }
    return 0;
}
