// Installs the crash handler and dies of the signal named by the first
// argument: SEGV, ABRT, FPE, BUS, ILL or TRAP; MALLOC takes a SIGSEGV from a
// timer while it allocates without pause beside a second thread, so that the signal most likely
// strikes inside the allocator, as a crash from heap damage does. With
// "collect" as the second
// argument it first writes a line to standard output, as the collector mode
// does before a crash could strike. With "clock" it first moves to UTC+5 and
// renews the handler's clock, as the window does every minute.
#include <time.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "crash_handler.h"

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    CrashHandler::install();
    if (argc > 2 && std::strcmp(argv[2], "collect") == 0) {
        std::fputs("V|1\n", stdout);
        std::fflush(stdout);
    }
    if (argc > 2 && std::strcmp(argv[2], "clock") == 0) {
        setenv("TZ", "ZQT-5", 1);
        CrashHandler::refresh_clock();
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
    } else if (std::strcmp(what, "MALLOC") == 0) {
        // The window has threads, and only a process with threads has the
        // C library lock its allocator around fork.
        std::thread([] { ::pause(); }).detach();
        sigevent event{};
        event.sigev_notify = SIGEV_SIGNAL;
        event.sigev_signo = SIGSEGV;
        timer_t timer;
        if (timer_create(CLOCK_MONOTONIC, &event, &timer) != 0) return 4;
        itimerspec when{};
        when.it_value.tv_nsec = 20 * 1000 * 1000;
        timer_settime(timer, 0, &when, nullptr);
        for (unsigned n = 1;; n = n * 1103515245u + 12345u) {
            void* volatile block = std::malloc(16 + n % 8192);
            std::free(block);
        }
    }
    return 3;
}
