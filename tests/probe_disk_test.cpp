// The "disk" page on a workstation fixture (NVMe with and without multipath,
// identical NVMe drives, SATA SSD and HDD with drivetemp, a USB stick, a card
// reader without a card), on a real server tree, on this machine, and with
// real file systems mounted on loop devices in a private mount namespace.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "fixture.h"
#include "hw/root_data.h"
#include "i18n.h"
#include "probe.h"
#include "sensors.h"
#include "util.h"

namespace {

using probe::Card;
using probe::Page;
using probe::Row;

const Card* find_card(const Page& page, const std::string& title, const std::string& subtitle = "") {
    for (const Card& c : page.cards)
        if (c.title == title && (subtitle.empty() || c.subtitle == subtitle)) return &c;
    return nullptr;
}

const Row* find_row(const Card* card, const std::string& name) {
    if (!card) return nullptr;
    for (const Row& r : card->rows)
        if (r.name == name) return &r;
    return nullptr;
}

std::string value_of(const Card* card, const std::string& name) {
    const Row* r = find_row(card, name);
    return r ? r->value : "<none>";
}

// A drive's identification card: the first one naming a block device.
const Card* ident_of(const Page& page) {
    for (const Card& c : page.cards)
        if (find_row(&c, "Block device")) return &c;
    return nullptr;
}

// The usage column from df's "used size pcent" figures in bytes.
std::string usage_from_df(std::istream& df) {
    uint64_t used = 0, size = 0;
    double percent = 0;
    df >> used >> size >> percent;
    df.ignore(1 << 20, '\n');
    return util::fmt_bytes(used) + " of " + util::fmt_bytes(size) + "  " + util::fmt_percent(percent, 0) +
           " in use";
}

class DiskPage : public ::testing::Test {
protected:
    void SetUp() override {
        util::set_number_format(".", ",");
        sensors::forget_kept();
        hw::RootData::instance() = hw::RootData();
    }
    void TearDown() override {
        util::set_number_format(",", ".");
        sensors::forget_kept();
        hw::RootData::instance() = hw::RootData();
    }
};

// ---- The workstation ------------------------------------------------------------

TEST_F(DiskPage, WorkstationOverviewListsWholeDrivesOnly) {
    zqtest::FixtureRoot root("disk/workstation");
    EXPECT_TRUE(probe::has_disks());
    Page page = probe::collect_disk(-1);
    EXPECT_EQ(page.headline, "Storage");
    EXPECT_EQ(page.subline, "8 drives");
    ASSERT_EQ(page.stats.size(), 2u);
    EXPECT_EQ(page.stats[0].value, "8");
    // 2000 + 3 × 1000 GB-class NVMe, 1 TB + 4 TB SATA, a 30 GB stick: sectors summed.
    EXPECT_EQ(page.stats[1].value,
              util::fmt_bytes((3907029168ull * 2 + 1953525168ull * 3 + 7814037168ull + 60063744ull) * 512));
    const Card* overview = find_card(page, "Overview");
    ASSERT_NE(overview, nullptr);
    struct Expect {
        const char* title;
        const char* note;
        const char* kind;
        const char* transport;
    } const expected[] = {
        {"WD_BLACK SN850X 2000GB", "/dev/nvme0n1", "SSD", "pcie"},
        {"Samsung SSD 980 PRO 1TB", "/dev/nvme1n1", "SSD", "pcie"},
        {"Samsung SSD 980 PRO 1TB", "/dev/nvme2n1", "SSD", "pcie"},
        // The multipath namespace once; its hidden path device nvme3c3n1 not at all.
        {"INTEL SSDPE2KX020T8", "/dev/nvme3n1", "SSD", "pcie"},
        {"Samsung SSD 870 EVO 1TB", "/dev/sda", "SSD", "sata"},  // vendor "ATA" is no name
        {"WDC WD40EFRX-68N32N0", "/dev/sdb", "HDD", "sata"},
        {"SanDisk Cruzer Blade", "/dev/sdc", "HDD", "usb"},
        {"Generic- SD/MMC", "/dev/sdd", "", "usb"},
    };
    ASSERT_EQ(overview->rows.size(), std::size(expected));
    for (size_t i = 0; i < std::size(expected); ++i) {
        const Row& r = overview->rows[i];
        SCOPED_TRACE(expected[i].note);
        EXPECT_EQ(r.name, expected[i].title);
        EXPECT_EQ(r.note, expected[i].note);
        ASSERT_EQ(r.cols.size(), 3u);
        EXPECT_EQ(r.cols[1], expected[i].kind);
        EXPECT_EQ(r.cols[2], expected[i].transport);
    }
    EXPECT_EQ(overview->rows[7].cols[0], "no media");
    ASSERT_EQ(page.selector.options.size(), 9u);
    EXPECT_EQ(page.selector.options[0], "All");
    EXPECT_EQ(page.selector.selected, 0);
    // The first two drives in detail, then the hint to pick another.
    EXPECT_NE(find_card(page, "WD_BLACK SN850X 2000GB"), nullptr);
    EXPECT_NE(find_card(page, "Partition", "nvme1n1"), nullptr);
    EXPECT_EQ(find_card(page, "Partition", "nvme2n1"), nullptr);
    EXPECT_EQ(page.cards.back().hint, tr("msg.select_disk"));
}

// Each drive alone: its own temperature channel (tied through the chip's
// device, so the two identical drives differ), connection and cards.
TEST_F(DiskPage, WorkstationDriveDetails) {
    zqtest::FixtureRoot root("disk/workstation");
    const std::string HW = "/sys/class/hwmon/";
    struct Expect {
        int index;
        const char* node;
        const char* temperature;
        const char* sensor;
        const char* transport;
        const char* pci;
        const char* depth;  // connection card
        const char* link;
        const char* link_max;
        bool health;
    } const drives[] = {
        {0, "nvme0n1", "41.5 °C", "hwmon0", "pcie", "0000:01:00.0", "1,024", "PCIe 3.0 ×2", "max PCIe 4.0 ×4",
         true},
        {1, "nvme1n1", "37.0 °C", "hwmon2", "pcie", "0000:02:00.0", "1,024", "PCIe 4.0 ×4", "", true},
        {2, "nvme2n1", "44.0 °C", "hwmon3", "pcie", "0000:03:00.0", "1,024", "PCIe 4.0 ×4", "", true},
        {3, "nvme3n1", "36.5 °C", "hwmon4", "pcie", "0000:04:00.0", "1,024", "PCIe 3.0 ×4", "", true},
        {4, "sda", "33.0 °C", "hwmon5", "sata", "0000:00:17.0", "32", "<none>", "", false},
        {5, "sdb", "38.0 °C", "hwmon6", "sata", "0000:00:17.0", "32", "<none>", "", false},
        {6, "sdc", "<none>", "", "usb", "0000:00:14.0", "1", "<none>", "", false},
        {7, "sdd", "<none>", "", "usb", "0000:00:14.0", "1", "<none>", "", false},
    };
    for (const Expect& e : drives) {
        SCOPED_TRACE(e.node);
        Page page = probe::collect_disk(e.index);
        EXPECT_EQ(page.selector.selected, e.index + 1);
        const Card* ident = ident_of(page);
        EXPECT_EQ(value_of(ident, "Block device"), std::string("/dev/") + e.node);
        EXPECT_EQ(value_of(ident, "Temperature"), e.temperature);
        if (const Row* t = find_row(ident, "Temperature")) {
            EXPECT_EQ(t->note, "hwmon");
            EXPECT_EQ(t->live, std::string("disk.temp:") + e.node);
            root.write(HW + e.sensor + "/temp1_input", "50000\n");  // the tick reads the drive's own channel
            sensors::forget_kept();
            probe::refresh_live_disk(page);
            EXPECT_EQ(t->value, "50.0 °C");
        }
        const Card* link = find_card(page, "Connection", e.node);
        EXPECT_EQ(value_of(link, "Transport"), e.transport);
        EXPECT_EQ(value_of(link, "PCI address"), e.pci);
        EXPECT_EQ(value_of(link, "Queue depth"), e.depth);
        EXPECT_EQ(value_of(link, "PCIe link"), e.link);
        if (const Row* r = find_row(link, "PCIe link")) {
            EXPECT_EQ(r->extra, e.link_max);
        }
        EXPECT_EQ(find_card(page, "Health") != nullptr, e.health);
        EXPECT_NE(page.cards.back().hint, tr("msg.select_disk"));
    }

    Page nvme0 = probe::collect_disk(0);
    const Card* link = find_card(nvme0, "Connection", "nvme0n1");
    EXPECT_EQ(value_of(link, "Controller state"), "live");
    EXPECT_EQ(value_of(link, "Queue count"), "17");
    EXPECT_EQ(find_row(link, "NUMA nodes"), nullptr);  // -1: no node
    EXPECT_TRUE(util::starts_with(value_of(link, "NQN"), "nqn.2018-01.com.wdc:"));
    // The active scheduler without its brackets; "none" zoning is no row.
    const Card* queue = find_card(nvme0, "Queue", "nvme0n1");
    EXPECT_EQ(value_of(queue, "I/O scheduler"), "none");
    EXPECT_EQ(find_row(queue, "Zoned model"), nullptr);

    Page stick = probe::collect_disk(6);
    EXPECT_EQ(value_of(ident_of(stick), "Removable"), "Yes");

    // A card reader without a card: no type, no capacity card, no partitions.
    Page reader = probe::collect_disk(7);
    EXPECT_EQ(value_of(ident_of(reader), "Capacity"), "no media");
    EXPECT_EQ(find_row(ident_of(reader), "Type"), nullptr);
    EXPECT_EQ(find_card(reader, "Capacity", "sdd"), nullptr);
    EXPECT_EQ(find_card(reader, "Partition", "sdd"), nullptr);
}

TEST_F(DiskPage, NvmeHealthLockedUntilPrivilegedData) {
    zqtest::FixtureRoot root("disk/workstation");
    const Page before = probe::collect_disk(3);
    const Card* locked = find_card(before, "Health");
    ASSERT_NE(locked, nullptr);
    EXPECT_TRUE(locked->rows.empty());
    EXPECT_EQ(locked->hint, tr("msg.smart_needs_root"));
    EXPECT_TRUE(locked->hint_elevates);

    hw::NvmeHealth h;
    h.node = "nvme3";  // the multipath namespace's controller, found through its subsystem
    h.critical_warning = 0x25;
    h.temperature_c = 36.0;
    h.available_spare = 100;
    h.spare_threshold = 10;
    h.percentage_used = 103;
    h.data_units_read = 1000000;
    h.power_on_hours = 12345;
    h.sensors_c = {35.0, 41.5};
    hw::RootData::instance().available = true;
    hw::RootData::instance().nvme = {h};
    Page page = probe::collect_disk(3);
    const Card* health = find_card(page, "Health", "nvme3");
    ASSERT_NE(health, nullptr);
    EXPECT_TRUE(health->hint.empty());
    struct {
        const char* name;
        std::string value;
    } const rows[] = {
        {"Critical warning", "Available spare, Health"},  // 0x20 has no name
        {"Life used", "103 %"},
        {"Available spare", "100 %"},
        {"Temperature", "36.0 °C"},
        {"Temperatures", "35.0 °C   ·   41.5 °C"},
        {"Read", util::fmt_bytes(512000000000ull)},
        {"Power-on hours", "12,345"},
        {"Unsafe shutdowns", "0"},
        {"Media errors", "0"},
        {"Error log entries", "0"},
    };
    ASSERT_EQ(health->rows.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(health->rows[i].name, rows[i].name);
        EXPECT_EQ(health->rows[i].value, rows[i].value);
        EXPECT_FALSE(health->rows[i].locked);
    }
    EXPECT_EQ(health->rows[2].extra, "min 10 %");
    // nvme0 has no record: still the hint.
    const Page nvme0 = probe::collect_disk(0);
    EXPECT_TRUE(find_card(nvme0, "Health", "nvme0")->hint_elevates);
}

TEST_F(DiskPage, PartitionsWithMountsLabelsAndUsage) {
    zqtest::FixtureRoot root("disk/workstation");
    for (const char* dir : {"/boot/efi", "/mnt/fast data", "/srv/archive"}) root.mkdir(dir);
    struct Expect {
        int index;
        const char* name;
        const char* note;
        std::vector<std::string> cols;  // the usage column is checked apart
        const char* usage_of;
    } const parts[] = {
        {0, "nvme0n1p1  EFI", "/dev/nvme0n1p1  ·  6E3C-1A2B", {"512 MiB", "vfat", "/boot/efi"}, "/boot/efi"},
        // Mounted twice: the first line of the table wins.
        {0,
         "nvme0n1p2",
         "/dev/nvme0n1p2  ·  0f7b1a4c-3f0e-4e1e-9d1c-2b7a8c5e6d4f",
         {util::fmt_bytes(3905976320ull * 512), "ext4", "/"},
         "/"},
        // A blank in the mount point is decoded, and its usage found.
        {4,
         "sda1  Data",
         "/dev/sda1  ·  b2a7e0c1-5d3f-4a8b-9e6c-1f2d3c4b5a69",
         {util::fmt_bytes(1953523120ull * 512), "ext4", "/mnt/fast data"},
         "/mnt/fast data"},
        // btrfs reports an anonymous device number: found by its source.
        {5,
         "sdb1  Archive",
         "/dev/sdb1",
         {util::fmt_bytes(7814035120ull * 512), "btrfs", "/srv/archive"},
         "/srv/archive"},
        // A FUSE mount naming the partition as its source is not the partition.
        {6, "sdc1", "/dev/sdc1  ·  C0DE-F00D", {util::fmt_bytes(60063712ull * 512), "not mounted"}, nullptr},
    };
    for (const Expect& e : parts) {
        SCOPED_TRACE(e.name);
        Page page = probe::collect_disk(e.index);
        const Card* card = nullptr;
        for (const Card& c : page.cards)
            if (c.title == "Partition") card = &c;
        ASSERT_NE(card, nullptr);
        EXPECT_TRUE(card->wide);
        const Row* row = nullptr;
        for (const Row& r : card->rows)
            if (r.name == e.name) row = &r;
        ASSERT_NE(row, nullptr);
        EXPECT_EQ(row->note, e.note);
        std::vector<std::string> cols = row->cols;
        if (e.usage_of) {
            ASSERT_EQ(cols.size(), 4u);
            // The fixture lives on a file system other tests write to at the
            // same time: the used part may move between the two reads.
            std::istringstream df(
                zqtest::run({"df", "-B1", "--output=used,size,pcent", util::host_path(e.usage_of)}).out);
            df.ignore(1 << 20, '\n');
            const std::string want = usage_from_df(df), got = cols.back();
            EXPECT_EQ(got.substr(got.find(" of ")), want.substr(want.find(" of "))) << got;
            EXPECT_TRUE(util::ends_with(got, " in use")) << got;
            cols.pop_back();
        }
        EXPECT_EQ(cols, e.cols);
    }
}

// ---- Rates ----------------------------------------------------------------------

std::string stat_line(uint64_t reads, uint64_t read_sectors, uint64_t writes, uint64_t write_sectors,
                      uint64_t io_ms) {
    std::ostringstream s;
    s << "  " << reads << " 0 " << read_sectors << " 10 " << writes << " 0 " << write_sectors << " 20 3 "
      << io_ms << " 30 0 0 0 0 0 0\n";
    return s.str();
}

TEST_F(DiskPage, RatesFollowAdvancingResettingAndWrappingCounters) {
    zqtest::FixtureRoot root("disk/workstation");
    const std::string stat = "/sys/block/sda/stat";
    root.write(stat, stat_line(100, 1000, 50, 2000, 59999));
    Page page = probe::collect_disk(4);
    const Card* io = find_card(page, "I/O statistics", "sda");
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(value_of(io, "Read throughput"), "—");
    EXPECT_EQ(value_of(io, "I/O time"), "00:00:59");
    EXPECT_EQ(find_row(io, "Requests in flight")->live, "disk.flight:sda");
    auto rates = [&] { return value_of(io, "Read throughput") + " | " + value_of(io, "Write throughput"); };
    auto is_rate = [](const std::string& t) { return util::ends_with(t, "/s"); };

    struct Step {
        uint64_t read_sectors, write_sectors;
        bool read_rate, write_rate;  // a rate shown rather than "—"
    } const steps[] = {
        {1000 + (1ull << 30), 2000, true, false},  // reading fast, nothing written
        {1000 + (1ull << 31), 2000 + (1ull << 30), true, true},
        {5, 7, false, false},                              // device re-created: counters reset
        {5 + (1ull << 30), 7 + (1ull << 30), true, true},  // counting again from there
        {4294967000ull, 4294967000ull, true, true},        // a 32-bit counter near its top
        {100, 100, false, false},                          // ... wrapped
    };
    for (const Step& s : steps) {
        root.write(stat, stat_line(7, s.read_sectors, 8, s.write_sectors, 1000));
        probe::refresh_live_disk(page);
        SCOPED_TRACE(rates());
        EXPECT_EQ(is_rate(value_of(io, "Read throughput")), s.read_rate);
        EXPECT_EQ(is_rate(value_of(io, "Write throughput")), s.write_rate);
        if (!s.read_rate) {
            EXPECT_EQ(value_of(io, "Read throughput"), "—");
        }
        EXPECT_EQ(value_of(io, "Read"), util::fmt_bytes(s.read_sectors * 512));
        EXPECT_EQ(value_of(io, "Read requests"), "7");
    }
    // An unreadable or short stat file keeps what the rows show.
    const std::string before = value_of(io, "Read");
    root.write(stat, "1 2 3 4 5 6 7 8 9 10\n");
    probe::refresh_live_disk(page);
    EXPECT_EQ(value_of(io, "Read"), before);
    EXPECT_EQ(value_of(io, "Requests in flight"), "3");

    // A drive not sampled yet keeps the row's text until there is an earlier sample.
    root.write("/sys/block/sdy/stat", stat_line(1, 8, 1, 8, 0));  // never built, so never sampled
    Row& rate = page.cards.emplace_back().rows.emplace_back("Read throughput", "12.0 MiB/s", "stat", false,
                                                            "disk.rrate:sdy", "");
    probe::refresh_live_disk(page);
    EXPECT_EQ(rate.value, "12.0 MiB/s");
    root.write("/sys/block/sdy/stat", stat_line(1, 8 + (1ull << 30), 1, 8, 0));
    probe::refresh_live_disk(page);
    EXPECT_TRUE(util::ends_with(rate.value, "/s") && rate.value != "12.0 MiB/s") << rate.value;
}

// A device that cannot be aligned reads -1.
TEST_F(DiskPage, AlignmentOnlyWhenTheDeviceHasOne) {
    zqtest::FixtureRoot root("disk/workstation");
    for (const auto& [offset, shown] : std::vector<std::pair<std::string, std::string>>{
             {"3584\n", util::fmt_bytes(3584)}, {"-1\n", "<none>"}, {"0\n", "<none>"}}) {
        root.write("/sys/block/sdb/alignment_offset", offset);
        EXPECT_EQ(value_of(find_card(probe::collect_disk(5), "Capacity", "sdb"), "Alignment"), shown)
            << offset;
    }
}

TEST_F(DiskPage, TemperatureRowsFollowTheirOwnChannel) {
    zqtest::FixtureRoot root("disk/workstation");
    Page page = probe::collect_disk(-1);  // nvme0n1 and nvme1n1
    const std::string HW = "/sys/devices/pci0000:00/0000:00:01.";
    root.write(HW + "1/0000:01:00.0/nvme/nvme0/hwmon0/temp1_input", "52000\n");
    root.write(HW + "2/0000:02:00.0/nvme/nvme1/hwmon2/temp1_input", "39000\n");
    probe::refresh_live_disk(page);
    EXPECT_EQ(value_of(find_card(page, "WD_BLACK SN850X 2000GB"), "Temperature"), "52.0 °C");
    EXPECT_EQ(value_of(find_card(page, "Samsung SSD 980 PRO 1TB"), "Temperature"), "39.0 °C");

    // A channel that vanished leaves its row as it was.
    root.remove(HW + "2/0000:02:00.0/nvme/nvme1/hwmon2/temp1_input");
    sensors::forget_kept();
    probe::refresh_live_disk(page);
    EXPECT_EQ(value_of(find_card(page, "Samsung SSD 980 PRO 1TB"), "Temperature"), "39.0 °C");
}

// ---- A real server tree ----------------------------------------------------------

TEST_F(DiskPage, ServerWithSixPartitions) {
    const std::string tarball = zqtest::shared_data("hwloc-linux/40intel64-2g2n4c+pcilocality.tar.bz2");
    if (tarball.empty()) GTEST_SKIP() << "shared data absent";
    zqtest::TempDir tmp;
    const std::string top = zqtest::unpack_tarball(tarball, tmp.path());
    ASSERT_FALSE(top.empty());
    zqtest::ScopedRoot root(top);
    Page page = probe::collect_disk(-1);
    // Loop and RAM disks are left out: the RAID volume and the DVD drive remain.
    ASSERT_EQ(page.selector.options.size(), 3u);
    EXPECT_EQ(page.selector.options[1], "DELL PERC H700");
    EXPECT_EQ(page.selector.options[2], "PLDS DVD+-RW DS-8A5SH");
    const Card* ident = find_card(page, "DELL PERC H700");
    EXPECT_EQ(value_of(ident, "Firmware"), "2.10");
    EXPECT_EQ(value_of(ident, "Type"), "HDD");
    EXPECT_EQ(value_of(ident, "Capacity"), util::fmt_bytes(3512991744ull * 512));
    const Card* link = find_card(page, "Connection", "sda");
    EXPECT_EQ(value_of(link, "PCI address"), "0000:01:00.0");
    EXPECT_EQ(value_of(link, "Queue depth"), "128");
    const Card* queue = find_card(page, "Queue", "sda");
    EXPECT_EQ(value_of(queue, "I/O scheduler"), "cfq");
    EXPECT_EQ(find_row(queue, "Maximum request (HW)"), nullptr);  // equal to the other
    const Card* parts = find_card(page, "Partition", "sda");
    ASSERT_NE(parts, nullptr);
    const uint64_t sectors[] = {40000000, 3999744, 3200000000, 2, 31997952, 236984320};
    ASSERT_EQ(parts->rows.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(parts->rows[i].name, "sda" + std::to_string(i + 1));
        ASSERT_EQ(parts->rows[i].cols.size(), 2u);
        EXPECT_EQ(parts->rows[i].cols[0], util::fmt_bytes(sectors[i] * 512));
        EXPECT_EQ(parts->rows[i].cols[1], "not mounted");
    }
    const Card* io = find_card(page, "I/O statistics", "sda");
    EXPECT_EQ(value_of(io, "Read requests"), "1,006,364");
    EXPECT_EQ(value_of(io, "Read"), util::fmt_bytes(22866675ull * 512));
}

// ---- This machine ----------------------------------------------------------------

std::string capture(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[512];
        while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
        pclose(p);
    }
    return out;
}

