/*
 * Fuzz target: the reader of the release's "Packages" index. Every pair it
 * hands on must carry a plain file name, and a scan that refuses the index
 * must refuse it the same way without a visitor.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "pkgindex.h"

static int check(const char *file, const char *sum, void *arg)
{
    if (!pkgindex_name_ok(file) || strchr(sum, '\n'))
        abort();
    ++*(int *)arg;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    char bad[64];
    int pairs = 0;
    FILE *f = fmemopen((void *)data, size, "r");
    int r = pkgindex_scan(f, check, &pairs, bad, sizeof bad);
    rewind(f);
    int again = pkgindex_scan(f, nullptr, nullptr, nullptr, 0);
    fclose(f);
    if (r != again || strlen(bad) >= sizeof bad)
        abort();
    return 0;
}
