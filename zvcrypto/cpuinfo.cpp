#include "zvcrypto/cpuinfo.h"

#include <cpuid.h>

#include <cstdint>

namespace zvcrypto {

namespace {

struct regs {
    unsigned a = 0, b = 0, c = 0, d = 0;
};

regs cpuid(unsigned leaf, unsigned subleaf) {
    regs r;
    __cpuid_count(leaf, subleaf, r.a, r.b, r.c, r.d);
    return r;
}

std::uint32_t xgetbv0() {
    std::uint32_t eax = 0, edx = 0;
    // Encoded by hand so the file needs no -mxsave.
    __asm__ volatile(".byte 0x0f, 0x01, 0xd0" : "=a"(eax), "=d"(edx) : "c"(0));
    return eax;
}

}  // namespace

cpu_info::cpu_info_impl cpu_info::cpu_info_impl::probe() {
    cpu_info_impl f;
    const regs leaf0 = cpuid(0, 0);
    const auto max_leaf = static_cast<std::int32_t>(leaf0.a);
    if (max_leaf > 0) {
        const regs leaf1 = cpuid(1, 0);
        f.ecx1_ = leaf1.c;
        f.edx1_ = leaf1.d;
        if (max_leaf > 6) {
            const regs leaf7 = cpuid(7, 0);
            f.ebx7_ = leaf7.b;
            f.ecx7_ = leaf7.c;
        }
    }
    const regs ext0 = cpuid(0x80000000u, 0);
    if (ext0.a > 0x80000000u) {
        const regs ext1 = cpuid(0x80000001u, 0);
        f.ecx81_ = ext1.c;
        f.edx81_ = ext1.d;
    }
    // XGETBV is itself an illegal instruction unless OSXSAVE is set.
    if (f.ecx1_[27]) {
        f.xcr0_ = xgetbv0();
    }
    return f;
}

const cpu_info::cpu_info_impl cpu_info::impl_ = cpu_info::cpu_info_impl::probe();

}  // namespace zvcrypto
