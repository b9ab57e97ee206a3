// Installs the crash handler and dies of the signal named by the first
// argument: SEGV, ABRT, FPE, BUS, ILL or TRAP. With "collect" as the second
// argument it first writes a line to standard output, as the collector mode
// does before a crash could strike.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "crash_handler.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    CrashHandler::install();
    if (argc > 2 && std::strcmp(argv[2], "collect") == 0) {
        std::fputs("V|1\n", stdout);
        std::fflush(stdout);
    }
    const char* what = argv[1];
    if (std::strcmp(what, "SEGV") == 0) {
        volatile int* nowhere = nullptr;
        *nowhere = 1;
    } else if (std::strcmp(what, "ABRT") == 0) {
        std::abort();
    } else if (std::strcmp(what, "ILL") == 0) {
        __builtin_trap();
    } else if (std::strcmp(what, "FPE") == 0) {
        std::raise(SIGFPE);
    } else if (std::strcmp(what, "BUS") == 0) {
        std::raise(SIGBUS);
    } else if (std::strcmp(what, "TRAP") == 0) {
        std::raise(SIGTRAP);
    }
    return 3;
}
