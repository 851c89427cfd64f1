// The processor's feature record, read once before main; it picks the SHA-256
// block function and the vector code of counter mode.
// Usage: if (zvcrypto::cpu_info::avx2()) { ... }
#pragma once

#include <bitset>

namespace zvcrypto {

class cpu_info {
public:
    struct cpu_info_impl {
        std::bitset<32> ecx1_;   // ECX of leaf 1
        std::bitset<32> edx1_;   // EDX of leaf 1
        std::bitset<32> ebx7_;   // EBX of leaf 7, sub-leaf 0
        std::bitset<32> ecx7_;   // ECX of leaf 7, sub-leaf 0
        std::bitset<32> ecx81_;  // ECX of leaf 0x80000001
        std::bitset<32> edx81_;  // EDX of leaf 0x80000001
        // Low word of XCR0: which register states the operating system saves on a
        // context switch. Read only when OSXSAVE says XGETBV may be executed.
        std::bitset<32> xcr0_;

        // Executes CPUID (and XGETBV when allowed) on this processor.
        static cpu_info_impl probe();

        // AVX and AVX2 instructions fault unless the OS enabled XSAVE and saves
        // both the XMM and the YMM state; CPUID alone does not tell.
        bool ymm_state_enabled() const { return ecx1_[27] && xcr0_[1] && xcr0_[2]; }
        // AVX-512 also needs the opmask and both halves of the ZMM state saved.
        bool zmm_state_enabled() const { return ymm_state_enabled() && xcr0_[5] && xcr0_[6] && xcr0_[7]; }
        bool avx2_bmi2_usable() const {
            return (ebx7_.to_ulong() & 0x120) == 0x120 && ymm_state_enabled();
        }
    };

    static bool sse2() { return impl_.edx1_[26]; }
    static bool sse41() { return impl_.ecx1_[19]; }
    static bool ssse3() { return impl_.ecx1_[9]; }
    static bool aesni() { return impl_.ecx1_[25]; }
    static bool mmx() { return impl_.edx1_[23]; }
    // AVX and AVX2 count only when the operating system saves the YMM state.
    static bool avx() { return impl_.ecx1_[28] && impl_.ymm_state_enabled(); }
    static bool avx2() { return impl_.ebx7_[5] && impl_.ymm_state_enabled(); }
    static bool bmi2() { return impl_.ebx7_[8]; }
    // AVX-512 F, BW and VBMI with GFNI, and the OS saving the ZMM state.
    static bool avx512_gfni() {
        return impl_.ebx7_[16] && impl_.ebx7_[30] && impl_.ecx7_[1] && impl_.ecx7_[8] &&
               impl_.zmm_state_enabled();
    }

    static const cpu_info_impl& features() { return impl_; }

private:
    static const cpu_info_impl impl_;
};

}  // namespace zvcrypto
