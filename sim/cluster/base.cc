/*
 * The base release every node starts with: a real release made by the
 * release builder and installed by dpkg once into a template layer, which
 * each new root partition then starts from. A node so answers "dpkg -s osk"
 * from its first boot, as a node installed in the factory would. The
 * release carries the build's own package too (update, osk-mcall), so a
 * node runs the update its root holds.
 */
#include <errno.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base.h"
#include "mkrelease.h"
#include "sim_fork.h"
#include "sim_util.h"

#include "osk_banned.h"

static mkrel_package base_package(const char *name, const std::string &version)
{
    mkrel_package p;
    p.name = name;
    p.version = version + "-1";
    return p;
}

/* The build's own package, made beside its programs, or "" when the build
 * made none. */
static std::string project_deb(const char *bindir)
{
    std::string pattern = std::string(bindir) + "/../deb/osk-update_*.deb";
    glob_t g;
    std::string deb;
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        deb = g.gl_pathv[g.gl_pathc - 1];
    globfree(&g);
    return deb;
}

static int make_release(const char *dir, const char *release, const std::string &deb,
                        std::string *err)
{
    mkrel_release rel;
    rel.version = release;
    mkrel_package osk = base_package("osk", release);
    osk.depends = "osk-base (= " + osk.version + ")";
    osk.provides = {"osk-toc-26", "osk-handshake-5"};
    rel.packages = {osk, base_package("osk-base", release), base_package("osk-tools", release)};
    if (!deb.empty()) {
        mkrel_package own;
        own.deb = deb;
        rel.packages.push_back(own);
    }
    rel.format = MKREL_DIR;
    rel.output = std::string(dir) + "/base/release";
    return mkrel_build(&rel, err);
}

/* The template's package database starts empty, hiding this machine's: a
 * node's dpkg then knows the node software only, and no install on a node
 * reads this machine's thousands of file lists or runs its triggers. */
static int own_dpkg_database(const char *upper)
{
    char admin[PATH_MAX], p[PATH_MAX];
    snprintf(admin, sizeof admin, "%s/var/lib/dpkg", upper);
    if (sim_mkdir_opaque(admin, 0755) < 0)
        return -1;
    for (const char *d : {"info", "updates", "triggers", "alternatives", "parts"}) {
        snprintf(p, sizeof p, "%s/%s", admin, d);
        if (sim_mkdir_p(p, 0755) < 0)
            return -1;
    }
    for (const char *f : {"status", "available", "diversions", "statoverride"}) {
        snprintf(p, sizeof p, "%s/%s", admin, f);
        if (sim_write_file(p, "", 0644) < 0)
            return -1;
    }
    return 0;
}

/* Output of a command of this machine, "" when it fails. */
static std::string command_output(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    return pclose(p) == 0 ? out : std::string();
}

/* Package names of the Depends and Pre-Depends lines in TEXT, every
 * alternative included, without versions or architecture qualifiers. */
static std::vector<std::string> depended_on(const std::string &text)
{
    std::vector<std::string> names;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos ||
            (line.compare(0, colon, "Depends") != 0 && line.compare(0, colon, "Pre-Depends") != 0))
            continue;
        std::istringstream items(line.substr(colon + 2));
        for (std::string item; std::getline(items, item, ',');) {
            std::istringstream alts(item);
            for (std::string alt; std::getline(alts, alt, '|');) {
                size_t b = alt.find_first_not_of(' ');
                if (b == std::string::npos)
                    continue;
                names.push_back(alt.substr(b, alt.find_first_of(" (:", b) - b));
            }
        }
    }
    return names;
}

static bool plain_name(const std::string &n)
{
    if (n.empty())
        return false;
    for (char c : n)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-'))
            return false;
    return true;
}

/* The packages of this machine that the build's package needs, the node's
 * remote shell (client, server and its superserver), and what they need in
 * turn, are listed as installed in the node's database, as a node's base
 * system lists them; their files are this machine's, which the roots show
 * through. */
static int seed_dependencies(const char *upper, const std::string &deb)
{
    std::string admin = std::string(upper) + "/var/lib/dpkg", status;
    std::vector<std::string> todo = {"rsh-client", "rsh-server", "openbsd-inetd"};
    if (!deb.empty())
        for (const std::string &d :
             depended_on(command_output("dpkg-deb --field '" + deb + "' Depends Pre-Depends")))
            todo.push_back(d);
    std::set<std::string> seen;
    while (!todo.empty()) {
        std::string name = todo.back();
        todo.pop_back();
        if (!plain_name(name) || !seen.insert(name).second)
            continue;
        std::string stanza = command_output("dpkg-query -s " + name + " 2>/dev/null");
        if (stanza.find("\nStatus: install ok installed\n") == std::string::npos)
            continue; /* a virtual name, or an alternative not installed here */
        status += stanza + (stanza.back() == '\n' ? "\n" : "\n\n");
        for (const std::string &d : depended_on(stanza))
            todo.push_back(d);
        /* Its file list and sums, so dpkg knows what it owns. */
        std::string info = "/var/lib/dpkg/info/" + name;
        (void)system(("cp " + info + ".list " + info + ":*.list " + info + ".md5sums " + info +
                      ":*.md5sums '" + admin + "/info/' 2>/dev/null")
                         .c_str());
    }
    return sim_write_file((admin + "/status").c_str(), status.c_str(), 0644);
}

