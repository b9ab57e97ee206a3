// Leaf library under every reader of procfs/sysfs and every page builder:
// file access, string helpers, forgiving number parsing and localised
// number/unit formatting.
#pragma once

#include <cstdint>
#include <string>
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
std::string read_file(const std::string& path);
std::vector<std::string> read_lines(const std::string& path);
bool path_exists(const std::string& path);
bool is_dir(const std::string& path);
bool readable(const std::string& path);
std::vector<std::string> list_dir(const std::string& path, const std::string& prefix);
std::string read_link_full(const std::string& path);
std::string read_link_base(const std::string& path);
// open(2) below the root prefix, always with O_CLOEXEC; -1 on failure. For the
// few readers that need a descriptor (ioctls on device nodes).
int open_fd(const std::string& path, int flags);

// ---- Strings ---------------------------------------------------------------
std::string trim(const std::string& s);
std::string lower(const std::string& s);
bool starts_with(const std::string& s, const std::string& p);
bool ends_with(const std::string& s, const std::string& p);
std::vector<std::string> split(const std::string& s, char sep);
std::string join(const std::vector<std::string>& v, const std::string& sep);
std::string strip_mnemonic(const std::string& s);
bool natural_less(const std::string& a, const std::string& b);

// ---- Parsing (never fails: the caller's default stands for "no number") ----
uint64_t to_u64(const std::string& s, uint64_t def);
int64_t to_i64(const std::string& s, int64_t def);
double to_double(const std::string& s, double def);
uint32_t parse_hex(const std::string& s, uint32_t def);
std::string to_hex(uint32_t v, int digits);

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
