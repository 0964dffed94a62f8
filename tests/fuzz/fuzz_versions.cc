/*
 * Fuzz target: the version texts of a release: the control fields read
 * for the TOC and handshake versions and the release, the four-part
 * release comparison, and a version list looked up line by line.
 */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "versions.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text((const char *)data, size);
    const char *s = text.c_str();
    (void)parse_toc_version(s);
    (void)parse_handshake_version(s);
    const char *v = parse_osk_version(s);
    if (v && strlen(v) > 127)
        abort();
    const char *r = parse_release_version(s);
    if (r && strlen(r) > 127)
        abort();

    /* Two release texts: the first line against the rest. */
    size_t nl = text.find('\n');
    std::string a = text.substr(0, nl), b = nl == std::string::npos ? "" : text.substr(nl + 1);
    int ab = compare_release(a.c_str(), b.c_str()), ba = compare_release(b.c_str(), a.c_str());
    if (ab != -2 && ((ab > 0) != (ba < 0) || (ab == 0) != (ba == 0)))
        abort();

    /* The same bytes as a version list, looking for its first line. */
    static int fd = memfd_create("list", 0);
    if (ftruncate(fd, 0) == 0 && pwrite(fd, data, size, 0) == (ssize_t)size) {
        char path[64];
        snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
        int found = check_if_version_in_file(path, a.substr(0, 1023).c_str());
        if (!found && size > 0 && a.size() < 1023 && a.find('\0') == std::string::npos)
            abort(); /* a short first line is always found */
    }
    return 0;
}
