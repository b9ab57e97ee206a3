#include "fixture.h"

#include <fcntl.h>
#include <glib.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "gpu.h"
#include "util.h"

namespace fs = std::filesystem;

namespace zqtest {

namespace {

std::string make_temp_dir() {
    std::string tmpl = (fs::temp_directory_path() / "zqtest-XXXXXX").string();
    char* made = ::mkdtemp(tmpl.data());
    return made ? std::string(made) : std::string();
}

// Another machine: the graphics enumeration of the last one is no longer true.
void switch_root(const std::string& root) {
    util::set_root_prefix(root);
    gpu::forget_snapshot();
}

void remove_tree(const std::string& path) {
    std::error_code ec;
    if (!path.empty()) fs::remove_all(path, ec);
}

}  // namespace

ScopedRoot::ScopedRoot(const std::string& root) : m_previous(util::root_prefix()) { switch_root(root); }

ScopedRoot::~ScopedRoot() { switch_root(m_previous); }

FixtureRoot::FixtureRoot() : m_dir(make_temp_dir()), m_previous(util::root_prefix()) { switch_root(m_dir); }

FixtureRoot::FixtureRoot(const std::string& data_tree) : FixtureRoot() {
    std::error_code ec;
    fs::copy(test_data(data_tree), m_dir, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
    if (ec) std::fprintf(stderr, "fixture copy of %s failed: %s\n", data_tree.c_str(), ec.message().c_str());
}

FixtureRoot::~FixtureRoot() {
    switch_root(m_previous);
    remove_tree(m_dir);
}

void FixtureRoot::write(const std::string& path, const std::string& content) const {
    write_file(on_disk(path), content);
}

void FixtureRoot::mkdir(const std::string& path) const {
    std::error_code ec;
    fs::create_directories(on_disk(path), ec);
}

void FixtureRoot::symlink(const std::string& path, const std::string& target) const {
    std::error_code ec;
    fs::create_directories(fs::path(on_disk(path)).parent_path(), ec);
    fs::remove(on_disk(path), ec);
    fs::create_symlink(target, on_disk(path), ec);
}

void FixtureRoot::remove(const std::string& path) const {
    std::error_code ec;
    fs::remove_all(on_disk(path), ec);
}

ScopedEnv::ScopedEnv(const char* name, const char* value) : m_name(name) {
    if (const char* old = std::getenv(name)) {
        m_had = true;
        m_old = old;
    }
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        ::setenv(m_name.c_str(), m_old.c_str(), 1);
    else
        ::unsetenv(m_name.c_str());
}

TempDir::TempDir() : m_path(make_temp_dir()) {}
TempDir::~TempDir() { remove_tree(m_path); }

std::string test_data(const std::string& rel) { return std::string(ZQ_TEST_DATA) + "/" + rel; }

std::string shared_data(const std::string& rel) {
    std::string base = ZQ_SHARED_DATA;
    if (!fs::is_directory(base)) return {};
    std::string path = base + "/" + rel;
    return fs::exists(path) ? path : std::string();
}

std::string unpack_tarball(const std::string& tarball, const std::string& into) {
    RunResult r = run({"tar", "-xjf", tarball, "-C", into});
    if (r.status != 0) return {};
    std::vector<std::string> tops;
    for (const auto& e : fs::directory_iterator(into))
        if (e.is_directory()) tops.push_back(e.path().string());
    return tops.size() == 1 ? tops[0] : std::string();
}

void write_file(const std::string& path, const std::string& content) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& input) {
    RunResult result;
    int out_pipe[2], err_pipe[2], in_pipe[2];
    if (::pipe2(out_pipe, O_CLOEXEC) || ::pipe2(err_pipe, O_CLOEXEC) || ::pipe2(in_pipe, O_CLOEXEC))
        return result;
    pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in_pipe[0], 0);
        ::dup2(out_pipe[1], 1);
        ::dup2(err_pipe[1], 2);
        for (const auto& kv : env) {
            size_t eq = kv.find('=');
            std::string name = kv.substr(0, eq);
            if (eq == std::string::npos || eq + 1 == kv.size())
                ::unsetenv(name.c_str());
            else
                ::setenv(name.c_str(), kv.c_str() + eq + 1, 1);
        }
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        _exit(127);
    }
    ::close(out_pipe[1]);
    ::close(err_pipe[1]);
    ::close(in_pipe[0]);
    if (!input.empty()) {
        ssize_t ignored = ::write(in_pipe[1], input.data(), input.size());
        (void)ignored;
    }
    ::close(in_pipe[1]);
    pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
    int open_count = 2;
    char buf[8192];
    while (open_count > 0) {
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                (i == 0 ? result.out : result.err).append(buf, static_cast<size_t>(n));
            } else {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open_count;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

RunResult run_in_fixture(const std::string& fixture, const std::vector<std::string>& argv,
                         const std::vector<std::string>& env) {
    std::vector<std::string> full = {ZQ_NS_RUN, fixture};
    full.insert(full.end(), argv.begin(), argv.end());
    return run(full, env);
}

FakePortal::FakePortal(int scheme, bool nested) {
    const std::string path = tool("zq_fake_portal"), arg = std::to_string(scheme);
    const char* argv[] = {path.c_str(), arg.c_str(), nested ? "nested" : "plain", nullptr};
    m_ok = g_spawn_async_with_pipes(nullptr, const_cast<char**>(argv), nullptr, G_SPAWN_DO_NOT_REAP_CHILD,
                                    nullptr, nullptr, &m_pid, &m_in, &m_out, nullptr, nullptr) &&
           read_line() == "ready";
}

FakePortal::~FakePortal() {
    if (m_in >= 0) ::close(m_in);  // the end of its input ends it
    if (m_out >= 0) ::close(m_out);
    if (m_pid > 0) ::waitpid(m_pid, nullptr, 0);
}

bool FakePortal::send(const std::string& cmd) {
    std::string line = cmd + "\n";
    if (::write(m_in, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    return read_line() == "ok";
}

std::string FakePortal::read_line() {
    std::string line;
    char c;
    while (::read(m_out, &c, 1) == 1 && c != '\n') line += c;
    return line;
}

RunResult run_on_private_bus(const std::string& filter) {
    std::string self = util::read_link_full("/proc/self/exe");
    return run({"dbus-run-session", "--", self, "--gtest_filter=" + filter}, {"ZQ_PRIVATE_BUS=1"});
}

bool inside_private_bus() { return std::getenv("ZQ_PRIVATE_BUS") != nullptr; }

std::string binary() { return ZQ_BINARY; }
std::string tool(const std::string& name) { return std::string(ZQ_TOOLS_DIR) + "/" + name; }

}  // namespace zqtest
