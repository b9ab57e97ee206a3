// Writes a crash report when the program dies of a fatal signal and offers,
// in a separate process, to mail it to the maker.
#pragma once

// A build with a sanitizer keeps the sanitizer's own crash report: the
// handler stays out of it, and so do the tests of the handler.
#if defined(__SANITIZE_ADDRESS__)
#define ZQ_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(undefined_behavior_sanitizer)
#define ZQ_SANITIZED 1
#endif
#endif

class CrashHandler {
public:
    // Prepares everything the handler needs and installs it for SIGSEGV,
    // SIGABRT, SIGFPE, SIGBUS, SIGILL and SIGTRAP. Does nothing in a build
    // with AddressSanitizer, whose own report of a crash must stay visible.
    static void install();
    // Takes the local time's offset from UTC afresh, for the report's time
    // line after a daylight-saving or time-zone change. Called from the main
    // loop; the handler only reads what this stored.
    static void refresh_clock();
};
