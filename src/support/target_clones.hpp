#pragma once

// ZORV_X86_CLONES marks a vector kernel. On x86 it is compiled for the baseline and for
// AVX2 and chosen once per call by the loader's resolver; both give the same bits (the
// same IEEE operations, and no contraction into fused multiply-adds). Other processors
// run the four-lane vector-extension code as their compiler maps it.
//
// Rules that keep every compiler able to build them:
// - a cloned function shares its name with no other function (clang 22 crashes on a
//   clone overloaded by a template of the same name);
// - it is file-local and calls nothing defined outside its file; other files reach it
//   through an entry point of its file that is [[gnu::noinline]] (clang 16's ThinLTO
//   imports an inlinable caller into another file and then refers to a clone it never
//   emits);
// - its file is one of src/piecewise_polynomials/kernels/*.cpp, the only files built
//   without ThreadSanitizer (see CMakeLists.txt: the resolvers run before the
//   sanitizer's runtime has started). Those files hold the kernels and what only they
//   use, and nothing that allocates, schedules work on the pool or throws.
// Windows has no ifunc (the loader's resolver that picks the clone): there the
// baseline code runs.
#if (defined(__x86_64__) || defined(__i386__)) && !defined(_WIN32)
#define ZORV_X86_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define ZORV_X86_CLONES
#endif