TEST_F(DiskPage, ThisMachineMatchesLsblk) {
    struct Drive {
        std::string name;
        uint64_t bytes;
        bool rotational;
    };
    std::vector<Drive> drives;
    std::istringstream lines(capture("lsblk -d -n -b -o NAME,SIZE,ROTA,TYPE 2>/dev/null"));
    for (std::string name, type; lines >> name;) {
        uint64_t bytes = 0;
        int rota = 0;
        lines >> bytes >> rota >> type;
        if (util::starts_with(name, "loop") || util::starts_with(name, "zram") ||
            util::starts_with(name, "dm-"))
            continue;
        drives.push_back({name, bytes, rota == 1});
    }
    if (drives.empty()) GTEST_SKIP() << "lsblk lists no drive here";
    EXPECT_TRUE(probe::has_disks());
    for (size_t i = 0; i < drives.size(); ++i) {
        const Drive& d = drives[i];
        SCOPED_TRACE(d.name);
        Page page = probe::collect_disk(drives.size() > 1 ? int(i) : -1);
        const Card& ident = *ident_of(page);
        EXPECT_EQ(value_of(&ident, "Block device"), "/dev/" + d.name);
        EXPECT_EQ(value_of(&ident, "Capacity"), d.bytes ? util::fmt_bytes(d.bytes) : "no media");
        if (d.bytes) {
            EXPECT_EQ(value_of(&ident, "Type"), d.rotational ? "HDD" : "SSD");
        }
        const Card* queue = find_card(page, "Queue", d.name);
        ASSERT_NE(queue, nullptr);
        const std::string sched = util::read_file("/sys/block/" + d.name + "/queue/scheduler");
        EXPECT_NE(sched.find(value_of(queue, "I/O scheduler")), std::string::npos);
        // Whole-disk file systems (vda here) have no partition table.
        const Card* parts = find_card(page, "Partition", d.name);
        if (util::list_dir("/sys/block/" + d.name, d.name).empty() && d.bytes) {
            ASSERT_NE(parts, nullptr);
            EXPECT_EQ(parts->hint, "no partition table");
            EXPECT_TRUE(parts->rows.empty());
        }
    }
    // Writing through to the first drive shows as a write rate on the next tick.
    Page page = probe::collect_disk(0);
    const Card* io = find_card(page, "I/O statistics", drives[0].name);
    ASSERT_NE(io, nullptr);
    zqtest::TempDir tmp;
    {
        std::ofstream f(tmp.path() + "/blob", std::ios::binary);
        f << std::string(8 << 20, 'z');
    }
    capture("sync");
    probe::refresh_live_disk(page);
    const std::string rate = value_of(io, "Write throughput");
    if (capture("findmnt -n -o SOURCE --target " + tmp.path()).find(drives[0].name) != std::string::npos)
        EXPECT_TRUE(util::ends_with(rate, "/s")) << rate;
    else
        EXPECT_TRUE(rate == "—" || util::ends_with(rate, "/s")) << rate;
}

