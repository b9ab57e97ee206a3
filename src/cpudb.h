// Built-in table of processor models: codename, microarchitecture and
// manufacturing process from the CPUID vendor, displayed family and model.
#pragma once

#include <cstdint>
#include <string>

namespace cpudb {

struct Model {
    std::string codename;
    std::string uarch;
    std::string process;
    bool found = false;
};

// Exact vendor text ("AuthenticAMD", "GenuineIntel"); no row gives an empty
// Model with `found` false.
Model lookup(const std::string& vendor, uint32_t family, uint32_t model);

}  // namespace cpudb
