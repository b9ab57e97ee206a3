// The handler runs inside whatever the crashing thread was doing, possibly
// with the allocator's or a stream's lock held. Everything that needs memory
// or the C library's buffered state is therefore prepared at install time
// (the clock's offset from UTC is renewed from the main loop);
// the handler itself only formats numbers by hand and calls open, write,
// the unwinder's _Unwind_Backtrace, backtrace_symbols_fd, _Fork, execve and
// _exit.
#include "crash_handler.h"

#include <execinfo.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <unwind.h>

#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "pages.h"

extern char** environ;
// The linker's marks of this executable's first and last bytes in memory.
extern "C" const char __ehdr_start[];
extern "C" char _end[];

namespace {

constexpr const char* FILE_NAME = "Zorvantelquist_crash.txt";
constexpr int FATAL_SIGNALS[] = {SIGSEGV, SIGABRT, SIGFPE, SIGBUS, SIGILL, SIGTRAP};
constexpr int MAX_FRAMES = 32;

// The stack is walked with the unwinder linked into the program: the C
// library's backtrace() would load a shared one at install, which costs every
// start of a report about a third of a millisecond.
struct FrameWalk {
    void** frames;
    int count;
    int skip;  // the walker's own frame
};

_Unwind_Reason_Code take_frame(_Unwind_Context* context, void* arg) {
    auto* walk = static_cast<FrameWalk*>(arg);
    const _Unwind_Ptr ip = _Unwind_GetIP(context);
    if (ip == 0) return _URC_END_OF_STACK;
    if (walk->skip > 0) {
        --walk->skip;
        return _URC_NO_REASON;
    }
    walk->frames[walk->count++] = reinterpret_cast<void*>(ip);
    return walk->count < MAX_FRAMES ? _URC_NO_REASON : _URC_END_OF_STACK;
}

int walk_stack(void* (&frames)[MAX_FRAMES]) {
    FrameWalk walk{frames, 0, 1};
    _Unwind_Backtrace(take_frame, &walk);
    return walk.count;
}

// Every value reaches the script as a positional parameter, never as script
// text, so quotes and blanks in paths or translations cannot change it.
constexpr const char* MAIL_SCRIPT =
    "report=$1; title=$2; ok=$3; cancel=$4; subject=$5\n"
    "desc=$(zenity --text-info --editable --title=\"$title\" --width=500 --height=250 "
    "--ok-label=\"$ok\" --cancel-label=\"$cancel\" 2>/dev/null) || exit 0\n"
    "printf '\\nUser description:\\n%s\\n' \"$desc\" >> \"$report\"\n"
    "body=$(python3 -c 'import sys, urllib.parse; "
    "sys.stdout.write(urllib.parse.quote(open(sys.argv[1], encoding=\"utf-8\", errors=\"replace\").read()))' "
    "\"$report\" 2>/dev/null)\n"
    "subj=$(python3 -c 'import sys, urllib.parse; sys.stdout.write(urllib.parse.quote(sys.argv[1]))' "
    "\"$subject\" 2>/dev/null)\n"
    "xdg-open \"mailto:crash-reports@zorvantelquist.org?subject=$subj&body=$body\" >/dev/null 2>&1\n"
    "exit 0\n";

struct Prepared {
    std::string program;  // this executable's path, for frames inside it
    bool write_report = false;
    bool as_root = false;  // root writes a private file and starts no child
    std::string path;
    std::string head;                // the lines before "Signal:"
    std::string tail;                // the lines after "Time:" up to "Backtrace:"
    std::vector<std::string> texts;  // argument strings of the child
    std::vector<char*> argv;
    std::vector<std::string> env_texts;
    std::vector<char*> envp;
    size_t subject_slot = 0;
    char subject[256] = {};
};

Prepared* g_prepared = nullptr;
volatile sig_atomic_t g_entered = 0;
// Seconds east of UTC; a single word the handler reads whatever moment it
// interrupts a refresh.
volatile sig_atomic_t g_utc_offset = 0;

const char* signal_name(int sig) {
    switch (sig) {
        case 4:
            return "SIGILL (Illegal instruction)";
        case 5:
            return "SIGTRAP (Trap \u2014 usually a fatal GLib/GTK error)";
        case 6:
            return "SIGABRT (Abort)";
        case 7:
            return "SIGBUS (Bus error)";
        case 8:
            return "SIGFPE (Floating point exception)";
        case 11:
            return "SIGSEGV (Segmentation fault)";
        default:
            return "Unknown signal";
    }
}

const char* env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return v ? v : fallback;
}

bool is_german() {
    for (const char* name : {"LANG", "LC_ALL", "LANGUAGE"}) {
        const char* v = std::getenv(name);
        if (v && std::strncmp(v, "de", 2) == 0) return true;
    }
    return false;
}

// An empty XDG_RUNTIME_DIR counts as unset, as it does for the settings.
std::string runtime_dir() {
    const char* v = std::getenv("XDG_RUNTIME_DIR");
    return v && *v ? v : "";
}

