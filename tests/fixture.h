// Test seams: fixture trees standing in for the machine's root, paths to the
// test data, and running programs (the real binary, tools) with captured output.
#pragma once

#include <string>
#include <vector>

namespace zqtest {

// Points the util root prefix at an existing tree for the lifetime of the
// object and restores the previous prefix afterwards.
class ScopedRoot {
public:
    explicit ScopedRoot(const std::string& root);
    ~ScopedRoot();
    ScopedRoot(const ScopedRoot&) = delete;
    ScopedRoot& operator=(const ScopedRoot&) = delete;

private:
    std::string m_previous;
};

// A temporary directory that becomes the machine's root for the test. It can
// start as a copy of a tree under tests/data so a test may change files in it
// (a counter that advances, a CPU that goes offline).
class FixtureRoot {
public:
    FixtureRoot();
    explicit FixtureRoot(const std::string& data_tree);  // name below tests/data
    ~FixtureRoot();
    FixtureRoot(const FixtureRoot&) = delete;
    FixtureRoot& operator=(const FixtureRoot&) = delete;

    const std::string& dir() const { return m_dir; }
    // Absolute machine path (such as "/proc/stat") to the file on disk.
    std::string on_disk(const std::string& path) const { return m_dir + path; }
    void write(const std::string& path, const std::string& content) const;
    void mkdir(const std::string& path) const;
    void symlink(const std::string& path, const std::string& target) const;
    void remove(const std::string& path) const;

private:
    std::string m_dir;
    std::string m_previous;
};

// Sets (or, with a null value, unsets) an environment variable for the
// lifetime of the object and restores what was there before.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::string m_name;
    bool m_had = false;
    std::string m_old;
};

// A fresh temporary directory, removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
};

std::string test_data(const std::string& rel);  // path below tests/data
// Path below ../shared/data (real machines' data); empty when that is absent.
std::string shared_data(const std::string& rel);
// Unpacks a .tar.bz2 into `into` and returns its single top-level directory
// (empty on failure).
std::string unpack_tarball(const std::string& tarball, const std::string& into);

void write_file(const std::string& path, const std::string& content);
std::string slurp(const std::string& path);

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};
// Runs argv[0] (searched on PATH) with the given extra environment entries
// ("NAME=value"; "NAME=" removes it) and standard input text.
RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
              const std::string& input = {});

// Runs a command inside a private mount namespace where `fixture` stands in
// for /sys and the files of /proc it holds (tests/ns_run.sh). status 77 means
// namespaces are not allowed here: the caller skips.
RunResult run_in_fixture(const std::string& fixture, const std::vector<std::string>& argv,
                         const std::vector<std::string>& env = {});
constexpr int SKIP_STATUS = 77;

// The desktop portal's stand-in (tools/zq_fake_portal) on this process's
// session bus, answering `scheme`, wrapped in one variant more when `nested`.
class FakePortal {
public:
    FakePortal(int scheme, bool nested);
    ~FakePortal();
    FakePortal(const FakePortal&) = delete;
    FakePortal& operator=(const FakePortal&) = delete;
    bool ok() const { return m_ok; }
    // Sends one of the tool's commands and waits until it is carried out.
    bool send(const std::string& cmd);

private:
    std::string read_line();
    int m_pid = 0, m_in = -1, m_out = -1;
    bool m_ok = false;
};

// Runs this test binary's tests of `filter` again under dbus-run-session
// (status 127 without it), where a stand-in may own the portal's name.
RunResult run_on_private_bus(const std::string& filter);
bool inside_private_bus();  // this process is such a run

std::string binary();                       // the program under test
std::string tool(const std::string& name);  // a helper program from tests/tools

}  // namespace zqtest
