#pragma once

// Debug checks of invariants: on in the builds that run the tests, the sanitizers and the
// fuzzers (REVURADOVA_CHECKS), compiled out of the module users install. A failed check
// is a bug in this library, never a bad input: it prints the condition and aborts.

#include <cstdio>
#include <cstdlib>

#if defined(REVURADOVA_CHECKS)
#define REVURADOVA_CHECK(condition)                                                            \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
#else
#define REVURADOVA_CHECK(condition) \
    do {                            \
    } while (false)
#endif
