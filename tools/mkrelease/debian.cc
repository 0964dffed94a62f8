/*
 * Debian packages for a release, resolved on a node's state and fetched
 * into a kept download cache.
 */
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <sstream>

#include "debian.h"
#include "privapt.h"
#include "sys.h"

#include "osk_banned.h"

/* The snapshot archive never changes, but a day-old list may miss a
 * security update the release should bring. */
#define LISTS_MAX_AGE (24 * 60 * 60)

struct planned_deb {
    std::string name, version, arch;
};

int mkrel_root_status(const std::string &root, std::string *status, std::string *err)
{
    size_t start = 0;
    for (;;) {
        size_t colon = root.find(':', start);
        std::string layer = root.substr(start, colon == std::string::npos ? colon : colon - start);
        std::string path = layer + "/var/lib/dpkg/status";
        if (!layer.empty() && access(path.c_str(), R_OK) == 0) {
            *status = path;
            return 0;
        }
        if (colon == std::string::npos)
            return mkrel_fail(err, "no dpkg status in node root " + root);
        start = colon + 1;
    }
}

/* apt's own name for a downloaded package: ':' in any part and '.' in the
 * architecture are %-quoted. */
static std::string quote(const std::string &s, const char *chars)
{
    static const char hex[] = "0123456789abcdef";
    std::string q;
    for (char c : s) {
        if (c == '%' || c == '_' || strchr(chars, c)) {
            q += '%';
            q += hex[(unsigned char)c >> 4];
            q += hex[(unsigned char)c & 15];
        } else {
            q += c;
        }
    }
    return q;
}

static std::string archive_name(const planned_deb &p)
{
    return quote(p.name, ":") + "_" + quote(p.version, ":") + "_" + quote(p.arch, ":.") + ".deb";
}

/* "Inst NAME [OLD] (VERSION ORIGINS [ARCH])" lines of apt-get -s. */
static std::vector<planned_deb> read_plan(const std::string &out)
{
    std::vector<planned_deb> plan;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("Inst ", 0) != 0)
            continue;
        planned_deb p;
        std::istringstream words(line.substr(5));
        words >> p.name;
        size_t open = line.find(" (");
        size_t arch_open = line.rfind('[');
        size_t arch_close = line.rfind(']');
        if (open == std::string::npos || arch_open == std::string::npos || arch_close < arch_open ||
            arch_open < open)
            continue;
        std::istringstream ver(line.substr(open + 2));
        ver >> p.version;
        p.arch = line.substr(arch_open + 1, arch_close - arch_open - 1);
        size_t colon = p.name.find(':');
        if (colon != std::string::npos)
            p.name.resize(colon);
        plan.push_back(p);
    }
    return plan;
}

static bool lists_fresh(const std::string &stamp)
{
    struct stat st;
    return stat(stamp.c_str(), &st) == 0 && time(nullptr) - st.st_mtime < LISTS_MAX_AGE;
}

static int resolve_and_fetch(mkrel_apt *apt, const std::vector<std::string> &names,
                             const std::string &cache, std::vector<std::string> *debs,
                             std::string *err)
{
    std::string stamp = cache + "/lists/.updated";
    std::string out, diag;

    if (!lists_fresh(stamp)) {
        /* apt-get update ends well even when no index could be fetched. */
        if (mkrel_apt_get(apt, {"-q", "update"}, nullptr, &diag) == 0 &&
            diag.find("W: Some index files failed to download") == std::string::npos)
            (void)mkrel_write_file(stamp, "", 0644, err);
        else if (access(stamp.c_str(), F_OK) != 0)
            return mkrel_fail(err, "cannot reach the Debian archive (" + mkrel_apt_errors(diag) +
                                       ") and " + cache + " holds no package lists");
    }

    /* --reinstall: the named packages come even when the node has them. A
     * release carries what its packages need, not what they recommend. */
    std::vector<std::string> args = {"-s", "-y", "--reinstall", "--no-install-recommends",
                                     "install"};
    args.insert(args.end(), names.begin(), names.end());
    diag.clear();
    if (mkrel_apt_get(apt, args, &out, &diag) != 0)
        return mkrel_fail(err, "apt cannot resolve the packages on this node: " +
                                   mkrel_apt_errors(diag));
    std::vector<planned_deb> plan = read_plan(out);

    std::string missing;
    for (const planned_deb &p : plan)
        if (access((apt->archives + "/" + archive_name(p)).c_str(), R_OK) != 0)
            missing += (missing.empty() ? "" : ", ") + p.name + "=" + p.version;
    if (!missing.empty()) {
        args[0] = "--download-only";
        diag.clear();
        if (mkrel_apt_get(apt, args, nullptr, &diag) != 0)
            return mkrel_fail(err, "cannot reach the Debian archive (" + mkrel_apt_errors(diag) +
                                       ") and " + cache + " lacks " + missing);
    }
    for (const planned_deb &p : plan) {
        std::string path = apt->archives + "/" + archive_name(p);
        if (access(path.c_str(), R_OK) != 0)
            return mkrel_fail(err, "apt did not fetch " + path);
        debs->push_back(path);
    }
    return 0;
}

int mkrel_debian_fetch(const std::vector<std::string> &names, const std::string &status,
                       const std::string &cache, std::vector<std::string> *debs, std::string *err)
{
    mkrel_apt apt;
    mkrel_apt_setup setup;

    if (mkrel_mkdirs(cache) != 0)
        return mkrel_fail_errno(err, "cannot make the download cache " + cache);
    if (mkrel_read_file(MKREL_DEBIAN_SOURCES, &setup.sources, err) != 0)
        return 1;
    setup.sources_name = "debian.sources";
    setup.status = status;
    /* The archive is a dated snapshot: its Release files have long expired. */
    setup.conf = "Acquire::Check-Valid-Until \"false\";\nAcquire::Check-Date \"false\";\n";

    std::string lock_path = cache + "/.lock";
    int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0)
        return mkrel_fail_errno(err, "cannot open " + lock_path);
    /* One run at a time per cache: apt's own locks would refuse the second. */
    while (flock(lock, LOCK_EX) != 0)
        if (errno != EINTR) {
            close(lock);
            return mkrel_fail_errno(err, "cannot lock " + lock_path);
        }

    int r = mkrel_tempdir("osk-mkrelease-apt", &apt.dir, err);
    if (r == 0) {
        apt.lists = cache + "/lists";
        apt.archives = cache + "/archives";
        r = mkrel_apt_prepare(&apt, setup, err);
        if (r == 0)
            r = resolve_and_fetch(&apt, names, cache, debs, err);
        mkrel_rm_tree(apt.dir);
    }
    close(lock);
    return r;
}
