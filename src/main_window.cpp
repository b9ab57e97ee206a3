// The window executable. It runs every mode itself too, so the elevated
// collector can be started from it.
#include "app.h"
#include "crash_handler.h"

int main(int argc, char** argv) {
    CrashHandler::install();
    App app;
    return app.run(argc, argv);
}
