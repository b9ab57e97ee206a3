// Helpers for the privileged data tests: an independent UTF-8 check, a
// builder for SMBIOS structures laid out as firmware writes them, and readers
// of the real machines' table dumps with dmidecode's text of them.
#pragma once

#include <glib.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "util.h"

namespace zqtest {

// GLib's validator stands in as the reader on the other side; it stops at NUL
// bytes, which are valid UTF-8, so those are masked first.
inline bool is_valid_utf8(std::string s) {
    for (char& c : s)
        if (c == '\0') c = ' ';
    return g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr);
}

// One SMBIOS structure: the formatted area (header of type, length and
// handle, then the fields) followed by its string set.
class SmbiosRecord {
public:
    SmbiosRecord(uint8_t type, uint8_t length, uint16_t handle = 0x0100) : m_area(length, '\0') {
        set_byte(0, type);
        set_byte(1, length);
        set_word(2, handle);
    }
    SmbiosRecord& set_byte(size_t off, uint8_t v) {
        if (off < m_area.size()) m_area[off] = static_cast<char>(v);
        return *this;
    }
    SmbiosRecord& set_word(size_t off, uint16_t v) {
        return set_byte(off, v & 0xFF).set_byte(off + 1, v >> 8);
    }
    SmbiosRecord& set_dword(size_t off, uint32_t v) {
        return set_word(off, v & 0xFFFF).set_word(off + 2, v >> 16);
    }
    SmbiosRecord& add_strings(std::vector<std::string> s) {
        m_strings = std::move(s);
        return *this;
    }
    // As in the table: each string ends with 0, the set with one more 0 (two
    // zeros when there are no strings).
    std::string bytes() const {
        std::string out = m_area;
        for (const std::string& s : m_strings) out += s + '\0';
        if (m_strings.empty()) out += '\0';
        out += '\0';
        return out;
    }

private:
    std::string m_area;
    std::vector<std::string> m_strings;
};

inline std::string end_of_table() { return SmbiosRecord(127, 4, 0xFEFF).bytes(); }

// A memory device as SMBIOS 2.8 to 3.1 firmware writes it (40 bytes), with a
// populated 8 GiB DDR4 module unless the caller changes fields.
inline SmbiosRecord ddr4_device(uint16_t handle = 0x0040) {
    SmbiosRecord r(17, 40, handle);
    r.set_word(0x04, 0x003F)     // array handle
        .set_word(0x06, 0xFFFE)  // no error information
        .set_word(0x08, 64)
        .set_word(0x0A, 64)
        .set_word(0x0C, 8192)
        .set_byte(0x0E, 13)  // SODIMM
        .set_byte(0x10, 1)
        .set_byte(0x11, 2)
        .set_byte(0x12, 26)
        .set_word(0x13, 0x0080)
        .set_word(0x15, 2400)
        .set_byte(0x17, 3)
        .set_byte(0x18, 4)
        .set_byte(0x19, 5)
        .set_byte(0x1A, 6)
        .set_byte(0x1B, 0x01)
        .set_word(0x20, 2400)
        .set_word(0x22, 1200)
        .set_word(0x24, 1200)
        .set_word(0x26, 1200);
    r.add_strings({"ChannelA-DIMM0", "BANK 0", "Samsung", "417B9BB7", "None", "M471A1K43CB1-CTD    "});
    return r;
}

inline SmbiosRecord memory_array(uint32_t max_kib, uint16_t devices, uint8_t length = 23) {
    SmbiosRecord r(16, length, 0x003F);
    r.set_byte(0x04, 3).set_byte(0x05, 3).set_byte(0x06, 3).set_dword(0x07, max_kib).set_word(0x0B, 0xFFFE);
    r.set_word(0x0D, devices);
    return r;
}

// ---- Real machines' tables -----------------------------------------------------

inline uint32_t le_at(const std::string& s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = bytes - 1; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(s.at(at + i));
    return v;
}

// The structure table of a dump in "dmidecode --dump-bin" layout, located
// through its 32-bit (_SM_) or 64-bit (_SM3_) entry point.
inline std::string table_of_dump(const std::string& dump) {
    if (dump.compare(0, 5, "_SM3_") == 0) {
        uint32_t max_size = le_at(dump, 0x0C, 4);
        uint32_t address = le_at(dump, 0x10, 4);
        return dump.substr(address, max_size);
    }
    if (dump.compare(0, 4, "_SM_") == 0 && dump.compare(0x10, 5, "_DMI_") == 0) {
        uint32_t length = le_at(dump, 0x16, 2);
        uint32_t address = le_at(dump, 0x18, 4);
        return dump.substr(address, length);
    }
    return {};
}

// dmidecode's reading of each structure of one type, as key -> value.
inline std::vector<std::map<std::string, std::string>> dmidecode_records(const std::string& text, int type) {
    std::vector<std::map<std::string, std::string>> devices;
    std::istringstream in(text);
    std::string line;
    bool inside = false;
    const std::string marker = "DMI type " + std::to_string(type) + ",";
    while (std::getline(in, line)) {
        if (util::starts_with(line, "Handle ")) {
            inside = line.find(marker) != std::string::npos;
            if (inside) devices.emplace_back();
        } else if (inside && util::starts_with(line, "\t") && !util::starts_with(line, "\t\t")) {
            size_t colon = line.find(": ");
            if (colon != std::string::npos)
                devices.back()[line.substr(1, colon - 1)] = line.substr(colon + 2);
        }
    }
    return devices;
}

// dmidecode's reading of each Memory Device.
inline auto dmidecode_devices(const std::string& text) { return dmidecode_records(text, 17); }

inline uint64_t expected_size(const std::string& shown) {
    static const std::map<std::string, uint64_t> UNITS = {
        {"bytes", 1}, {"kB", 1ull << 10}, {"MB", 1ull << 20}, {"GB", 1ull << 30}, {"TB", 1ull << 40}};
    std::istringstream in(shown);
    uint64_t n = 0;
    std::string unit;
    if (!(in >> n >> unit) || !UNITS.count(unit)) return 0;  // "No Module Installed", "Unknown"
    return n * UNITS.at(unit);
}

inline std::string expected_speed(const std::string& shown) { return shown == "Unknown" ? "" : shown; }

}  // namespace zqtest
