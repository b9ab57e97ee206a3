// Device-name databases: the real pci.ids and usb.ids the system installs,
// and small hand-made files for the parser's corners.
#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "fixture.h"
#include "hw/ids.h"
#include "i18n.h"
#include "util.h"

namespace hw {
struct IdsTestAccess {
    // A database loaded now, under whatever root prefix is in force.
    static std::unique_ptr<Ids> load() { return std::unique_ptr<Ids>(new Ids()); }
    static void narrow(bool on) { Ids::use_narrow_scan(on); }
    static void settle_time_ms(int64_t ms) { Ids::use_settle_time_ms(ms); }
};
}  // namespace hw

// pread, interposed for this test program: while g_between_halves is set,
// the next read stops half way and runs it, as a save landing in the middle
// of a read would.
std::function<void()> g_between_halves;

extern "C" ssize_t pread(int fd, void* buf, size_t n, off_t offset) {
    using Pread = ssize_t (*)(int, void*, size_t, off_t);
    static const auto real = reinterpret_cast<Pread>(::dlsym(RTLD_NEXT, "pread"));
    if (!g_between_halves || n < 2) return real(fd, buf, n, offset);
    const auto between = std::exchange(g_between_halves, nullptr);
    const ssize_t got = real(fd, buf, n / 2, offset);
    between();
    return got;
}

