/*
 * The release package: where it comes from, unpacking it into UPDATEPACKDIR
 * and checking it before anything is installed.
 *
 * Steps that say so end the process with the failure banner and the
 * status of the table; the others return a status for the caller.
 */
#ifndef UPDATE_PACKAGE_H
#define UPDATE_PACKAGE_H

/* src made absolute against the working folder, cut to n bytes. */
void make_absolute(char *dest, const char *src, int n);
/* The first entry of dirname whose name starts with file_prefix, or "". */
void filename_starting_with(const char *dirname, const char *file_prefix, char *buffer,
                            int buffer_size);
int retrieve_rcp(const char *source, const char *filename); /* 0, or exits 14 */
int extract(const char *file);
void tarball_package_checksum(void); /* returns only when every sum matched */
int package_has_debs(void);
int sources_list_valid(void);

#endif
