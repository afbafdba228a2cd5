// CHECK for the fuzz targets: a failed check aborts, which libFuzzer reports with the input.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHECK(condition)                                              \
    do {                                                              \
        if (!(condition)) {                                           \
            fprintf(stderr, "check failed: %s\n", #condition);        \
            abort();                                                  \
        }                                                             \
    } while (0)
