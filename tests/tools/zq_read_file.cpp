// Prints a file as the program's own file layer reads it; end-to-end tests use
// it to see what a mount-namespace fixture puts in front of the program.
#include <cstdio>

#include "util.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string text = util::read_file_raw(argv[1]);
    std::fwrite(text.data(), 1, text.size(), stdout);
    return text.empty() ? 1 : 0;
}