namespace {

using hw::IdsTestAccess;

// The time a file must hold still before its text counts as finished,
// shortened for one test.
class ScopedSettleTime {
public:
    explicit ScopedSettleTime(int64_t ms) { IdsTestAccess::settle_time_ms(ms); }
    ~ScopedSettleTime() { IdsTestAccess::settle_time_ms(2000); }
    ScopedSettleTime(const ScopedSettleTime&) = delete;
    ScopedSettleTime& operator=(const ScopedSettleTime&) = delete;
};

class SystemIds : public ::testing::Test {
protected:
    void SetUp() override {
        ids = IdsTestAccess::load();
        if (ids->pci_ids_path().empty() || ids->usb_ids_path().empty())
            GTEST_SKIP() << "pci.ids or usb.ids not installed (scripts/deps.sh installs them)";
    }
    std::unique_ptr<hw::Ids> ids;
};

TEST_F(SystemIds, PciVendorsDevicesAndSubsystems) {
    EXPECT_EQ(ids->pci_vendor(0x8086), "Intel Corporation");
    EXPECT_EQ(ids->pci_vendor(0x10de), "NVIDIA Corporation");
    EXPECT_EQ(ids->pci_device(0x8086, 0x1533), "I210 Gigabit Network Connection");
    EXPECT_EQ(ids->pci_subsystem(0x103c, 0x0003, 0x8086, 0x1533), "Ethernet I210-T1 GbE NIC");
    // Unlisted card: named after its subsystem vendor.
    EXPECT_EQ(ids->pci_subsystem(0x10de, 0xfff0, 0x8086, 0x1533), "NVIDIA Corporation");
    EXPECT_EQ(ids->pci_vendor(0x0002), "");
}

TEST_F(SystemIds, PciClassesSubclassesAndBridges) {
    EXPECT_EQ(ids->pci_class(0x010802), "NVM Express");
    EXPECT_EQ(ids->pci_class(0x0c0330), "XHCI");
    EXPECT_EQ(ids->pci_subclass(0x0c0330), "USB controller");
    EXPECT_EQ(ids->pci_subclass(0x010802), "Non-Volatile memory controller");
    // Every PCI bridge is a "PCI bridge", whatever its decode mode.
    EXPECT_EQ(ids->pci_subclass(0x060400), "PCI bridge");
    EXPECT_EQ(ids->pci_subclass(0x060401), "PCI bridge");
    EXPECT_EQ(ids->pci_class(0x060401), "Subtractive decode");
    EXPECT_EQ(ids->pci_class(0x060400), "Normal decode");  // programming interface 00 is listed
    EXPECT_EQ(ids->pci_subclass(0x060000), "Host bridge");
    EXPECT_EQ(ids->pci_subclass(0x06ee00), "Bridge");
    EXPECT_EQ(ids->pci_class(0x7f0000), "");
    // Codes newer than the file: the nearest level listed, never a neighbour's name.
    EXPECT_EQ(ids->pci_class(0x080700), "Generic system peripheral");  // not 00 00's "8259"
    EXPECT_EQ(ids->pci_class(0x0c0a00), "Serial bus controller");
    EXPECT_EQ(ids->pci_class(0x0d4000), "Wireless controller");
    EXPECT_EQ(ids->pci_class(0x01067e), "SATA controller");
}

// The installed databases as a user may have edited them: every name the
// file holds is found, whatever is asked first.
TEST_F(SystemIds, EditedByHandEveryNameIsFound) {
    const std::string pci = zqtest::slurp(ids->pci_ids_path()), usb = zqtest::slurp(ids->usb_ids_path());
    // `added` in front of the first `marker`.
    auto insert = [](std::string text, const std::string& marker, const std::string& added) {
        const size_t at = text.find(marker);
        return at == std::string::npos ? text : text.insert(at, added);
    };
    auto crlf = [](const std::string& text) {
        std::string out;
        for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
        return out;
    };
    // Before the first vendor line past the middle, where a search would look first.
    auto stray_in_middle = [](std::string text) {
        size_t at = text.size() / 2;
        while ((at = text.find('\n', at + 1)) != std::string::npos &&
               !std::isxdigit(static_cast<unsigned char>(text[at + 1]))) {
        }
        return at == std::string::npos ? text : text.insert(at + 1, "not a vendor\n");
    };
    const std::string appended =
        "f00c  Vendor one\n\t0001  Its device\n"
        "f00d  Vendor two\n\t\t1043 8888  Before any device\n\t0002  Device two\n";
    // Each asked first, in a fresh instance.
    const struct {
        const char* what;
        std::string pci, usb;
        std::string (*ask)(const hw::Ids&);
        const char* want;
    } cases[] = {
        {"device added out of order", insert(pci, "\n10df ", "\n\t0005  Card added by hand"), usb,
         [](const hw::Ids& i) { return i.pci_device(0x10de, 0x0005); }, "Card added by hand"},
        {"vendor after the classes", pci + appended, usb,
         [](const hw::Ids& i) { return i.pci_vendor(0xf00d); }, "Vendor two"},
        {"device after the classes", pci + appended, usb,
         [](const hw::Ids& i) { return i.pci_device(0xf00d, 0x0002); }, "Device two"},
        {"subsystem before a vendor's first device", pci + appended, usb,
         [](const hw::Ids& i) {
             (void)i.pci_class(0x020000);  // as the PCI page asks
             return i.pci_subsystem(0x1043, 0x8888, 0xf00d, 0x0001);
         },
         "ASUSTeK Computer Inc."},
        {"stray line among USB vendors", pci, stray_in_middle(usb),
         [](const hw::Ids& i) { return i.usb_vendor(0x1d6b); }, "Linux Foundation"},
        {"CR LF, blank line in a USB block", pci, insert(crlf(usb), "\r\n\t0001  1.1 root hub", "\r\n"),
         [](const hw::Ids& i) { return i.usb_device(0x1d6b, 0x0003); }, "3.0 root hub"},
        {"CR LF, blank line in a class", insert(crlf(pci), "\r\n\t00  FireWire (IEEE 1394)", "\r\n"), usb,
         [](const hw::Ids& i) { return i.pci_class(0x0c0330); }, "XHCI"},
        {"programming interface before any subclass",
         pci + "C 7d  Earlier class\n\t00  Its subclass\nC 7e  Late class\n\t\t05  Orphan prog-if\n", usb,
         [](const hw::Ids& i) { return i.pci_class(0x7e0005); }, "Late class"},
        {"garbled ids after real ones",
         insert(pci, "\n\n# List of known device classes", "\n-001  Not hex") +
             "f00e  Vendor three\n\tffff  Last device\n\t\tffff 0001  Real card\n\t\t-001 0001  Not hex\n"
             "\t-001  Not hex\n",
         usb + "f00e  Vendor three\n\tffff  Last product\n\t-001  Not hex\n",
         [](const hw::Ids& i) {
             return i.pci_vendor(0xffff) + " / " + i.pci_device(0xf00e, 0xffff) + " / " +
                    i.pci_subsystem(0xffff, 1, 0xf00e, 0xffff) + " / " + i.usb_device(0xf00e, 0xffff);
         },
         "Illegal Vendor ID / Last device / Real card / Last product"},
        {"subsystem listed as ffff ffff",
         pci + "f00e  Vendor three\n\t0001  Its device\n"
               "\t\tffff ffff  Card with all-ones ids\n",
         usb, [](const hw::Ids& i) { return i.pci_subsystem(0xffff, 0xffff, 0xf00e, 1); },
         "Card with all-ones ids"},
    };
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    for (const auto& c : cases) {
        zqtest::FixtureRoot root;
        root.write("/usr/share/misc/pci.ids", c.pci);
        root.write("/usr/share/misc/usb.ids", c.usb);
        for (bool narrow : {false, true}) {  // as on processors with and without AVX2
            IdsTestAccess::narrow(narrow);
            EXPECT_EQ(c.ask(*IdsTestAccess::load()), c.want) << c.what << (narrow ? ", narrow scan" : "");
        }
        IdsTestAccess::narrow(false);
    }
}

TEST_F(SystemIds, UsbVendorsAndProducts) {
    EXPECT_EQ(ids->usb_vendor(0x1d6b), "Linux Foundation");
    EXPECT_EQ(ids->usb_device(0x1d6b, 0x0002), "2.0 root hub");
    EXPECT_EQ(ids->usb_vendor(0x10de), "Authenex, Inc.");  // the two databases are apart
    EXPECT_EQ(ids->usb_device(0x1d6b, 0xfff0), "");
}

TEST(UsbClasses, BuiltInTableNotTheDatabase) {
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->usb_class(0x0a), "CDC Data");
    EXPECT_EQ(ids->usb_class(0x12), "USB Type-C Bridge");
    EXPECT_EQ(ids->usb_class(0x00), tr("usbclass.per_interface"));
    EXPECT_EQ(ids->usb_class(0x08), tr("tree.storage"));
    EXPECT_EQ(ids->usb_class(0x04), "");
    EXPECT_EQ(ids->usb_class(0x13), "");
}

