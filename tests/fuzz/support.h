// What every fuzz target checks beyond "no crash, no sanitizer report".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "probe.h"

namespace fuzz {

// Aborts (a finding) when `text` is not valid UTF-8: every text that leaves
// a parser may reach a GTK label or the report.
void require_utf8(const std::string& text, const char* what);
// Aborts when `ok` is false, naming the broken promise.
void require(bool ok, const char* what);

inline std::string bytes(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}

// Aborts when any row of the page names or shows text that is not UTF-8.
void require_utf8_rows(const probe::Page& page);

// A fresh temporary root for targets that read their input from files; the
// util root prefix points at it for the target's lifetime.
const std::string& scratch_root();
void write_under_root(const std::string& path, const std::string& content);
// A relative symbolic link at `path`, as the kernel makes its class entries.
void symlink_under_root(const std::string& path, const std::string& target);

}  // namespace fuzz
