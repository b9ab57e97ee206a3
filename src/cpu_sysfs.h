// The kernel's processor files as the "cpu" and "topo" pages both read them:
// CPU lists and masks, /proc/cpuinfo, where each CPU sits (package, core,
// SMT siblings), its cache indices, the socket chooser, the core tiles and
// the current clock of each CPU, read at most once per tick.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "probe.h"

namespace cpusys {

extern const std::string CPU_DIR;  // "/sys/devices/system/cpu"

// The kernel's largest CPU count: no list of CPUs is longer than this,
// however damaged the file it came from.
constexpr size_t MAX_CPUS = 8192;

// "/sys/devices/system/cpu/cpu3" and, with a tail, ".../cpu3/topology".
std::string cpu_path(int cpu, const std::string& tail);

// ---- One reading per page collection ---------------------------------------
// Between `keep_files(true)` and `keep_files(false)` (one page collection)
// both pages read each processor file and directory once (through
// util::keep_reads, so other pages share them); outside it, every call reads
// afresh. Either call forgets what was kept here.
void keep_files(bool keep);
std::string read_kept(const std::string& path);                                         // util::read_file
std::vector<std::string> list_kept(const std::string& dir, const std::string& prefix);  // util::list_dir

// ---- CPU lists -------------------------------------------------------------
// The list syntax ('0-3,8,10-11'), in the order written, duplicates kept; a
// piece that is no number counts as 0, a backwards range as nothing.
std::vector<int> parse_list(const std::string& text);
// The mask syntax of older kernels ('00000000,0000000f', most significant
// word first), in ascending order.
std::vector<int> parse_mask(const std::string& mask);
// Back to the list syntax, sorted and without duplicates: '0-3,8'.
std::string list_text(std::vector<int> cpus);
// A list file, or the mask file beside it where the list is missing or empty.
std::vector<int> read_list(const std::string& list_path, const std::string& mask_path);

// The machine's present and online CPUs, in the order of the kernel's lists.
struct CpuLists {
    std::vector<int> present;
    std::vector<int> online;
};
// Kernels before the "present" and "online" files say it with the CPU
// directories: every cpuN is present, and online unless its own "online"
// file holds 0 (the boot CPU has none).
CpuLists read_cpu_lists();

// ---- /proc/cpuinfo ---------------------------------------------------------
struct CpuInfoBlock {
    std::vector<std::pair<std::string, std::string>> fields;  // file order, trimmed
    // The value of the first field named exactly `key`; "" when none.
    std::string get(const std::string& key) const;
};
// One block per processor, file order; keys and values are valid UTF-8.
std::vector<CpuInfoBlock> read_cpuinfo();

// ---- Where a CPU sits ------------------------------------------------------
struct Place {
    std::string package;  // texts as read, empty when the file is absent
    std::string die;
    std::string cluster;
    std::string core;
    std::string siblings;  // its SMT siblings in the list syntax, empty when unknown
};
using Places = std::map<int, Place>;

// Die and cluster ids only when `with_groups` (the topology page shows them).
Place read_place(int cpu, bool with_groups);
Places read_places(const std::vector<int>& cpus, bool with_groups);
// What tells one core from another: the set of SMT siblings, else (without
// sibling files) package and core id; "" when the CPU's core is unknown.
// Core ids alone repeat inside a package on many machines (books, clusters,
// dies on older kernels).
std::string core_key(const Place& place);
const Place& place_of(const Places& places, int cpu);
// Distinct known cores among `cpus`.
size_t count_cores(const Places& places, const std::vector<int>& cpus);

// ---- Caches ----------------------------------------------------------------
struct CacheIndex {
    std::string dir;  // the "indexN" directory
    int level = 0;    // 0 when unreadable
    std::string type;
    std::string shared_list;  // shared_cpu_list, or shared_cpu_map in the list syntax
};
// The CPU's cache indices in natural order. Most instances are shared by
// several CPUs, so what describes an instance is read on demand below.
std::vector<CacheIndex> read_caches(int cpu);
// Its "size" as written, such as '32K'; "" when absent.
std::string cache_size_text(const CacheIndex& index);
// '32K', '8M', '512' in bytes; 0 for an empty text or one that overflows.
uint64_t cache_size_bytes(const std::string& text);
// "L1d", "L1i", "L2".
std::string cache_label(int level, const std::string& type);

// ---- Socket chooser and core tiles -----------------------------------------
// "Socket 3", or the unknown text for the kernel's -1.
std::string socket_name(int id);
// All, then one entry per package id (ascending); no options for fewer than
// two packages. The entry of `socket` is selected, else "All".
probe::Selector socket_selector(const std::vector<int>& package_ids, int socket);
// One tile per CPU, in order, with package, core id, online state and the
// first-thread mark of its core; clocks are the caller's.
std::vector<probe::Core> core_tiles(const std::vector<int>& cpus, const Places& places,
                                    const std::set<int>& online);

// ---- Current clock ---------------------------------------------------------
// scaling_cur_freq in kHz, read now (once per page collection); 0 when unreadable.
uint64_t current_khz(int cpu);
// The same, read at most once per tick of `now_seconds` (monotonic) however
// many pages ask: on some drivers each read is a cross-CPU call.
uint64_t tick_khz(int cpu, double now_seconds);
// Tests change clock files between ticks of the same second.
void forget_clocks();

}  // namespace cpusys