const char* const PCI_SAMPLE =
    "#\tList of PCI ID's\n"
    "\n"
    "# Syntax: vendor, device, subsystem\n"
    "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
    "\t1638  Cezanne [Radeon Vega Series / Radeon Vega Mobile Series]\n"
    "\t\t1043 16c2  Radeon Vega 8\n"
    "\t\t1043 16c3\n"
    "\t\t1043 16c\n"
    "\t\t\t1234  too deep\n"
    "\t\n"
    "abcd\n"
    "\t0001  after a nameless vendor\n"
    "10ec\tRealtek Semiconductor Co., Ltd.\n"
    "\t8168  RTL8111/8168 PCI Express Gigabit Ethernet controller\n"
    "\t\t1462\t7c56\tTabbed subsystem\n"
    "\t\t1462 7c57  \r\n"
    "C\t00  tab after C makes a vendor line\n"
    "\t00ff  Under the C vendor\n"
    "C 02  Network\n"
    "\t00  Ethernet controller\n"
    "\t80\n"
    "C 06  Bridge\n"
    "\t04  PCI bridge\n"
    "\t\t00  Normal decode\n"
    "\t\t01  Subtractive decode\n"
    "\t00  Host bridge\n"
    "C 0c  Serial bus controller\n"
    "\t03  USB controller\n"
    "\t\t30  XHCI\n"
    "C 7e  Made-up class\n"
    "C 1\n"
    "\t05  Under a broken class header\n"
    "1af4  Red Hat, Inc.\n"
    "\t1041  Virtio network device";  // no newline at the end

