// What the processor offers the page path's vector kernels, asked once.
#pragma once

namespace tbx {

#if defined(__x86_64__)
inline bool haveAvx2() {
    static const bool have = __builtin_cpu_supports("avx2");
    return have;
}
#endif

} // namespace tbx
