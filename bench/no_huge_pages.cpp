// Runs a command with the kernel's transparent huge pages off for it and
// everything it starts, to measure what machines without them pay.
// Usage: bench_no_huge_pages COMMAND [ARGS...]
#include <sys/prctl.h>
#include <unistd.h>

#include <cstdio>

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fputs("usage: bench_no_huge_pages COMMAND [ARGS...]\n", stderr);
        return 2;
    }
    if (::prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0) != 0) {
        std::perror("prctl(PR_SET_THP_DISABLE)");
        return 1;
    }
    ::execvp(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