const char* const USB_SAMPLE =
    "\t0001  Product before any vendor\n"
    "# comment\n"
    "1d6b  Linux Foundation\n"
    "\t0002  2.0 root hub\n"
    "\t0003  3.0 root hub\n"
    "\t\t00  interface line\n"
    "\t0004\n"
    "\t0005 \n"
    "abcd \n"
    "\t0001  Under a nameless vendor\n"
    "0bda\tRealtek Semiconductor Corp.\n"
    "\t8153  RTL8153 Gigabit Ethernet Adapter\n"
    "C 03  Human Interface Device\n"
    "\t01  Boot Interface Subclass\n"
    "AT 0409  English (US)\n"
    "046d  Logitech, Inc.\n"
    "\tc52b  Unifying Receiver\n"
    "wxyz  Not hexadecimal\n"
    "\t0001  Not a product\n";

class SampleIds : public ::testing::Test {
protected:
    void SetUp() override {
        root.write("/usr/share/hwdata/pci.ids", PCI_SAMPLE);
        root.write("/usr/share/hwdata/usb.ids", USB_SAMPLE);
        ids = IdsTestAccess::load();
    }
    zqtest::ScopedEnv no_snap{"SNAP", nullptr};
    zqtest::FixtureRoot root;
    std::unique_ptr<hw::Ids> ids;
};

TEST_F(SampleIds, PciDepthRulesCommentsAndTabs) {
    EXPECT_EQ(ids->pci_ids_path(), "/usr/share/hwdata/pci.ids");
    EXPECT_EQ(ids->pci_vendor(0x1002), "Advanced Micro Devices, Inc. [AMD/ATI]");
    EXPECT_EQ(ids->pci_subsystem(0x1043, 0x16c2, 0x1002, 0x1638), "Radeon Vega 8");
    // Nameless and short subsystem lines are dropped: the vendor stands in.
    EXPECT_EQ(ids->pci_subsystem(0x1043, 0x16c3, 0x1002, 0x1638), "");
    EXPECT_EQ(ids->pci_subsystem(0x1002, 0x16c3, 0x1002, 0x1638), "Advanced Micro Devices, Inc. [AMD/ATI]");
    // A vendor line without a name leaves its devices with the previous vendor.
    EXPECT_EQ(ids->pci_vendor(0xabcd), "");
    EXPECT_EQ(ids->pci_device(0x1002, 0x0001), "after a nameless vendor");
    EXPECT_EQ(ids->pci_vendor(0x10ec), "Realtek Semiconductor Co., Ltd.");
    EXPECT_EQ(ids->pci_subsystem(0x1462, 0x7c56, 0x10ec, 0x8168), "Tabbed subsystem");
    EXPECT_EQ(ids->pci_subsystem(0x1462, 0x7c57, 0x10ec, 0x8168), "");
    EXPECT_EQ(ids->pci_device(0x1af4, 0x1041), "Virtio network device");
}

TEST_F(SampleIds, PciClassHeadersNeedABlankAfterC) {
    // "C<tab>00 ..." is a vendor line (id "C\t00"), so what follows is a device.
    EXPECT_NE(ids->pci_class(0x020000), "tab after C makes a vendor line");
    EXPECT_EQ(ids->pci_class(0x020000), "Ethernet controller");
    EXPECT_EQ(ids->pci_subclass(0x028000), "Network");  // nameless subclass line ignored
    // A header without a name still opens the class section; the subclass
    // below it lands on the previous class.
    EXPECT_EQ(ids->pci_subclass(0x7e0500), "Under a broken class header");
    EXPECT_EQ(ids->pci_device(0x1af4, 0x0005), "");
}

