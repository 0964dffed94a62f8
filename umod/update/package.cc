/*
 * Release package retrieval: paths and files of the package.
 */
#include <stdio.h>
#include <unistd.h>

#include "update.h"

#include "osk_banned.h"

void make_absolute(char *dest, const char *src, int n)
{
    if (src[0] == '/') {
        snprintf(dest, (size_t)n, "%s", src);
        return;
    }
    char cwd[1024];
    if (!getcwd(cwd, sizeof(cwd)))
        cwd[0] = '\0';
    snprintf(dest, (size_t)n, "%s/%s", cwd, src);
}
