#pragma once
// The x86 vector intrinsics, for the files that pick a variant at run time.
#if defined(__x86_64__)
#include <immintrin.h>
// GCC 12 reports the undefined source register of some AVX-512 intrinsics as
// (maybe) uninitialised; the intrinsics are sound.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#endif