// Each level answers for its own code only; an unlisted level takes the
// name of the level above.
TEST_F(SampleIds, PciClassesLevelByLevel) {
    EXPECT_EQ(ids->pci_class(0x0c0330), "XHCI");
    EXPECT_EQ(ids->pci_class(0x0c0320), "USB controller");
    EXPECT_EQ(ids->pci_class(0x0c8000), "Serial bus controller");
    EXPECT_EQ(ids->pci_class(0x7e0000), "Made-up class");
    EXPECT_EQ(ids->pci_class(0x400000), "Coprocessor");  // built in, not in the file
    EXPECT_EQ(ids->pci_class(0x7f0000), "");
    // Subclass 00 is listed, its programming interface 00 is not.
    EXPECT_EQ(ids->pci_class(0x060000), "Host bridge");
    EXPECT_EQ(ids->pci_class(0x060400), "Normal decode");
    EXPECT_EQ(ids->pci_subclass(0x060400), "PCI bridge");
    EXPECT_EQ(ids->pci_subclass(0x060401), "PCI bridge");
    EXPECT_EQ(ids->pci_subclass(0x06ee00), "Bridge");
    EXPECT_EQ(ids->pci_subclass(0x400000), "Coprocessor");
    EXPECT_EQ(ids->pci_subclass(0x7f0000), "");
}

TEST_F(SampleIds, UsbVendorListEndsAtTheFirstOtherTable) {
    EXPECT_EQ(ids->usb_ids_path(), "/usr/share/hwdata/usb.ids");
    EXPECT_EQ(ids->usb_device(0x0000, 0x0001), "Product before any vendor");
    EXPECT_EQ(ids->usb_vendor(0x1d6b), "Linux Foundation");
    EXPECT_EQ(ids->usb_device(0x1d6b, 0x0003), "3.0 root hub");
    EXPECT_EQ(ids->usb_device(0x1d6b, 0x0004), "");
    EXPECT_EQ(ids->usb_device(0x1d6b, 0x0005), "");
    EXPECT_EQ(ids->usb_vendor(0xabcd), "");  // listed without a name
    EXPECT_EQ(ids->usb_device(0xabcd, 0x0001), "Under a nameless vendor");
    EXPECT_EQ(ids->usb_vendor(0x0bda), "Realtek Semiconductor Corp.");
    EXPECT_EQ(ids->usb_device(0x0bda, 0x0001), "");  // class subclass line not taken as product
    EXPECT_EQ(ids->usb_device(0x046d, 0xc52b), "Unifying Receiver");
    EXPECT_EQ(ids->usb_device(0x046d, 0x0001), "");
}

// A package upgrade renames a new file over the database. An instance
// answers on from the file it opened, the last line of which has no newline.
TEST_F(SampleIds, FileRenamedOverAnswersFromTheOneOpened) {
    root.write("/usr/share/hwdata/pci.ids.new", "1002  Renamed\n\t1638  X\n");
    std::filesystem::rename(root.dir() + "/usr/share/hwdata/pci.ids.new",
                            root.dir() + "/usr/share/hwdata/pci.ids");
    EXPECT_EQ(ids->pci_vendor(0x1002), "Advanced Micro Devices, Inc. [AMD/ATI]");
    EXPECT_EQ(ids->pci_device(0x1002, 0x1638), "Cezanne [Radeon Vega Series / Radeon Vega Mobile Series]");
    EXPECT_EQ(ids->pci_device(0x1af4, 0x1041), "Virtio network device") << "the last line, without newline";
}

