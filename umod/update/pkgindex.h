/*
 * The release's "Packages" index as the checksum step reads it: only the
 * "Filename: " and "MD5sum: " lines count, a file name is the text after
 * the last "/", and every checksum must follow its own file name.
 *
 * pkgindex_scan() reads the whole stream and calls visit(file, sum, arg)
 * for each pair in order; a visit that returns non-zero stops the scan with
 * that result. Lines are read up to 1023 characters; the rest of a longer
 * line is skipped, never taken for a line of its own. A file name is handed
 * to the shell by the checksum step, so one holding anything but letters,
 * digits and "._+-~:%=@," makes the index corrupted, as does a checksum
 * with no file name before it. The scan allocates nothing and never ends
 * the process; on an error *bad holds the offending text, cut to its size.
 */
#ifndef PKGINDEX_H
#define PKGINDEX_H

#include <stddef.h>
#include <stdio.h>

enum pkgindex_result {
    PKGINDEX_OK = 0,
    PKGINDEX_SUM_FIRST = -1, /* "MD5sum: " without a file name before it */
    PKGINDEX_BAD_NAME = -2,  /* a file name the shell would read as more than a name */
};

typedef int (*pkgindex_visit_t)(const char *file, const char *sum, void *arg);

/* PKGINDEX_OK, a negative pkgindex_result, or the first non-zero visit. */
int pkgindex_scan(FILE *f, pkgindex_visit_t visit, void *arg, char *bad, size_t bad_size);

/* 1 when name is a non-empty plain package file name. */
int pkgindex_name_ok(const char *name);

#endif
