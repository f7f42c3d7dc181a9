#pragma once

// ZORV_X86_CLONES marks a vector kernel. On x86 it is compiled for the baseline and for
// AVX2 and chosen once per call by the loader's resolver; both give the same bits (the
// same IEEE operations, and no contraction into fused multiply-adds). Other processors
// run the four-lane vector-extension code as their compiler maps it.
#if defined(__x86_64__) || defined(__i386__)
#define ZORV_X86_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define ZORV_X86_CLONES
#endif