// Real databases are megabytes, read into a huge-page buffer and their
// lines found many bytes at a time: lines across the finder's windows, and
// vendors far into the file, read like any other.
TEST(IdsSearch, LargeDatabasesReadWhole) {
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    std::string pci, usb;
    char line[160];
    for (unsigned v = 1; v <= 6000; ++v) {
        std::snprintf(line, sizeof line, "%04x  Vendor %u with a name as long as many are\n", v, v);
        pci += line;
        usb += line;
        std::snprintf(line, sizeof line, "\t%04x  Device %u\n\t\t%04x %04x  Board %u\n", v, v, v, v + 1, v);
        pci += line;
        std::snprintf(line, sizeof line, "\t%04x  Product %u\n", v, v);
        usb += line;
    }
    pci += "C 02  Network controller\n\t00  Ethernet controller\n";
    ASSERT_GT(pci.size(), 512u << 10) << "too small for the huge-page buffer";
    root.write("/usr/share/misc/pci.ids", pci);
    root.write("/usr/share/misc/usb.ids", usb);
    auto ids = IdsTestAccess::load();
    for (unsigned v : {1u, 700u, 701u, 1400u, 2222u, 6000u}) {
        const uint16_t id = static_cast<uint16_t>(v);
        const std::string n = std::to_string(v);
        EXPECT_EQ(ids->pci_vendor(id), "Vendor " + n + " with a name as long as many are");
        EXPECT_EQ(ids->pci_device(id, id), "Device " + n);
        EXPECT_EQ(ids->pci_subsystem(id, static_cast<uint16_t>(v + 1), id, id), "Board " + n);
        EXPECT_EQ(ids->usb_vendor(id), "Vendor " + n + " with a name as long as many are");
        EXPECT_EQ(ids->usb_device(id, id), "Product " + n);
    }
    EXPECT_EQ(ids->pci_class(0x020000), "Ethernet controller");
    EXPECT_EQ(ids->pci_device(6001, 6001), "");
}

// cp, tee and editors save over a file in place, on its inode. Every answer
// is the name one whole text gives for that key: a save in the middle of a
// read makes the read again, an instance keeps the text it read while a
// save may be under way, one reading during saves gives the name or none,
// and once the file holds still its new text answers.
TEST(IdsSearch, SavedOverInPlace) {
    ScopedSettleTime settle(500);
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    root.mkdir("/usr/share/misc");
    const std::string one = "1111  One\n\t0001  One device\n\t\t5555 0001  One card\n",
                      two = "2222  Two\n\t0001  Two device\n\t\t5555 0001  Two card\n";
    const std::string first = one + two, swapped = two + one;
    const std::vector<std::string> paths = {root.on_disk("/usr/share/misc/pci.ids"),
                                            root.on_disk("/usr/share/misc/usb.ids")};
    auto save_over = [&](const std::string& text) {
        for (const std::string& path : paths) {
            const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ASSERT_TRUE(fd >= 0 &&
                        ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()));
            ::close(fd);
        }
    };
    // Thousands of answers are checked; a failure shows the first few.
    int wrong = 0;
    std::string first_wrong;
    // Devices and subsystems of both vendors; "" allowed where no read held still.
    auto expect_names = [&](const hw::Ids& ids, bool may_be_empty) {
        const struct {
            std::string got;
            const char* want;
        } answers[] = {
            {ids.pci_device(0x1111, 1), "One device"},
            {ids.pci_device(0x2222, 1), "Two device"},
            {ids.pci_subsystem(0x5555, 1, 0x1111, 1), "One card"},
            {ids.pci_subsystem(0x5555, 1, 0x2222, 1), "Two card"},
            {ids.usb_device(0x1111, 1), "One device"},
            {ids.usb_device(0x2222, 1), "Two device"},
        };
        int named = 0;
        for (const auto& a : answers) {
            if (!a.got.empty()) ++named;
            if (a.got == a.want || (may_be_empty && a.got.empty())) continue;
            if (++wrong <= 5) first_wrong += "\n  \"" + a.got + "\" for \"" + a.want + "\"";
        }
        return named;
    };
    save_over(first);
    // A save of the same size between the two halves of the first read;
    // its own stamps, a clock tick on.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    g_between_halves = [&] { save_over(swapped); };
    expect_names(*IdsTestAccess::load(), false);
    EXPECT_FALSE(g_between_halves) << "no read was split";
    g_between_halves = nullptr;

    auto kept = IdsTestAccess::load();
    EXPECT_EQ(kept->pci_vendor(0x2222) + kept->usb_vendor(0x2222), "TwoTwo");
    save_over(first);
    expect_names(*kept, false);

    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0; std::chrono::steady_clock::now() < until; ++i) save_over(i % 2 ? swapped : first);
        ::_exit(0);
    }
    int named = 0;
    while (std::chrono::steady_clock::now() < until) {
        named += expect_names(*IdsTestAccess::load(), true);
        expect_names(*kept, false);
    }
    int status = 0;
    ::waitpid(writer, &status, 0);
    EXPECT_GT(named, 0);
    EXPECT_EQ(wrong, 0) << "wrong answers, the first of them:" << first_wrong;

    save_over("1111  One, saved last\n\t0001  One device\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    EXPECT_EQ(kept->pci_vendor(0x1111), "One, saved last");
    EXPECT_EQ(kept->pci_device(0x2222, 1), "");
}

