/*
 * Versions and acceptance: what is installed in each root, what the
 * release brings, and whether this update may replace the one running.
 *
 * The parsers take dpkg's status text and never end the process; the
 * acceptance steps end it with status 16 (or the banner and 25) when they
 * refuse.
 */
#ifndef UPDATE_VERSIONS_H
#define UPDATE_VERSIONS_H

/* dpkg's status text of package (a .deb file when is_file) into buffer, as
 * a text; from the running root when force_current_root is set. */
void get_dpkg_info(const char *package, int is_file, int force_current_root, char *buffer,
                   int buffer_size);
int parse_info_version(const char *type, const char *dpkg_info);
int parse_toc_version(const char *info);
int parse_handshake_version(const char *info);
char *parse_osk_version(const char *dpkg_info);     /* own buffer, or null */
char *parse_release_version(const char *dpkg_info); /* own buffer, or null */
char *get_currentver(void);
char *get_packver(void);
int check_if_version_in_file(const char *filename, const char *version);
int check_if_current_version_in_file(const char *filename);
int altroot_has_newer(void); /* 0 when the alternate root's osk is newer */
int compare_release(const char *cur, const char *new_);
void assert_newer_version(void); /* exits 16 when refused */
int acceptable_version(void);
void check_killfile(void);

#endif