/* In a private overlay of "/": installs the release and keeps its package
 * files where an installed node keeps them. */
static int install_into_template(const char *dir)
{
    char upper[PATH_MAX], work[PATH_MAX], mnt[PATH_MAX], opts[3 * PATH_MAX], repo[PATH_MAX];
    snprintf(upper, sizeof upper, "%s/base/upper", dir);
    snprintf(work, sizeof work, "%s/base/work", dir);
    snprintf(mnt, sizeof mnt, "%s/base/mnt", dir);
    snprintf(repo, sizeof repo, "%s/base/release/oskpackage/" MKREL_REPO_DIR, dir);
    snprintf(opts, sizeof opts, "lowerdir=/,upperdir=%s,workdir=%s", upper, work);
    if (sim_mkdir_p(upper, 0755) < 0 || sim_mkdir_p(work, 0755) < 0 || sim_mkdir_p(mnt, 0755) < 0)
        return -1;

    pid_t pid;
    int r = sim_fork(FORK_NEW_MOUNTNS | FORK_DEATHSIG_SIGKILL | FORK_NULL_STDIN, nullptr, 0, &pid);
    if (r < 0)
        return -1;
    if (r == 0) {
        char proc[PATH_MAX], dev[PATH_MAX], store[PATH_MAX], cmd[2 * PATH_MAX];
        snprintf(proc, sizeof proc, "%s/proc", mnt);
        snprintf(dev, sizeof dev, "%s/dev", mnt);
        if (mount("overlay", mnt, "overlay", 0, opts) < 0 ||
            mount("/proc", proc, nullptr, MS_BIND | MS_REC, nullptr) < 0 ||
            mount("/dev", dev, nullptr, MS_BIND | MS_REC, nullptr) < 0 || chroot(mnt) < 0 ||
            chdir("/") < 0) {
            fprintf(stderr, "osk-cluster: base release: %s\n", strerror(errno));
            _exit(1);
        }
        snprintf(store, sizeof store, "/var/opt/osk/packages");
        snprintf(cmd, sizeof cmd,
                 "dpkg --recursive --install %s >/dev/null && mkdir -p %s && cp %s/*.deb %s/", repo,
                 store, repo, store);
        execl("/bin/sh", "sh", "-c", cmd, (char *)nullptr);
        _exit(127);
    }
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR)
        ;
    return WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

/* Where a built template of RELEASE is kept for the next cluster of this
 * build: named after what it is made from (the release, the build's
 * package, this program and this machine's packages), so that a change of
 * any of them makes a new one. */
static std::string cache_dir(const char *bindir, const char *release, const std::string &deb)
{
    unsigned long long key = 1469598103934665603ull;
    auto mix = [&](const std::string &path) {
        struct stat st;
        long long v[2] = {0, 0};
        if (stat(path.c_str(), &st) == 0) {
            v[0] = (long long)st.st_size;
            v[1] = (long long)st.st_mtim.tv_sec * 1000000000ll + st.st_mtim.tv_nsec;
        }
        for (long long x : v)
            key = (key ^ (unsigned long long)x) * 1099511628211ull;
    };
    mix(deb);
    mix(std::string(bindir) + "/osk-cluster");
    mix("/var/lib/dpkg/status");
    char name[64];
    snprintf(name, sizeof name, "/%016llx", key);
    return std::string(bindir) + "/../sim-base/" + release + name;
}

/* Builds the template in DIR/base/upper. */
static int build_template(const char *dir, const char *release, const std::string &deb)
{
    std::string err;
    char upper[PATH_MAX];
    snprintf(upper, sizeof upper, "%s/base/upper", dir);
    if (own_dpkg_database(upper) < 0) {
        fprintf(stderr, "osk-cluster: base release: cannot make the package database in %s: %s\n",
                upper, strerror(errno));
        return -1;
    }
    if (seed_dependencies(upper, deb) < 0) {
        fprintf(stderr, "osk-cluster: base release: cannot list the node's base system in %s\n",
                upper);
        return -1;
    }
    if (make_release(dir, release, deb, &err) != 0) {
        fprintf(stderr, "osk-cluster: base release %s: %s\n", release, err.c_str());
        return -1;
    }
    if (install_into_template(dir) < 0) {
        fprintf(stderr, "osk-cluster: cannot install the base release %s\n", release);
        return -1;
    }
    return 0;
}

int base_release_make(const char *dir, const char *release, const char *bindir)
{
    std::string deb = project_deb(bindir), cache = cache_dir(bindir, release, deb);
    std::string upper = std::string(dir) + "/base/upper";
    if (access((cache + "/done").c_str(), F_OK) == 0)
        return sim_copy_tree((cache + "/upper").c_str(), upper.c_str());
    if (build_template(dir, release, deb) < 0)
        return -1;
    /* Kept for the next cluster; of clusters made at once, one keeps its own. */
    std::string tmp = cache + ".new." + std::to_string(getpid());
    if (sim_copy_tree(upper.c_str(), (tmp + "/upper").c_str()) == 0 &&
        sim_write_file((tmp + "/done").c_str(), "", 0644) == 0 &&
        rename(tmp.c_str(), cache.c_str()) == 0)
        return 0;
    (void)sim_rm_tree(tmp.c_str());
    return 0;
}
