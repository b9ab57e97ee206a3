// The program's entry: the modes without a window run here, linked against
// no toolkit, so a report costs little more than reading the machine. The
// window is a second executable beside this one; it takes over the process
// with the same arguments.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crash_handler.h"
#include "pages.h"
#include "util.h"

namespace {

const char* const WINDOW_PROGRAM = "zorvantelquist-window";

std::string window_program() {
    std::string self = util::read_link_full("/proc/self/exe");
    size_t slash = self.rfind('/');
    if (slash == std::string::npos) return WINDOW_PROGRAM;
    return self.substr(0, slash + 1) + WINDOW_PROGRAM;
}

}  // namespace

int main(int argc, char** argv) {
    CrashHandler::install();
    PageSet pages;
    int status = cli::run_text_mode(argc, argv, pages);
    if (status >= 0) return status;
    std::string window = window_program();
    execv(window.c_str(), argv);
    std::fprintf(stderr, "%s: %s\n", window.c_str(), std::strerror(errno));
    return 127;
}