// Root writes only into its own runtime directory: a fixed name in a
// world-writable one could be a link planted by anybody.
bool root_may_write(const std::string& dir) {
    struct stat st;
    return !dir.empty() && ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == 0;
}

std::string system_line() {
    struct utsname u;
    if (::uname(&u) != 0) return {};
    return std::string("System: ") + u.sysname + " " + u.release + " " + u.machine + "\n";
}

std::string snap_line() {
    const char* v = std::getenv("SNAP_VERSION");
    return v ? std::string("Snap: yes (v") + v + ")\n" : std::string("Snap: no\n");
}

long local_utc_offset() {
    // localtime_r alone keeps the zone it loaded first.
    ::tzset();
    time_t now = ::time(nullptr);
    struct tm local;
    return ::localtime_r(&now, &local) ? local.tm_gmtoff : 0;
}

// Our own executable, not a file of the machine: read directly, never under
// the root prefix tests give the machine's files.
std::string own_executable() {
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("?");
}

void prepare_report(Prepared& p) {
    p.program = own_executable();
    const std::string dir = runtime_dir();
    p.as_root = ::geteuid() == 0;
    p.write_report = p.as_root ? root_may_write(dir) : true;
    p.path = (dir.empty() ? std::string("/tmp") : dir) + "/" + FILE_NAME;
    p.head = std::string("=== ") + PROGRAM + " Crash Report ===\nVersion: " + VERSION + "\n";
    p.tail = system_line() + "Desktop: " + env_or("XDG_CURRENT_DESKTOP", "unknown") + " (" +
             env_or("XDG_SESSION_TYPE", "unknown") + ")\n" + snap_line() + "\nBacktrace:\n";
}

void prepare_child(Prepared& p) {
    const bool german = is_german();
    const std::string title =
        std::string(PROGRAM) + (german ? " - K\u00f6nnen Sie beschreiben, wann der Fehler aufgetreten ist?"
                                       : " - Can you describe when the error occurred?");
    p.texts = {"bash",
               "-c",
               MAIL_SCRIPT,
               "bash",
               p.path,
               title,
               german ? "Absturzbericht senden" : "Send crash report",
               german ? "Nicht senden" : "Don't send",
               ""};
    p.subject_slot = p.texts.size() - 1;
    for (std::string& t : p.texts) p.argv.push_back(t.data());
    p.argv.push_back(nullptr);
    for (char** e = environ; e && *e; ++e) p.env_texts.emplace_back(*e);
    for (std::string& t : p.env_texts) p.envp.push_back(t.data());
    p.envp.push_back(nullptr);
}

// ---- Inside the handler: async-signal-safe only ---------------------------

void write_text(int fd, const char* s, size_t n) {
    while (n > 0) {
        ssize_t w = ::write(fd, s, n);
        if (w <= 0) return;
        s += w;
        n -= static_cast<size_t>(w);
    }
}

void write_text(int fd, const char* s) { write_text(fd, s, std::strlen(s)); }

// Appends decimal digits, zero-padded to `width`, at `out`; returns the end.
char* put_number(char* out, long long v, int width) {
    char digits[24];
    int n = 0;
    unsigned long long u = v < 0 ? 0ULL : static_cast<unsigned long long>(v);
    do {
        digits[n++] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u > 0 && n < 23);
    while (n < width) digits[n++] = '0';
    while (n > 0) *out++ = digits[--n];
    return out;
}

char* put_text(char* out, const char* end, const char* s) {
    while (*s && out < end) *out++ = *s++;
    return out;
}

char* put_hex(char* out, uintptr_t v) {
    char digits[2 * sizeof v];
    int n = 0;
    do {
        digits[n++] = "0123456789abcdef"[v & 0xF];
        v >>= 4;
    } while (v > 0);
    while (n > 0) *out++ = digits[--n];
    return out;
}

// A frame as the C library writes one, "path(+0xoffset)[0xaddress]". Frames
// inside this executable are written here: linked statically, it has no
// loader records for the library to find them in.
void write_frame(int fd, const Prepared& p, void* frame) {
    const auto address = reinterpret_cast<uintptr_t>(frame);
    const auto base = reinterpret_cast<uintptr_t>(__ehdr_start);
    if (address < base || address >= reinterpret_cast<uintptr_t>(_end)) {
        ::backtrace_symbols_fd(&frame, 1, fd);
        return;
    }
    char line[4096 + 64];
    char* const end = line + sizeof line - 48;  // room for the numbers
    char* q = put_text(line, end, p.program.c_str());
    q = put_text(q, line + sizeof line, "(+0x");
    q = put_hex(q, address - base);
    q = put_text(q, line + sizeof line, ")[0x");
    q = put_hex(q, address);
    *q++ = ']';
    *q++ = '\n';
    write_text(fd, line, static_cast<size_t>(q - line));
}

