// Writes a crash report when the program dies of a fatal signal and offers,
// in a separate process, to mail it to the maker.
#pragma once

class CrashHandler {
public:
    // Prepares everything the handler needs and installs it for SIGSEGV,
    // SIGABRT, SIGFPE, SIGBUS, SIGILL and SIGTRAP. Does nothing in a build
    // with AddressSanitizer, whose own report of a crash must stay visible.
    static void install();
};