// Wall-clock time as nanoseconds.
int64_t wall_ns() {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

void sleep_until_wall(int64_t ns) {
    const int64_t left = ns - wall_ns();
    if (left > 0) std::this_thread::sleep_for(std::chrono::nanoseconds(left));
}

// A save that pauses across a second's boundary for less than the settle
// time is not finished: once it goes on and ends, its whole text answers.
TEST(IdsSearch, SavePausedAcrossASecondIsNotTakenAsFinished) {
    ScopedSettleTime settle(1000);
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    root.mkdir("/usr/share/misc");
    const std::string path = root.on_disk("/usr/share/misc/pci.ids");
    auto append = [](int fd, const std::string& text) {
        ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    };
    constexpr int64_t SECOND = 1'000'000'000;
    const int64_t now = wall_ns(), late_in_this_second = now / SECOND * SECOND + SECOND * 9 / 10;
    sleep_until_wall(now % SECOND < SECOND * 9 / 10 ? late_in_this_second : late_in_this_second + SECOND);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    append(fd, "1111  One\n\t0001  One device\n2222  Two\n");
    struct stat st {};
    ASSERT_EQ(::fstat(fd, &st), 0);
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->pci_device(0x1111, 1), "One device");
    sleep_until_wall(int64_t{st.st_ctim.tv_sec} * SECOND + st.st_ctim.tv_nsec + SECOND * 6 / 10);
    EXPECT_EQ(ids->pci_device(0x2222, 1), "");
    append(fd, "\t0001  Two device\n");
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_EQ(ids->pci_device(0x2222, 1), "Two device");
}

// Only root can put a FIFO in a database's place; it reads as no text and
// must not hold the first page that names a device.
TEST(IdsSearch, FifoInPlaceOfADatabaseReadsAsNone) {
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    root.mkdir("/usr/share/misc");
    ASSERT_EQ(::mkfifo(root.on_disk("/usr/share/misc/pci.ids").c_str(), 0644), 0);
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->pci_ids_path(), "/usr/share/misc/pci.ids");
    EXPECT_EQ(ids->pci_vendor(0x8086), "");
    EXPECT_EQ(ids->pci_class(0x020000), "Network controller");
}

TEST(IdsSearch, SnapCopyFirstThenSystemDirectories) {
    zqtest::FixtureRoot root;
    root.write("/snap/zq/7/usr/share/hwdata/pci.ids", "1111  From the snap\n");
    root.write("/usr/share/hwdata/pci.ids", "1111  From the system\n");
    root.write("/var/lib/usbutils/usb.ids", "2222  Old usbutils place\n");
    {
        zqtest::ScopedEnv snap("SNAP", "/snap/zq/7");
        auto ids = IdsTestAccess::load();
        EXPECT_EQ(ids->pci_ids_path(), "/snap/zq/7/usr/share/hwdata/pci.ids");
        EXPECT_EQ(ids->pci_vendor(0x1111), "From the snap");
        EXPECT_EQ(ids->usb_ids_path(), "/var/lib/usbutils/usb.ids");
        EXPECT_EQ(ids->usb_vendor(0x2222), "Old usbutils place");
    }
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->pci_vendor(0x1111), "From the system");
}