// "YYYY-MM-DD HH:MM:SS" of a local time in seconds, without localtime().
void format_time(long long local_seconds, char (&out)[32]) {
    long long days = local_seconds / 86400, rest = local_seconds % 86400;
    if (rest < 0) rest += 86400, --days;
    // Days since 1970-01-01 to a civil date (proleptic Gregorian calendar).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    const long long day = doy - (153 * mp + 2) / 5 + 1;
    const long long month = mp < 10 ? mp + 3 : mp - 9;
    const long long year = yoe + era * 400 + (month <= 2 ? 1 : 0);
    char* p = out;
    p = put_number(p, year, 4);
    *p++ = '-';
    p = put_number(p, month, 2);
    *p++ = '-';
    p = put_number(p, day, 2);
    *p++ = ' ';
    p = put_number(p, rest / 3600, 2);
    *p++ = ':';
    p = put_number(p, rest / 60 % 60, 2);
    *p++ = ':';
    p = put_number(p, rest % 60, 2);
    *p = '\0';
}

int open_report(const Prepared& p) {
    if (p.as_root) {
        ::unlink(p.path.c_str());
        return ::open(p.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    }
    return ::open(p.path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
}

void write_report(int fd, const Prepared& p, int sig, const char* time_text) {
    write_text(fd, p.head.data(), p.head.size());
    char line[160];
    char* end = line + sizeof line - 8;
    char* q = put_text(line, end, "Signal: ");
    q = put_text(q, end, signal_name(sig));
    q = put_text(q, end, " (");
    q = put_number(q, sig, 1);
    *q++ = ')';
    *q++ = '\n';
    write_text(fd, line, static_cast<size_t>(q - line));
    write_text(fd, "Time: ");
    write_text(fd, time_text);
    write_text(fd, "\n");
    write_text(fd, p.tail.data(), p.tail.size());
    void* frames[MAX_FRAMES];
    const int n = walk_stack(frames);
    for (int i = 0; i < n; ++i) write_frame(fd, p, frames[i]);
    write_text(fd, "\n=== End Report ===\n");
}

void compose_subject(Prepared& p, int sig, const char* time_text) {
    char* end = p.subject + sizeof p.subject - 1;
    char* q = put_text(p.subject, end, PROGRAM);
    q = put_text(q, end, " Crash: ");
    q = put_text(q, end, signal_name(sig));
    q = put_text(q, end, " - ");
    q = put_text(q, end, time_text);
    *q = '\0';
    p.argv[p.subject_slot] = p.subject;
}

// The child must not keep the crashed process's pipes open (in collector
// mode they are the window's elevation pipes) nor its blocked signals.
// fork() in a process with threads first takes the allocator's locks: a
// crash inside malloc, where heap damage strikes, would wait on its own lock
// for ever. _Fork() takes none and runs no fork handlers.
void start_mail_child(Prepared& p) {
    const pid_t pid = ::_Fork();
    if (pid != 0) return;
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0)
        for (int fd = 0; fd <= 2; ++fd) ::dup2(null_fd, fd);
    ::execve("/bin/bash", p.argv.data(), p.envp.data());
    ::_exit(0);
}

void reset_fatal_signals() {
    struct sigaction dfl;
    std::memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s : FATAL_SIGNALS) ::sigaction(s, &dfl, nullptr);
}

void crash_handler(int sig) {
    // From here on any fatal signal ends the process at once: a fault while
    // writing the report must neither re-enter nor truncate it.
    reset_fatal_signals();
    if (g_entered || !g_prepared) {
        ::raise(sig);
        return;
    }
    g_entered = 1;
    Prepared& p = *g_prepared;
    if (p.write_report) {
        const int fd = open_report(p);
        if (fd >= 0) {
            char time_text[32];
            format_time(static_cast<long long>(::time(nullptr)) + g_utc_offset, time_text);
            write_report(fd, p, sig, time_text);
            ::close(fd);
            if (!p.as_root) {
                compose_subject(p, sig, time_text);
                start_mail_child(p);
            }
        }
    }
    ::raise(sig);
}

}  // namespace

void CrashHandler::install() {
#ifdef ZQ_SANITIZED
    return;
#endif
    if (g_prepared) return;
    // Never freed: the handler may run during exit, after static destructors.
    auto* p = new Prepared;
    prepare_report(*p);
    prepare_child(*p);
    refresh_clock();
    // Whatever the unwinder sets up on its first walk is done now, not in
    // the handler.
    void* warm[MAX_FRAMES];
    walk_stack(warm);
    g_prepared = p;
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = crash_handler;
    sigemptyset(&sa.sa_mask);
    for (int s : FATAL_SIGNALS) sigaddset(&sa.sa_mask, s);
    sa.sa_flags = SA_RESETHAND;
    for (int s : FATAL_SIGNALS) ::sigaction(s, &sa, nullptr);
}

void CrashHandler::refresh_clock() { g_utc_offset = static_cast<sig_atomic_t>(local_utc_offset()); }