// ---- Real file systems ------------------------------------------------------------

// Loop devices the test sets up and detaches again.
struct LoopDevices {
    std::vector<std::string> devs;
    ~LoopDevices() {
        for (const std::string& d : devs) capture("losetup -d " + d + " 2>/dev/null");
    }
    std::string attach(const std::string& image, uint64_t bytes) {
        std::ofstream{image};
        if (::truncate(image.c_str(), static_cast<off_t>(bytes)) != 0) return {};
        std::string dev = util::trim(capture("losetup --find --show '" + image + "' 2>/dev/null"));
        if (!util::starts_with(dev, "/dev/loop")) return {};
        devs.push_back(dev);
        return dev;
    }
};

std::string dev_number(const std::string& dev) {
    struct stat st {};
    if (::stat(dev.c_str(), &st) != 0) return {};
    return std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
}

// A SATA drive whose partitions' dev files name the loop devices: this
// kernel reads no partition table, so the fixture stands in for one.
void write_fixture_drive(const zqtest::FixtureRoot& root, const std::vector<std::string>& numbers) {
    const std::string dev = "/sys/devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0";
    const std::string blk = dev + "/block/sdz";
    root.write(dev + "/model", "ZQ Test Disk\n");
    root.write(dev + "/vendor", "ATA     \n");
    root.write(blk + "/size", "1048576\n");
    root.write(blk + "/removable", "0\n");
    root.write(blk + "/dev", "8:240\n");
    root.write(blk + "/queue/rotational", "0\n");
    root.write(blk + "/stat", "1 0 8 0 1 0 8 0 0 0 0 0 0 0 0 0 0\n");
    root.symlink(blk + "/device", "../../../2:0:0:0");
    root.symlink("/sys/block/sdz",
                 "../devices/pci0000:00/0000:00:17.0/ata3/host2/target2:0:0/2:0:0:0/block/sdz");
    for (size_t i = 0; i < numbers.size(); ++i) {
        const std::string part = blk + "/sdz" + std::to_string(i + 1);
        root.write(part + "/partition", std::to_string(i + 1) + "\n");
        root.write(part + "/size", "262144\n");
        root.write(part + "/dev", numbers[i] + "\n");
    }
}

