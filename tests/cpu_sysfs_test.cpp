// The processor readers both CPU pages share, each checked once here: lists
// and masks, cpuinfo, places and cores, caches, the socket chooser, the core
// tiles and the once-per-tick clock.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cpu_sysfs.h"
#include "fixture.h"
#include "i18n.h"
#include "util.h"

namespace {

const std::string CPU = "/sys/devices/system/cpu";

TEST(CpuSysfsLists, ListSyntaxWithOneCapOnTheTotal) {
    struct Case {
        const char* text;
        std::vector<int> cpus;
    } cases[] = {
        {"0-3,8", {0, 1, 2, 3, 8}},
        {"8,0-1", {8, 0, 1}},        // order kept
        {" 0-1 , , 4 ", {0, 1, 4}},  // blanks and empty pieces
        {"3-1", {}},
        {"x", {0}},
        {"", {}},
        {"2,2", {2, 2}},
        {"9223372036854775806-9223372036854775807", {}},  // no CPU has such a number
        {"2147483646-2147483647", {2147483646, 2147483647}},
    };
    for (const Case& c : cases) EXPECT_EQ(cpusys::parse_list(c.text), c.cpus) << c.text;

    // Damaged lists: one huge range, and many ranges that are each in bounds.
    std::vector<int> huge = cpusys::parse_list("0-4294967295");
    ASSERT_EQ(huge.size(), cpusys::MAX_CPUS);
    EXPECT_EQ(huge.back(), 8191);
    std::string many;
    for (int i = 0; i < 100; ++i)
        many += (i ? "," : "") + std::to_string(i * 10000) + "-" + std::to_string(i * 10000 + 8191);
    std::vector<int> capped = cpusys::parse_list(many);
    ASSERT_EQ(capped.size(), cpusys::MAX_CPUS);
    EXPECT_EQ(capped.back(), 8191) << "the first range already fills the list";
    EXPECT_EQ(cpusys::parse_list("0-4999").size(), 5000u);
}

TEST(CpuSysfsLists, MasksAndListTextRoundTrip) {
    EXPECT_EQ(cpusys::parse_mask("00000000,0000000f\n"), (std::vector<int>{0, 1, 2, 3}));
    EXPECT_EQ(cpusys::parse_mask("00000001,80000000"), (std::vector<int>{31, 32}));
    EXPECT_EQ(cpusys::parse_mask("ff"), (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_TRUE(cpusys::parse_mask("").empty());
    EXPECT_EQ(cpusys::parse_mask(std::string(3000, 'f')).size(), 32u) << "a word holds 32 CPUs, however long";
    std::string words;
    for (int i = 0; i < 1000; ++i) words += "ffffffff,";
    EXPECT_EQ(cpusys::parse_mask(words + "ffffffff").size(), cpusys::MAX_CPUS);

    EXPECT_EQ(cpusys::list_text({8, 3, 1, 2, 2, 0, 10, 11}), "0-3,8,10-11");
    EXPECT_EQ(cpusys::list_text({}), "");
    EXPECT_EQ(cpusys::list_text(cpusys::parse_list("4,0-2,3")), "0-4");

    zqtest::FixtureRoot root;
    root.write("/sys/devices/system/node/node0/cpumap", "00000000,000000f0\n");
    EXPECT_EQ(
        cpusys::read_list("/sys/devices/system/node/node0/cpulist", "/sys/devices/system/node/node0/cpumap"),
        (std::vector<int>{4, 5, 6, 7}))
        << "older kernels write only the mask";
    root.write("/sys/devices/system/node/node0/cpulist", "1\n");
    EXPECT_EQ(
        cpusys::read_list("/sys/devices/system/node/node0/cpulist", "/sys/devices/system/node/node0/cpumap"),
        (std::vector<int>{1}));
}

TEST(CpuSysfsCpuinfo, BlocksFieldsAndRepairedText) {
    zqtest::FixtureRoot root;
    root.write("/proc/cpuinfo",
               "processor\t: 0\nmodel\t\t: 1\nmodel name\t: Foo: Bar\nmodel\t\t: 2\nno colon here\n"
               "flags\t\t: fpu vme\n\n\nprocessor\t: 1\nmodel name\t: Bad \xff name");
    std::vector<cpusys::CpuInfoBlock> blocks = cpusys::read_cpuinfo();
    ASSERT_EQ(blocks.size(), 2u) << "two blank lines make no empty block; the last needs none";
    EXPECT_EQ(blocks[0].get("model name"), "Foo: Bar");
    EXPECT_EQ(blocks[0].get("model"), "1") << "the first of two, never 'model name'";
    EXPECT_EQ(blocks[0].get("flags"), "fpu vme");
    EXPECT_EQ(blocks[0].get("Flags"), "");
    EXPECT_EQ(blocks[1].get("model name"), "Bad \xEF\xBF\xBD name");
}

// Six single-thread cores that share core ids, as a SPARC or s390 kernel
// writes them, beside an SMT pair and a CPU without sibling files.
TEST(CpuSysfsPlaces, CoresAreSiblingSetsNotCoreIds) {
    zqtest::FixtureRoot root;
    for (int cpu = 0; cpu < 6; ++cpu) {
        const std::string t = CPU + "/cpu" + std::to_string(cpu) + "/topology/";
        root.write(t + "physical_package_id", "0\n");
        root.write(t + "core_id", std::to_string(cpu % 2) + "\n");
        root.write(t + "thread_siblings_list", std::to_string(cpu) + "\n");
    }
    for (int cpu : {6, 7}) {  // only the mask, as older kernels
        const std::string t = CPU + "/cpu" + std::to_string(cpu) + "/topology/";
        root.write(t + "physical_package_id", "0\n");
        root.write(t + "core_id", "5\n");
        root.write(t + "thread_siblings", "000000c0\n");
    }
    root.write(CPU + "/cpu8/topology/physical_package_id", "0\n");
    root.write(CPU + "/cpu8/topology/core_id", "5\n");
    const std::vector<int> all = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    cpusys::Places places = cpusys::read_places(all, false);
    EXPECT_EQ(cpusys::count_cores(places, all), 8u) << "six singles, the pair, CPU 8 by its ids; 9 unknown";
    EXPECT_EQ(cpusys::core_key(places.at(6)), cpusys::core_key(places.at(7)));
    EXPECT_NE(cpusys::core_key(places.at(0)), cpusys::core_key(places.at(2)));
    EXPECT_EQ(cpusys::core_key(places.at(9)), "");

    std::vector<probe::Core> tiles = cpusys::core_tiles(all, places, {0, 1, 2, 3, 4, 5, 6, 7, 8});
    ASSERT_EQ(tiles.size(), all.size());
    for (int cpu : {0, 1, 2, 3, 4, 5, 6, 8, 9}) EXPECT_TRUE(tiles[cpu].first_thread) << cpu;
    EXPECT_FALSE(tiles[7].first_thread);
    EXPECT_EQ(tiles[3].core_id, 1);
    EXPECT_EQ(tiles[9].package, -1);
    EXPECT_EQ(tiles[9].core_id, -1);
    EXPECT_FALSE(tiles[9].online);
    EXPECT_TRUE(tiles[8].online);
}

TEST(CpuSysfsCaches, IndicesSizesAndLabels) {
    zqtest::FixtureRoot root;
    const std::string c = CPU + "/cpu0/cache/";
    root.write(c + "index0/level", "1\n");
    root.write(c + "index0/type", "Data\n");
    root.write(c + "index0/size", "48K\n");
    root.write(c + "index0/shared_cpu_list", "0-1\n");
    root.write(c + "index10/level", "3\n");
    root.write(c + "index10/type", "Unified\n");
    root.write(c + "index10/shared_cpu_map", "00000000,0000ffff\n");
    root.write(c + "index2/level", "2\n");
    root.write(c + "index2/type", "Instruction\n");
    std::vector<cpusys::CacheIndex> caches = cpusys::read_caches(0);
    ASSERT_EQ(caches.size(), 3u);
    EXPECT_EQ(caches[1].dir, c + "index2") << "natural order";
    EXPECT_EQ(cpusys::cache_size_text(caches[1]), "");
    EXPECT_EQ(cpusys::cache_size_text(caches[0]), "48K");
    EXPECT_EQ(caches[2].shared_list, "0-15") << "from the mask";
    EXPECT_EQ(cpusys::cache_label(caches[0].level, caches[0].type), "L1d");
    EXPECT_EQ(cpusys::cache_label(caches[1].level, caches[1].type), "L2i");
    EXPECT_EQ(cpusys::cache_label(caches[2].level, caches[2].type), "L3");
    EXPECT_EQ(cpusys::cache_label(0, ""), "L0");

    struct Size {
        const char* text;
        uint64_t bytes;
    } sizes[] = {{"32K", 32768}, {"32k", 32768}, {"8M", 8388608}, {"1G", 1073741824},          {"512", 512},
                 {"", 0},        {"K", 0},       {"0", 0},        {"18446744073709551615K", 0}};
    for (const Size& s : sizes) EXPECT_EQ(cpusys::cache_size_bytes(s.text), s.bytes) << s.text;
}

TEST(CpuSysfsChooser, SocketsByNumberAndTheUnknownPackage) {
    I18n::instance().set_language("en");
    EXPECT_TRUE(cpusys::socket_selector({0}, 0).options.empty());
    probe::Selector sel = cpusys::socket_selector({2, 10}, 10);
    EXPECT_EQ(sel.label, "Sockets");
    EXPECT_EQ(sel.options, (std::vector<std::string>{"All", "Socket 2", "Socket 10"}));
    EXPECT_EQ(sel.values, (std::vector<int>{-1, 2, 10}));
    EXPECT_EQ(sel.selected, 2);
    EXPECT_EQ(cpusys::socket_selector({2, 10}, 7).selected, 0);
    EXPECT_EQ(cpusys::socket_name(-1), tr("common.unknown")) << "the kernel's -1, not 'Socket -1'";
    I18n::instance().set_language("de");
    EXPECT_EQ(cpusys::socket_name(-1), tr("common.unknown"));
    EXPECT_NE(cpusys::socket_name(-1), "Unknown");
    I18n::instance().set_language("en");
}

TEST(CpuSysfsClock, ReadOnceWithinATick) {
    zqtest::FixtureRoot root;
    const std::string f = CPU + "/cpu3/cpufreq/scaling_cur_freq";
    root.write(f, "800000\n");
    cpusys::forget_clocks();
    EXPECT_EQ(cpusys::tick_khz(3, 100.0), 800000u);
    root.write(f, "3600000\n");
    EXPECT_EQ(cpusys::tick_khz(3, 100.2), 800000u) << "the second page of the same tick";
    EXPECT_EQ(cpusys::current_khz(3), 3600000u);
    EXPECT_EQ(cpusys::tick_khz(3, 101.0), 3600000u) << "the next tick";
    EXPECT_EQ(cpusys::tick_khz(3, 50.0), 3600000u) << "a clock that went back reads anew";
    // The clock file stays open between ticks. Taking a CPU offline removes
    // it, and the open file then reads nothing (an unlinked fixture file
    // would read on, so it is emptied first).
    root.write(f, "");
    root.remove(f);
    EXPECT_EQ(cpusys::tick_khz(3, 52.0), 0u);
    root.write(f, "2400000\n");
    EXPECT_EQ(cpusys::tick_khz(3, 53.0), 2400000u) << "back online: opened anew";
    {
        zqtest::FixtureRoot other;
        other.write(f, "1200000\n");
        EXPECT_EQ(cpusys::tick_khz(3, 54.0), 1200000u) << "another machine's file, not the one kept open";
    }
    cpusys::forget_clocks();
}

}  // namespace
