/*
 * The base release of a new cluster: made and installed once into the
 * template layer DIR/base/upper, which every root partition starts from.
 */
#ifndef BASE_H
#define BASE_H

#define BASE_RELEASE_DEFAULT "2.2.2.164"

/* Makes the base release RELEASE, with the build's own package when the
 * build in BINDIR/.. made one. Returns 0, or -1 with a message on standard
 * error. */
int base_release_make(const char *dir, const char *release, const char *bindir);

#endif
