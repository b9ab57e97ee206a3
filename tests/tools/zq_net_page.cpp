// Prints the "net" page of the machine (or network namespace) it runs in, one
// tab-separated line per selector, figure, card and row.
//
//   zq_net_page INDEX                 the page built for that selector value
//   zq_net_page INDEX --tick CMD...   built, CMD run, then one tick a second
//                                     after the build, and the page printed
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "probe.h"
#include "util.h"

namespace {

void print_page(const probe::Page& page) {
    std::string out = "sel";
    for (const std::string& o : page.selector.options) out += "\t" + o;
    out += "\n";
    for (const probe::Stat& s : page.stats) out += "stat\t" + s.label + "\t" + s.value + "\n";
    for (const probe::Card& c : page.cards) {
        out += "card\t" + c.title + "\t" + c.subtitle + "\n";
        for (const probe::Row& r : c.rows) {
            out += "row\t" + r.name + "\t" + r.value + "\t" + r.extra + "\t" + r.live;
            for (const std::string& col : r.cols) out += "\t" + col;
            out += "\n";
        }
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
}

int run_command(char** argv) {
    pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv);
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: zq_net_page INDEX [--tick CMD...]\n");
        return 2;
    }
    const double built = util::monotonic_seconds();
    probe::Page page = probe::collect_net(std::atoi(argv[1]));
    if (argc > 3 && std::string(argv[2]) == "--tick") {
        if (run_command(argv + 3) != 0) return 1;
        double wait = built + 1.0 - util::monotonic_seconds();
        if (wait > 0) usleep(static_cast<useconds_t>(wait * 1e6));
        probe::refresh_live_net(page);
    }
    print_page(page);
    return 0;
}
