// Assertions for the invariants the comments prove. They are compiled in
// where CORVANE_CHECKS is defined (the sanitizer, ThreadSanitizer and fuzz
// builds) and cost nothing elsewhere; a failure prints where and aborts.
#pragma once

#if defined(CORVANE_CHECKS)
#include <cstdio>
#include <cstdlib>

#define CORVANE_ASSERT(condition)                                                                    \
    do {                                                                                             \
        if (!(condition)) {                                                                          \
            std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                            \
        }                                                                                            \
    } while (false)
#else
#define CORVANE_ASSERT(condition) static_cast<void>(0)
#endif
