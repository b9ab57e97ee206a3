// Starts a program and reports how long its first top-level window took to
// be mapped and how much resident memory it holds once it has settled.
// Usage: bench_window_map SETTLE_MS PROGRAM [ARGS...]
// Prints "MAP_MS RSS_KIB"; exits 1 when no window appeared within 20 s.
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

double now_ms() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

long resident_kib(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Waits for a map of a child of the root window that is not a popup.
bool wait_for_map(Display* display, double deadline_ms) {
    pollfd pfd{ConnectionNumber(display), POLLIN, 0};
    while (now_ms() < deadline_ms) {
        while (XPending(display)) {
            XEvent ev;
            XNextEvent(display, &ev);
            if (ev.type == MapNotify && !ev.xmap.override_redirect) return true;
        }
        poll(&pfd, 1, 50);
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s SETTLE_MS PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    int settle_ms = std::atoi(argv[1]);
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "no X display\n");
        return 2;
    }
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, True);
    double start = now_ms();
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[2], argv + 2);
        _exit(127);
    }
    bool mapped = wait_for_map(display, start + 20000);
    double map_ms = now_ms() - start;
    usleep(static_cast<useconds_t>(settle_ms) * 1000);
    long rss = resident_kib(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    XCloseDisplay(display);
    if (!mapped) return 1;
    std::printf("%.1f %ld\n", map_ms, rss);
    return 0;
}
