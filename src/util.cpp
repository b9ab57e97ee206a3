#include "util.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unordered_map>

namespace util {

namespace {

std::string& prefix_storage() {
    static std::string prefix;
    return prefix;
}

bool is_blank(unsigned char c) { return c == 0 || std::isspace(c); }

bool is_digit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

void set_root_prefix(const std::string& prefix) {
    std::string p = prefix;
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    prefix_storage() = p == "/" ? std::string() : p;
}

const std::string& root_prefix() { return prefix_storage(); }

std::string host_path(const std::string& path) {
    const std::string& prefix = prefix_storage();
    if (prefix.empty() || path.empty() || path[0] != '/') return path;
    return prefix + path;
}

int open_fd(const std::string& path, int flags) { return ::open(host_path(path).c_str(), flags | O_CLOEXEC); }

namespace {

// With `short_read_ends`, a read that returns less than asked is the end.
std::string read_whole(const std::string& path, bool short_read_ends) {
    int fd = open_fd(path, O_RDONLY);
    if (fd < 0) return {};
    std::string out;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // sysfs attributes may fail to read (EIO): keep what came
        out.append(buf, static_cast<size_t>(n));
        if (short_read_ends && n < static_cast<ssize_t>(sizeof buf)) break;
    }
    ::close(fd);
    return out;
}

}  // namespace

std::string read_file_raw(const std::string& path) { return read_whole(path, false); }

std::string read_file_head(const std::string& path, size_t max_bytes) {
    int fd = open_fd(path, O_RDONLY);
    if (fd < 0) return {};
    std::string out(max_bytes, '\0');
    size_t got = 0;
    while (got < max_bytes) {
        ssize_t n = ::read(fd, out.data() + got, max_bytes - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    out.resize(got);
    return out;
}

int64_t file_size(const std::string& path) {
    struct stat st;
    if (::stat(host_path(path).c_str(), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

// A sysfs text attribute hands over all it has (at most a page) in the first
// read, so a short read is its end and the read that would return 0 is saved.
// Not so /proc: seq_file stops short at record boundaries.
std::string read_file(const std::string& path) { return trim(read_whole(path, starts_with(path, "/sys/"))); }

std::vector<std::string> read_lines(const std::string& path) {
    std::vector<std::string> lines;
    const std::string text = read_file_raw(path);
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.emplace_back(text, start);
            break;
        }
        lines.emplace_back(text, start, nl - start);
        start = nl + 1;
    }
    return lines;
}

bool path_exists(const std::string& path) {
    struct stat st;
    return ::lstat(host_path(path).c_str(), &st) == 0;
}

bool is_dir(const std::string& path) {
    struct stat st;
    return ::stat(host_path(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool readable(const std::string& path) {
    // Non-blocking: a FIFO or a terminal put at the path must not hold the caller.
    int fd = open_fd(path, O_RDONLY | O_NONBLOCK);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

std::vector<std::string> list_dir(const std::string& path, const std::string& prefix) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(host_path(path).c_str());
    if (!dir) return names;
    while (struct dirent* e = ::readdir(dir)) {
        std::string name = e->d_name;
        if (name == "." || name == "..") continue;
        if (!prefix.empty() && !starts_with(name, prefix)) continue;
        names.push_back(std::move(name));
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), natural_less);
    return names;
}

namespace {

struct KeptReads {
    int depth = 0;
    std::unordered_map<std::string, std::string> files;
    std::unordered_map<std::string, std::vector<std::string>> dirs;  // by path and prefix
};

KeptReads& kept_reads() {
    static KeptReads kept;
    return kept;
}

}  // namespace

void keep_reads(bool keep) {
    KeptReads& k = kept_reads();
    k.depth = std::max(0, k.depth + (keep ? 1 : -1));
    if (k.depth == 0) k = KeptReads();
}

std::string read_file_kept(const std::string& path) {
    KeptReads& k = kept_reads();
    if (k.depth == 0) return read_file(path);
    auto it = k.files.find(path);
    if (it == k.files.end()) it = k.files.emplace(path, read_file(path)).first;
    return it->second;
}

std::vector<std::string> list_dir_kept(const std::string& path, const std::string& prefix) {
    KeptReads& k = kept_reads();
    if (k.depth == 0) return list_dir(path, prefix);
    const std::string key = path + '\n' + prefix;
    auto it = k.dirs.find(key);
    if (it == k.dirs.end()) it = k.dirs.emplace(key, list_dir(path, prefix)).first;
    return it->second;
}

std::string read_link_full(const std::string& path) {
    char buf[4096];
    ssize_t n = ::readlink(host_path(path).c_str(), buf, sizeof buf - 1);
    if (n < 0) return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string read_link_base(const std::string& path) {
    std::string target = read_link_full(path);
    size_t slash = target.rfind('/');
    return slash == std::string::npos ? target : target.substr(slash + 1);
}

std::string real_path(const std::string& path) {
    char buf[PATH_MAX];
    if (!::realpath(host_path(path).c_str(), buf)) return {};
    std::string resolved = buf;
    const std::string& prefix = prefix_storage();
    if (prefix.empty() || path.empty() || path[0] != '/') return resolved;
    if (resolved == prefix) return "/";
    if (!starts_with(resolved, prefix + "/")) return {};
    return resolved.substr(prefix.size());
}

bool stat_fs(const std::string& path, struct statvfs& out) {
    return ::statvfs(host_path(path).c_str(), &out) == 0;
}

std::string trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_blank(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && is_blank(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string lower(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

bool starts_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(0, p.size(), p) == 0;
}

bool ends_with(const std::string& s, const std::string& p) {
    return s.size() >= p.size() && s.compare(s.size() - p.size(), p.size(), p) == 0;
}

std::vector<std::string> split(const std::string& s, char sep) {
    std::vector<std::string> fields;
    std::string cur;
    for (char c : s) {
        if (c == sep) {
            fields.push_back(std::move(cur));
            cur.clear();
        } else {
            cur += c;
        }
    }
    fields.push_back(std::move(cur));
    return fields;
}

std::string join(const std::vector<std::string>& v, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (i) out += sep;
        out += v[i];
    }
    return out;
}

std::string strip_mnemonic(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '_') {
            out += s[i];
        } else if (i + 1 < s.size() && s[i + 1] == '_') {
            out += '_';
            ++i;
        }
    }
    return out;
}

bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (is_digit(a[i]) && is_digit(b[j])) {
            size_t ie = i, je = j;
            while (ie < a.size() && is_digit(a[ie])) ++ie;
            while (je < b.size() && is_digit(b[je])) ++je;
            size_t is = i, js = j;
            while (is < ie && a[is] == '0') ++is;
            while (js < je && b[js] == '0') ++js;
            size_t la = ie - is, lb = je - js;
            if (la != lb) return la < lb;
            int c = a.compare(is, la, b, js, lb);
            if (c != 0) return c < 0;
            i = ie;
            j = je;
            continue;
        }
        // Signed comparison on purpose: bytes of non-ASCII UTF-8 sort first.
        auto ca = static_cast<signed char>(a[i]), cb = static_cast<signed char>(b[j]);
        if (ca != cb) return ca < cb;
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

uint64_t to_u64(const std::string& s, uint64_t def) {
    std::string t = trim(s);
    if (t.empty()) return def;
    errno = 0;
    char* end = nullptr;
    unsigned long long v = std::strtoull(t.c_str(), &end, 10);
    if (end == t.c_str() || errno == ERANGE) return def;
    return v;
}

int64_t to_i64(const std::string& s, int64_t def) {
    std::string t = trim(s);
    if (t.empty()) return def;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (end == t.c_str() || errno == ERANGE) return def;
    return v;
}

double to_double(const std::string& s, double def) {
    std::string t = trim(s);
    if (t.empty()) return def;
    char* end = nullptr;
    double v = std::strtod(t.c_str(), &end);
    if (end == t.c_str()) return def;
    return v;
}

uint32_t parse_hex(const std::string& s, uint32_t def) {
    std::string t = trim(s);
    if (starts_with(lower(t), "0x")) t.erase(0, 2);
    if (t.empty()) return def;
    char* end = nullptr;
    unsigned long v = std::strtoul(t.c_str(), &end, 16);
    if (end == t.c_str()) return def;
    return static_cast<uint32_t>(v);
}

uint32_t parse_hex_digits(std::string_view s) {
    uint32_t v = 0;
    for (char c : s) {
        const int d = c >= '0' && c <= '9'   ? c - '0'
                      : c >= 'a' && c <= 'f' ? c - 'a' + 10
                      : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                             : -1;
        if (d < 0) return parse_hex(std::string(s), 0);
        v = v << 4 | static_cast<uint32_t>(d);
    }
    return v;
}

std::string to_hex(uint32_t v, int digits) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*x", digits, v);
    return buf;
}

// ---- Formatting -----------------------------------------------------------

std::string g_decimal = ",";
std::string g_group = ".";

void set_number_format(const std::string& decimal_sep, const std::string& group_sep) {
    if (!decimal_sep.empty()) g_decimal = decimal_sep;
    g_group = group_sep;
}

namespace {

// Localises a number as printf wrote it: digit groups and decimal separator.
std::string apply_format(const std::string& c_number) {
    size_t dot = c_number.find('.');
    std::string integer = dot == std::string::npos ? c_number : c_number.substr(0, dot);
    std::string fraction = dot == std::string::npos ? std::string() : c_number.substr(dot + 1);
    std::string sign;
    if (!integer.empty() && (integer[0] == '+' || integer[0] == '-')) {
        sign = integer.substr(0, 1);
        integer.erase(0, 1);
    }
    std::string grouped;
    if (g_group.empty()) {
        grouped = integer;
    } else {
        size_t n = integer.size();
        for (size_t k = 0; k < n; ++k) {
            if (k > 0 && (n - k) % 3 == 0) grouped += g_group;
            grouped += integer[k];
        }
    }
    std::string out = sign + grouped;
    if (!fraction.empty()) out += g_decimal + fraction;
    return out;
}

std::string fmt_scaled(uint64_t bytes, double base, const char* const* units, int max_index) {
    double v = static_cast<double>(bytes);
    int idx = 0;
    while (v >= base && idx < max_index) {
        v *= 1.0 / base;
        ++idx;
    }
    int decimals = v < 10 ? 2 : (v < 100 ? 1 : 0);
    return fmt_double(v, decimals) + " " + units[idx];
}

}  // namespace

std::string fmt_int(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llu", static_cast<unsigned long long>(v));
    return apply_format(buf);
}

std::string fmt_double(double v, int decimals) {
    // Sized to the value: 1e300 has 301 integer digits.
    const int n = std::snprintf(nullptr, 0, "%.*f", decimals, v);
    if (n <= 0) return {};
    std::string text(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(text.data(), text.size(), "%.*f", decimals, v);
    text.resize(static_cast<size_t>(n));
    return apply_format(text);
}

std::string fmt_percent(double v, int decimals) { return fmt_double(v, decimals) + " %"; }

std::string fmt_bytes(uint64_t bytes) {
    static const char* const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024) return fmt_int(bytes) + " B";
    return fmt_scaled(bytes, 1024.0, units, 6);
}

std::string fmt_bytes_si(uint64_t bytes) {
    static const char* const units[] = {"B", "kB", "MB", "GB", "TB", "PB", "EB"};
    if (bytes < 1000) return fmt_int(bytes) + " B";
    return fmt_scaled(bytes, 1000.0, units, 6);
}

std::string fmt_bytes_both(uint64_t bytes) {
    if (bytes < 1024) return fmt_int(bytes) + " B";
    return fmt_bytes(bytes) + " (" + fmt_bytes_si(bytes) + ")";
}

std::string fmt_bytes_pair(uint64_t used, uint64_t total) {
    static const char* const UNITS[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int idx = 0;
    uint64_t scale = 1;
    while (idx < 5 && total >= scale * 1024) {
        scale *= 1024;
        ++idx;
    }
    int decimals = idx == 0 ? 0 : 2;
    double s = static_cast<double>(scale);
    return fmt_double(static_cast<double>(used) / s, decimals) + " / " +
           fmt_double(static_cast<double>(total) / s, decimals) + " " + UNITS[idx];
}

std::string fmt_hz(uint64_t hz) {
    if (hz == 0) return {};
    if (hz > 999999999ULL) return fmt_double(static_cast<double>(hz) / 1e9, 2) + " GHz";
    if (hz > 999999ULL) return fmt_double(static_cast<double>(hz) / 1e6, 0) + " MHz";
    if (hz > 999ULL) return fmt_double(static_cast<double>(hz) / 1e3, 0) + " kHz";
    return fmt_int(hz) + " Hz";
}

std::string fmt_khz(uint64_t khz) { return fmt_hz(khz * 1000ULL); }

std::string fmt_mhz(double mhz) {
    if (!(mhz > 0)) return {};
    // Converting a value beyond the 64-bit range (an absurd or infinite
    // reading) would be undefined; such a value shows as the largest one.
    const double hz = mhz * 1000000.0 + 0.5;
    constexpr double LIMIT = 18446744073709551616.0;  // 2^64
    return fmt_hz(hz >= LIMIT ? UINT64_MAX : static_cast<uint64_t>(hz));
}

std::string fmt_duration(uint64_t seconds) {
    unsigned long long days = seconds / 86400, hours = (seconds % 86400) / 3600,
                       minutes = (seconds % 3600) / 60, secs = seconds % 60;
    char buf[64];
    if (seconds >= 86400)
        std::snprintf(buf, sizeof buf, "%llu d %02llu:%02llu:%02llu", days, hours, minutes, secs);
    else
        std::snprintf(buf, sizeof buf, "%02llu:%02llu:%02llu", hours, minutes, secs);
    return buf;
}

std::string fmt_columns(const std::vector<std::string>& tokens, size_t max_line_chars) {
    if (tokens.empty()) return {};
    size_t width = 0;
    for (const auto& t : tokens) width = std::max(width, t.size());
    width += 2;
    size_t per_line = std::max<size_t>(2, max_line_chars / width);
    std::string out;
    for (size_t i = 0; i < tokens.size(); ++i) {
        if (i > 0 && i % per_line == 0) out += '\n';
        out += tokens[i];
        bool last_of_line = (i + 1) % per_line == 0;
        bool last = i + 1 == tokens.size();
        if (!last_of_line && !last) out.append(width - tokens[i].size(), ' ');
    }
    return out;
}

// ---- UTF-8 -----------------------------------------------------------------

namespace {

// Length of the well-formed UTF-8 sequence starting at s[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and values beyond
// U+10FFFF count as malformed).
size_t utf8_sequence_length(const std::string& s, size_t i) {
    auto at = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char b = at(i);
    if (b < 0x80) return 1;
    size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3;
        if (b == 0xE0) lo = 0xA0;
        if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4;
        if (b == 0xF0) lo = 0x90;
        if (b == 0xF4) hi = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (size_t k = 2; k < len; ++k)
        if (at(i + k) < 0x80 || at(i + k) > 0xBF) return 0;
    return len;
}

}  // namespace

bool is_valid_utf8(const std::string& s) {
    for (size_t i = 0; i < s.size();) {
        // Kernel and firmware texts are ASCII almost always: eight bytes at a time.
        uint64_t word;
        if (i + sizeof word <= s.size()) {
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        size_t len = utf8_sequence_length(s, i);
        if (len == 0) return false;
        i += len;
    }
    return true;
}

std::string valid_utf8(const std::string& s) {
    if (is_valid_utf8(s)) return s;
    std::string out;
    out.reserve(s.size() + 8);
    size_t i = 0;
    while (i < s.size()) {
        size_t len = utf8_sequence_length(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, len);
            i += len;
        }
    }
    return out;
}

namespace {

// C0 controls, DEL and the C1 range (U+0080 to U+009F, two bytes from C2 80).
bool is_control(const std::string& s, size_t i, size_t len, bool keep_line_feeds) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (len == 2) return b == 0xC2 && static_cast<unsigned char>(s[i + 1]) < 0xA0;
    if (len != 1 || b == '\t' || (keep_line_feeds && b == '\n')) return false;
    return b < 0x20 || b == 0x7F;
}

}  // namespace

std::string display_text(const std::string& s, bool keep_line_feeds) {
    // Most texts need nothing: they come back as they are.
    size_t i = 0, len = 0;
    for (; i < s.size(); i += len) {
        len = utf8_sequence_length(s, i);
        if (len == 0 || is_control(s, i, len, keep_line_feeds)) break;
    }
    if (i == s.size()) return s;
    std::string out(s, 0, i);
    for (; i < s.size(); i += len) {
        len = utf8_sequence_length(s, i);
        if (len == 0) {
            out += "\xEF\xBF\xBD";
            len = 1;
        } else if (!is_control(s, i, len, keep_line_feeds)) {
            out.append(s, i, len);
        }
    }
    return out;
}

std::string unescape_octal(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size()) {
            const std::string code = s.substr(i + 1, 3);
            char c = 0;
            if (code == "040")
                c = ' ';
            else if (code == "011")
                c = '\t';
            else if (code == "012")
                c = '\n';
            else if (code == "134")
                c = '\\';
            if (c) {
                out += c;
                i += 3;
                continue;
            }
        }
        out += s[i];
    }
    return out;
}

// ---- Counters to rates ----------------------------------------------------

double rate_per_second(CounterRate& state, uint64_t value, double now_seconds) {
    const bool had_sample = state.last_seconds >= 0.0;
    const uint64_t previous = state.last;
    const double elapsed = now_seconds - state.last_seconds;
    state.last = value;
    state.last_seconds = now_seconds;
    if (!had_sample || value < previous || !(elapsed > 0.0)) return -1.0;
    return static_cast<double>(value - previous) / elapsed;
}

double monotonic_seconds() {
    struct timespec ts;
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

}  // namespace util
