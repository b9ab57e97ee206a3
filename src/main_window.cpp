// The window executable. It runs every mode itself too, so the elevated
// collector can be started from it.
#include <malloc.h>

#include "app.h"
#include "crash_handler.h"

int main(int argc, char** argv) {
    // The interface runs on one thread; the toolkit's helper threads (bus,
    // font set-up) would each get a heap arena of their own, some hundreds
    // of kilobytes held for a few allocations.
    mallopt(M_ARENA_MAX, 1);
    CrashHandler::install();
    App app;
    return app.run(argc, argv);
}