// ext4 keeps blocks back for root, which df counts neither used nor available.
TEST_F(DiskPage, RealMountsThroughFixturePartitions) {
    if (::geteuid() != 0) GTEST_SKIP() << "loop devices and mounts need root";
    if (capture("command -v mkfs.ext4 losetup df").empty()) GTEST_SKIP() << "no mkfs.ext4, losetup or df";
    const bool btrfs = !capture("command -v mkfs.btrfs").empty();
    zqtest::TempDir tmp;
    LoopDevices loops;
    const std::string ext4 = loops.attach(tmp.path() + "/disk-ext4.img", 64ull << 20);
    const std::string bt = btrfs ? loops.attach(tmp.path() + "/disk-btrfs.img", 128ull << 20) : "";
    if (ext4.empty() || (btrfs && bt.empty())) GTEST_SKIP() << "no free loop device";
    ASSERT_TRUE(capture("mkfs.ext4 -q -F " + ext4 + " >/dev/null 2>&1 && echo ok") == "ok\n");
    if (btrfs) {
        ASSERT_TRUE(capture("mkfs.btrfs -q -f " + bt + " >/dev/null 2>&1 && echo ok") == "ok\n");
    }

    const std::string blank = tmp.path() + "/mnt/with blank";
    const std::string bmount = tmp.path() + "/mnt/btrfs";
    zqtest::FixtureRoot root;
    write_fixture_drive(root, btrfs ? std::vector<std::string>{dev_number(ext4), dev_number(bt)}
                                    : std::vector<std::string>{dev_number(ext4)});
    // Mounted inside the namespace only: they vanish with it. A private /dev
    // holds nodes named after the fixture partitions, so the mount table
    // names them as it names real ones (btrfs is found by that source).
    // The usage figures are read there too, right before the report.
    const std::string script =
        "set -e; mkdir -p \"$1\" \"$2\"; mount -t tmpfs zq-disk /dev; mknod /dev/null c 1 3;"
        "mknod /dev/sdz1 b \"${3%:*}\" \"${3#*:}\"; mount -t ext4 /dev/sdz1 \"$1\";"
        "if [ -n \"$4\" ]; then mknod /dev/sdz2 b \"${4%:*}\" \"${4#*:}\"; mount -t btrfs /dev/sdz2 \"$2\"; "
        "fi;"
        "df -B1 --output=used,size,pcent \"$1\" ${4:+\"$2\"} | tail -n +2 >&2;"
        "exec \"$5\" --report";
    zqtest::RunResult r = zqtest::run_in_fixture(root.dir(),
                                                 {"bash", "-c", script, "zq", blank, bmount, dev_number(ext4),
                                                  btrfs ? dev_number(bt) : "", zqtest::binary()},
                                                 {"LANGUAGE=en"});
    if (r.status == zqtest::SKIP_STATUS) GTEST_SKIP() << "mount namespaces not available: " << r.err;
    ASSERT_EQ(r.status, 0) << r.err;

    std::istringstream figures(r.err);
    auto usage = [&] { return usage_from_df(figures); };
    const std::string J = "   \u00b7   ";
    EXPECT_NE(r.out.find("sdz1: 128 MiB" + J + "ext4" + J + blank + J + usage() + "\n"), std::string::npos)
        << r.out;
    if (btrfs) {
        EXPECT_NE(r.out.find("sdz2: 128 MiB" + J + "btrfs" + J + bmount + J + usage() + "\n"),
                  std::string::npos)
            << r.out;
    }
    EXPECT_EQ(r.out.find("not mounted"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("ZQ Test Disk"), std::string::npos);
}

}  // namespace
