// Hot loops that the compiler vectorises are built twice on x86-64: once for
// any processor and once with AVX2, and the loader picks the one the machine
// runs. Both builds compute the same values, so the output bytes never depend
// on the processor; only the speed does.
#pragma once

#if defined(__x86_64__) && defined(__ELF__) && defined(__GNUC__) && !defined(RLE565_NO_CLONES)
#define RLE565_VECTOR_CLONES [[gnu::target_clones("avx2", "default")]]
#else
#define RLE565_VECTOR_CLONES
#endif
