#include "pkgindex.h"

#include <string.h>

#include "osk_banned.h"

int pkgindex_name_ok(const char *name)
{
    if (!*name)
        return 0;
    for (const char *p = name; *p; p++) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    strchr("._+-~:%=@,", c);
        if (!plain)
            return 0;
    }
    return 1;
}

/* One line of at most size-1 characters without its line end; the rest of
 * a longer line is read and dropped. 0 at the end of the stream. */
static int read_line(FILE *f, char *line, size_t size)
{
    if (!fgets(line, (int)size, f))
        return 0;
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] == '\n') {
        line[len - 1] = '\0';
        return 1;
    }
    int c;
    while ((c = getc(f)) != EOF && c != '\n')
        ;
    return 1;
}

int pkgindex_scan(FILE *f, pkgindex_visit_t visit, void *arg, char *bad, size_t bad_size)
{
    char line[1024], current[1024] = "";
    int have_file = 0;
    if (bad_size)
        bad[0] = '\0';
    while (read_line(f, line, sizeof(line))) {
        if (strncmp(line, "Filename: ", 10) == 0) {
            const char *slash = strrchr(line, '/');
            snprintf(current, sizeof(current), "%s", slash ? slash + 1 : line + 10);
            have_file = current[0] != '\0';
            if (have_file && !pkgindex_name_ok(current)) {
                snprintf(bad, bad_size, "%s", current);
                return PKGINDEX_BAD_NAME;
            }
            continue;
        }
        if (strncmp(line, "MD5sum: ", 8) != 0)
            continue;
        if (!have_file) {
            snprintf(bad, bad_size, "%s", line);
            return PKGINDEX_SUM_FIRST;
        }
        int r = visit ? visit(current, line + 8, arg) : 0;
        if (r != 0)
            return r;
        have_file = 0;
    }
    return PKGINDEX_OK;
}
