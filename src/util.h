// Leaf library under every reader of procfs/sysfs and every page builder:
// file access, string helpers, forgiving number parsing and localised
// number/unit formatting.
#pragma once

#include <sys/statvfs.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace util {

// ---- Files and directories -------------------------------------------------
// Every absolute path handed to these functions is read below the process-wide
// root prefix. The prefix is empty in the program; tests point it at fixture
// trees so that readers of /proc, /sys and /dev can be exercised on data that
// looks like real machines.
void set_root_prefix(const std::string& prefix);
const std::string& root_prefix();
// The path as it is really opened: the root prefix in front of an absolute
// path, a relative path unchanged.
std::string host_path(const std::string& path);

std::string read_file_raw(const std::string& path);
// At most the first `max_bytes` bytes, for binary attributes of which only a
// known head is needed (an EEPROM read over a slow bus).
std::string read_file_head(const std::string& path, size_t max_bytes);
// The size stat(2) reports (links followed); -1 when it fails.
int64_t file_size(const std::string& path);
std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
bool path_exists(const std::string& path);
bool is_dir(const std::string& path);
bool readable(const std::string& path);
std::vector<std::string> list_dir(const std::string& path, const std::string& prefix);
std::string read_link_full(const std::string& path);
std::string read_link_base(const std::string& path);
// The canonical path of `path` with every link resolved, as the machine sees
// it: without the root prefix. Empty when it does not exist or leads out of
// the prefixed tree.
std::string real_path(const std::string& path);
// statvfs(3) below the root prefix; false when it fails.
bool stat_fs(const std::string& path, struct statvfs& out);
// open(2) below the root prefix, always with O_CLOEXEC; -1 on failure. For the
// few readers that need a descriptor (ioctls on device nodes).
int open_fd(const std::string& path, int flags);

// ---- One reading per page collection ----------------------------------------
// While a page collection keeps its reads (keep_reads(true) up to the
// matching keep_reads(false); the calls nest), the two functions below read
// each file and directory once for all pages; outside it they read afresh.
// Only for what cannot change while pages are built: identities, firmware
// tables, device lists. Live values are read by the tick, outside any
// collection, and keep using read_file.
void keep_reads(bool keep);
std::string read_file_kept(const std::string& path);                                         // read_file
std::vector<std::string> list_dir_kept(const std::string& path, const std::string& prefix);  // list_dir

// ---- Strings ---------------------------------------------------------------
std::string trim(const std::string& s);
std::string lower(const std::string& s);
bool starts_with(const std::string& s, const std::string& p);
bool ends_with(const std::string& s, const std::string& p);
std::vector<std::string> split(const std::string& s, char sep);
std::string join(const std::vector<std::string>& v, const std::string& sep);
std::string strip_mnemonic(const std::string& s);
bool natural_less(const std::string& a, const std::string& b);
// Text from firmware, the kernel or a database made safe for GTK and the
// report: every byte that does not start a well-formed UTF-8 sequence becomes
// U+FFFD. Valid text comes back unchanged.
std::string valid_utf8(const std::string& s);
bool is_valid_utf8(const std::string& s);
// valid_utf8 for a field text that a label shows or the report writes, also
// without NUL and the other control characters but tab: a label ends at a NUL
// that the report would write on as a raw byte, and neither has a use for the
// rest. Line feeds stay only in a text made of lines.
std::string display_text(const std::string& s, bool keep_line_feeds = false);
// Undoes the octal escapes the kernel writes into mountinfo and /proc/swaps
// (\040 blank, \011 tab, \012 line feed, \134 backslash); other text is kept.
std::string unescape_octal(const std::string& s);

// ---- Parsing (never fails: the caller's default stands for "no number") ----
uint64_t to_u64(const std::string& s, uint64_t def);
int64_t to_i64(const std::string& s, int64_t def);
double to_double(const std::string& s, double def);
uint32_t parse_hex(const std::string& s, uint32_t def);
// parse_hex without its copies for the plain hex digits of kernel and
// database files; anything else goes to parse_hex.
uint32_t parse_hex_digits(std::string_view s);
std::string to_hex(uint32_t v, int digits);

// ---- Counters to rates ----------------------------------------------------
// The previous sample of a growing counter (bytes, sectors, microjoules).
struct CounterRate {
    uint64_t last = 0;
    double last_seconds = -1.0;  // negative: no sample yet
};
// Records `value` read at `now_seconds` and returns the increase per second
// since the previous sample; -1.0 for the first sample, when the counter went
// backwards (device re-created, wrap) or when no time has passed.
double rate_per_second(CounterRate& state, uint64_t value, double now_seconds);
// A monotonic clock in seconds for the samples above.
double monotonic_seconds();

// ---- Number and unit formatting ------------------------------------------
// Separators in force for every formatter below; "," and "." until a language
// is applied (the collector mode never applies one).
extern std::string g_decimal;
extern std::string g_group;

void set_number_format(const std::string& decimal_sep, const std::string& group_sep);
std::string fmt_int(uint64_t v);
std::string fmt_double(double v, int decimals);
std::string fmt_percent(double v, int decimals);
std::string fmt_bytes(uint64_t bytes);
std::string fmt_bytes_si(uint64_t bytes);
std::string fmt_bytes_both(uint64_t bytes);
std::string fmt_bytes_pair(uint64_t used, uint64_t total);
std::string fmt_hz(uint64_t hz);
std::string fmt_khz(uint64_t khz);
std::string fmt_mhz(double mhz);
std::string fmt_duration(uint64_t seconds);
std::string fmt_columns(const std::vector<std::string>& tokens, size_t max_line_chars);

}  // namespace util