TEST(IdsSearch, NoDatabasesLeaveBuiltInBaseClassesOnly) {
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->pci_ids_path(), "");
    EXPECT_EQ(ids->usb_ids_path(), "");
    EXPECT_EQ(ids->pci_class(0x010802), "Mass storage controller");
    EXPECT_EQ(ids->pci_subclass(0xff0000), "Unassigned class");
    EXPECT_EQ(ids->pci_vendor(0x8086), "");
    EXPECT_EQ(ids->pci_subsystem(0x1043, 0x16c2, 0x1002, 0x1638), "");
    EXPECT_EQ(ids->usb_vendor(0x1d6b), "");
    EXPECT_EQ(ids->usb_class(0x0a), "CDC Data");
}

// Cut at every byte and garbled: the loaders take whatever is there and
// never read past it.
TEST(IdsSearch, TruncatedAndHostileFilesLoadQuietly) {
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    const std::string pci = PCI_SAMPLE, usb = USB_SAMPLE;
    for (size_t n = 0; n <= pci.size(); n += 7) {
        root.write("/usr/share/misc/pci.ids", pci.substr(0, n));
        root.write("/usr/share/misc/usb.ids", usb.substr(0, std::min(n, usb.size())));
        auto ids = IdsTestAccess::load();
        (void)ids->pci_class(0x060400);
    }
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) % 256);
    root.write("/usr/share/misc/pci.ids", junk + "\n\t\t\n\tC \nC \n\t\t1");
    root.write("/usr/share/misc/usb.ids", junk + "\n\t1\nabcd\n");
    auto ids = IdsTestAccess::load();
    EXPECT_EQ(ids->pci_class(0x060000), "Bridge");
    EXPECT_EQ(ids->usb_vendor(0xabcd), "");
}

// A pci.ids under a root of its own; the database keeps the file open past it.
std::unique_ptr<hw::Ids> load_pci(const std::string& text) {
    zqtest::ScopedEnv no_snap("SNAP", nullptr);
    zqtest::FixtureRoot root;
    root.write("/usr/share/misc/pci.ids", text);
    return IdsTestAccess::load();
}

// A file edited by hand out of ascending order is read whole, and every name
// in it is still found.
TEST(IdsOrder, HandEditedFilesOutOfOrderAreReadWhole) {
    const char* const vendors_swapped =
        "# local additions\n"
        "8086  Intel Corporation\n"
        "\t1237  440FX - 82441FX PMC [Natoma]\n"
        "1002  Added after Intel\n"
        "\t1638  Cezanne\n"
        "1af4  Red Hat, Inc.\n"
        "\t1041  Virtio network device\n"
        "C 02  Network controller\n"
        "\t00  Ethernet controller\n";
    const char* const devices_swapped =
        "1002  Advanced Micro Devices, Inc. [AMD/ATI]\n"
        "1af4  Red Hat, Inc.\n"
        "\t1041  Virtio network device\n"
        "\t\t1af4 1100  QEMU Virtual Machine\n"
        "\t1000  Added after 1041\n"
        "8086  Intel Corporation\n";
    const struct {
        const char* file;
        uint16_t vendor, device;
        const char *vendor_name, *device_name;
    } cases[] = {
        {vendors_swapped, 0x1002, 0x1638, "Added after Intel", "Cezanne"},
        {vendors_swapped, 0x1af4, 0x1041, "Red Hat, Inc.", "Virtio network device"},
        {vendors_swapped, 0x8086, 0x1237, "Intel Corporation", "440FX - 82441FX PMC [Natoma]"},
        {devices_swapped, 0x1af4, 0x1000, "Red Hat, Inc.", "Added after 1041"},
        {devices_swapped, 0x8086, 0x1237, "Intel Corporation", ""},
    };
    for (const auto& c : cases) {
        auto ids = load_pci(c.file);
        // The device first: a wrong order within one vendor's block is met there.
        EXPECT_EQ(ids->pci_device(c.vendor, c.device), c.device_name) << c.file;
        EXPECT_EQ(ids->pci_vendor(c.vendor), c.vendor_name) << c.file;
    }
    auto swapped = load_pci(vendors_swapped);
    EXPECT_EQ(swapped->pci_class(0x020000), "Ethernet controller");
}

}  // namespace
