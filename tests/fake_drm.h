// A graphics driver played behind the ioctl seam of the graphics module, for
// tests of the data source and of the pages built on it.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <amdgpu_drm.h>
#include <i915_drm.h>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "gpu.h"

namespace zqtest {

// Plays an amdgpu or i915 driver behind the ioctl seam: answers from tables
// keyed by query and sub-type, and records what was asked.
struct FakeDriver {
    drm_amdgpu_info_device dev_info{};
    std::map<uint32_t, uint32_t> sensors;
    std::map<uint32_t, drm_amdgpu_info_firmware> firmware;
    std::map<uint32_t, drm_amdgpu_info_video_caps> caps;
    bool memory_answers = false;
    drm_amdgpu_memory_info memory{};
    std::map<int32_t, int32_t> i915_params;
    std::vector<std::pair<uint32_t, uint32_t>> asked;  // query, first union word

    std::vector<std::string> nodes;  // render node of each query, such as "renderD129"

    static inline FakeDriver* current = nullptr;

    static std::string node_of(int fd) {
        char target[512] = {};
        const std::string link = "/proc/self/fd/" + std::to_string(fd);
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        const std::string path = n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
        return path.substr(path.rfind('/') + 1);
    }

    static int ioctl(int fd, unsigned long request, void* arg) {
        FakeDriver& f = *current;
        f.nodes.push_back(node_of(fd));
        if (request == DRM_IOCTL_I915_GETPARAM) {
            auto* p = static_cast<drm_i915_getparam_t*>(arg);
            auto it = f.i915_params.find(p->param);
            if (it == f.i915_params.end()) return -1;
            *p->value = it->second;
            return 0;
        }
        if (request != DRM_IOCTL_AMDGPU_INFO) return -1;
        drm_amdgpu_info info;
        std::memcpy(&info, arg, sizeof info);
        uint32_t word = 0;
        std::memcpy(&word, static_cast<unsigned char*>(arg) + 16, sizeof word);
        f.asked.emplace_back(info.query, word);
        void* out = reinterpret_cast<void*>(static_cast<uintptr_t>(info.return_pointer));
        auto answer = [&](const void* src, size_t n) {
            std::memcpy(out, src, std::min<size_t>(n, info.return_size));
            return 0;
        };
        switch (info.query) {
            case AMDGPU_INFO_DEV_INFO:
                return answer(&f.dev_info, sizeof f.dev_info);
            case AMDGPU_INFO_SENSOR: {
                auto it = f.sensors.find(word);
                return it == f.sensors.end() ? -1 : answer(&it->second, sizeof it->second);
            }
            case AMDGPU_INFO_FW_VERSION: {
                auto it = f.firmware.find(word);
                return it == f.firmware.end() ? -1 : answer(&it->second, sizeof it->second);
            }
            case AMDGPU_INFO_VIDEO_CAPS: {
                auto it = f.caps.find(word);
                return it == f.caps.end() ? -1 : answer(&it->second, sizeof it->second);
            }
            case AMDGPU_INFO_MEMORY:
                return f.memory_answers ? answer(&f.memory, sizeof f.memory) : -1;
        }
        return -1;
    }
};

class WithFakeDriver : public ::testing::Test {
protected:
    void SetUp() override {
        FakeDriver::current = &driver;
        gpu::detail::ioctl_fn = FakeDriver::ioctl;
    }
    void TearDown() override {
        gpu::detail::ioctl_fn = saved;
        FakeDriver::current = nullptr;
    }
    FakeDriver driver;
    gpu::detail::IoctlFn saved = gpu::detail::ioctl_fn;
};

}  // namespace zqtest
