#include "support.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "util.h"

namespace fuzz {

void require(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "broken promise: %s\n", what);
    std::abort();
}

void require_utf8(const std::string& text, const char* what) { require(util::is_valid_utf8(text), what); }

void require_utf8_rows(const probe::Page& page) {
    for (const probe::Card& c : page.cards)
        for (const probe::Row& r : c.rows) {
            require_utf8(r.name, "row name");
            require_utf8(r.value, "row value");
        }
}

const std::string& scratch_root() {
    static const std::string root = [] {
        char tmpl[] = "/tmp/zq-fuzz-XXXXXX";
        const char* dir = ::mkdtemp(tmpl);
        std::string r = dir ? dir : "/tmp";
        util::set_root_prefix(r);
        return r;
    }();
    return root;
}

namespace {

void make_parents(const std::string& full) {
    for (size_t slash = full.find('/', 1); slash != std::string::npos; slash = full.find('/', slash + 1))
        ::mkdir(full.substr(0, slash).c_str(), 0755);
}

}  // namespace

void write_under_root(const std::string& path, const std::string& content) {
    const std::string full = scratch_root() + path;
    make_parents(full);
    const int fd = ::open(full.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) return;
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    ::close(fd);
}

void symlink_under_root(const std::string& path, const std::string& target) {
    const std::string full = scratch_root() + path;
    make_parents(full);
    ::unlink(full.c_str());
    if (::symlink(target.c_str(), full.c_str()) != 0) require(false, "fixture link");
}

}  // namespace fuzz
