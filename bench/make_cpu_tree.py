#!/usr/bin/env python3
"""Writes a /sys and /proc tree of a large x86 server for the benchmarks.

Usage: make_cpu_tree.py DIR CPUS [lists|masks]

Two packages, two threads per core, a private L1d/L1i/L2 per core and one L3
per package, as the kernel lays them out. "masks" leaves out every *_list
file, as older kernels and some architectures do, so readers fall back to
the hexadecimal masks.
"""
import os
import sys


def put(root, path, text):
    full = root + path
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w") as f:
        f.write(text)


def list_text(cpus):
    parts, start = [], None
    for i, c in enumerate(cpus):
        if start is None:
            start = c
        if i + 1 == len(cpus) or cpus[i + 1] != c + 1:
            parts.append(str(start) if start == c else f"{start}-{c}")
            start = None
    return ",".join(parts)


def mask_text(cpus, total):
    value = 0
    for c in cpus:
        value |= 1 << c
    words = max(1, (total + 31) // 32)
    hexs = f"{value:0{words * 8}x}"
    return ",".join(hexs[i:i + 8] for i in range(0, len(hexs), 8))


def main():
    root, total = sys.argv[1], int(sys.argv[2])
    lists = (sys.argv[3] if len(sys.argv) > 3 else "lists") == "lists"
    packages = 2 if total >= 4 else 1
    per_pkg = total // packages
    cores_per_pkg = per_pkg // 2
    sysd = "/sys/devices/system/cpu"

    def place(cpu):
        # Linux numbers first threads of every core, then the second ones.
        half = total // 2
        thread = cpu // half
        core_global = cpu % half
        return core_global // cores_per_pkg, core_global % cores_per_pkg, thread

    groups = {}
    for cpu in range(total):
        pkg, core, _ = place(cpu)
        groups.setdefault(("core", pkg, core), []).append(cpu)
        groups.setdefault(("pkg", pkg), []).append(cpu)

    def write_set(base, name, cpus):
        put(root, f"{base}/{name}", mask_text(cpus, total) + "\n")
        if lists:
            put(root, f"{base}/{name}_list", list_text(cpus) + "\n")

    cpuinfo = []
    for cpu in range(total):
        pkg, core, _ = place(cpu)
        core_cpus = groups[("core", pkg, core)]
        pkg_cpus = groups[("pkg", pkg)]
        d = f"{sysd}/cpu{cpu}"
        if cpu:
            put(root, d + "/online", "1\n")
        t = d + "/topology"
        put(root, t + "/physical_package_id", f"{pkg}\n")
        put(root, t + "/die_id", "0\n")
        put(root, t + "/cluster_id", f"{core}\n")
        put(root, t + "/core_id", f"{core}\n")
        for name, cpus in (("core_cpus", core_cpus), ("thread_siblings", core_cpus),
                           ("cluster_cpus", core_cpus), ("package_cpus", pkg_cpus),
                           ("core_siblings", pkg_cpus), ("die_cpus", pkg_cpus)):
            write_set(t, name, cpus)
        caches = ((1, "Data", "48K", core_cpus), (1, "Instruction", "32K", core_cpus),
                  (2, "Unified", "2048K", core_cpus), (3, "Unified", "105M", pkg_cpus))
        for k, (level, kind, size, cpus) in enumerate(caches):
            c = f"{d}/cache/index{k}"
            put(root, c + "/level", f"{level}\n")
            put(root, c + "/type", kind + "\n")
            put(root, c + "/size", size + "\n")
            put(root, c + "/coherency_line_size", "64\n")
            put(root, c + "/ways_of_associativity", "12\n")
            put(root, c + "/number_of_sets", "64\n")
            put(root, c + "/physical_line_partition", "1\n")
            put(root, c + "/id", f"{core if level < 3 else pkg}\n")
            write_set(c, "shared_cpu_map", cpus)
        f = d + "/cpufreq"
        put(root, f + "/scaling_cur_freq", f"{2000000 + (cpu % 7) * 100000}\n")
        put(root, f + "/cpuinfo_min_freq", "800000\n")
        put(root, f + "/cpuinfo_max_freq", "3800000\n")
        put(root, f + "/scaling_min_freq", "800000\n")
        put(root, f + "/scaling_max_freq", "3800000\n")
        put(root, f + "/scaling_governor", "powersave\n")
        put(root, f + "/scaling_driver", "intel_pstate\n")
        cpuinfo.append(
            f"processor\t: {cpu}\nvendor_id\t: GenuineIntel\ncpu family\t: 6\nmodel\t\t: 143\n"
            "model name\t: Example(R) Server CPU 8480\nstepping\t: 8\nmicrocode\t: 0x2b000590\n"
            f"cpu MHz\t\t: 2000.000\ncache size\t: 107520 KB\nphysical id\t: {pkg}\n"
            f"siblings\t: {per_pkg}\ncore id\t\t: {core}\ncpu cores\t: {cores_per_pkg}\n"
            f"apicid\t\t: {cpu * 2}\ninitial apicid\t: {cpu * 2}\nfpu\t\t: yes\n"
            "fpu_exception\t: yes\ncpuid level\t: 31\nwp\t\t: yes\n"
            "flags\t\t: fpu vme de pse tsc msr pae mce cx8 apic sep mtrr pge mca cmov pat pse36 "
            "clflush mmx fxsr sse sse2 ss ht syscall nx pdpe1gb rdtscp lm constant_tsc rep_good "
            "nopl xtopology cpuid pni pclmulqdq ssse3 fma cx16 pcid sse4_1 sse4_2 x2apic movbe "
            "popcnt aes xsave avx f16c rdrand hypervisor lahf_lm abm avx2 avx512f\n"
            "bugs\t\t: spectre_v1 spectre_v2\nbogomips\t: 4000.00\nclflush size\t: 64\n"
            "cache_alignment\t: 64\naddress sizes\t: 46 bits physical, 57 bits virtual\n"
            "power management:\n\n")
    everything = list_text(list(range(total))) + "\n"
    for name in ("online", "present", "possible"):
        put(root, f"{sysd}/{name}", everything)
    put(root, f"{sysd}/offline", "\n")
    put(root, f"{sysd}/kernel_max", "8191\n")
    put(root, f"{sysd}/smt/control", "on\n")
    put(root, f"{sysd}/smt/active", "1\n")
    for n in range(packages):
        node = f"/sys/devices/system/node/node{n}"
        put(root, node + "/cpulist", list_text(groups[("pkg", n)]) + "\n")
        put(root, node + "/cpumap", mask_text(groups[("pkg", n)], total) + "\n")
    put(root, "/sys/devices/system/node/online", list_text(list(range(packages))) + "\n")
    put(root, "/sys/devices/system/node/possible", list_text(list(range(packages))) + "\n")
    put(root, "/proc/cpuinfo", "".join(cpuinfo))
    stat = ["cpu  %d 0 %d %d 0 0 0 0 0 0" % (total * 100, total * 50, total * 1000)]
    stat += ["cpu%d 100 0 50 1000 0 0 0 0 0 0" % c for c in range(total)]
    put(root, "/proc/stat", "\n".join(stat) + "\nintr 0\nctxt 0\nbtime 0\nprocesses 1\n")


if __name__ == "__main__":
    main()
