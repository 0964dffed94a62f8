/*
 * The base every node's roots start from, made by Debian's own tools: a
 * minimal Debian system from mmdebstrap (it resolves with apt, as the
 * archive's own installer does, and makes a system in seconds where
 * debootstrap takes minutes), then the platform's package installed by apt
 * and the base release by dpkg, as a node installed in the factory would
 * have them. Both layers are kept for the next cluster.
 */
#include <errno.h>
#include <fcntl.h>
#include <glob.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base.h"
#include "child_io.h"
#include "mkrelease.h"
#include "sim_fork.h"
#include "sim_util.h"

#include "osk_banned.h"

/* What a node of this system runs besides the minimal system: Debian's
 * remote shell with its server and superserver (which needs netbase's
 * service names), or OpenSSH's when the cluster chooses it, perl for
 * maintainer scripts, iproute2 for the host's network, psmisc for update's
 * killall, procps for an operator's ps. */
static const char *const node_packages[] = {
    "openbsd-inetd", "rsh-server", "rsh-client", "openssh-server", "openssh-client",
    "perl",          "netbase",    "iproute2",   "psmisc",         "procps"};

/* Bumped whenever what is done to a layer after its tools ran changes. */
#define BASE_RECIPE "2"

static const char *const chroot_env[] = {
    "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
    "DEBIAN_FRONTEND=noninteractive", "LC_ALL=C.UTF-8", "HOME=/root", nullptr};

/* Runs ARGV with both output streams in *OUT, in a mount namespace of its
 * own (whatever it mounts goes with it) and as PID 1 of a PID namespace of
 * its own (an `up` killed mid-build takes every process of it along),
 * after SETUP, if any, ran in the child. Returns the exit status, or -1. */
static int run_captured(const std::vector<std::string> &argv, const std::function<int()> &setup,
                        std::string *out)
{
    int p[2];
    if (pipe2(p, O_CLOEXEC) < 0)
        return -1;
    pid_t pid;
    int r = sim_fork(FORK_NEW_MOUNTNS | FORK_NEW_PIDNS | FORK_DEATHSIG_SIGKILL | FORK_NULL_STDIN |
                         FORK_CLOSE_ALL_FDS | FORK_RESET_SIGNALS,
                     &p[1], 1, &pid);
    if (r == 0) {
        dup2(p[1], 1);
        dup2(p[1], 2);
        if (setup && setup() < 0)
            _exit(126);
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execve(args[0][0] == '/' ? args[0] : ("/usr/bin/" + argv[0]).c_str(), args.data(),
               const_cast<char **>(chroot_env));
        fprintf(stderr, "%s: %s\n", args[0], strerror(errno));
        _exit(127);
    }
    close(p[1]);
    if (r < 0) {
        close(p[0]);
        return -1;
    }
    int fds[2] = {p[0], -1}; /* both streams share the one pipe */
    (void)child_drain(fds, {.out = out}, -1);
    child_drain_close(fds);
    int sig;
    int status = child_reap(pid, &sig);
    return sig ? 128 + sig : status;
}

/* The line of OUTPUT that says what went wrong: the first "E: " line (apt
 * and mmdebstrap name the cause first, then each step that failed of it),
 * else the last line. */
static std::string reason(const std::string &output)
{
    std::istringstream lines(output);
    std::string last;
    for (std::string l; std::getline(lines, l);) {
        if (l.compare(0, 3, "E: ") == 0)
            return l;
        if (!l.empty())
            last = l;
    }
    return last;
}

static uint64_t fnv(uint64_t h, const std::string &s)
{
    for (unsigned char c : s)
        h = (h ^ c) * 1099511628211ull;
    return (h ^ 0xff) * 1099511628211ull;
}

static std::string hex(uint64_t h)
{
    char s[20];
    snprintf(s, sizeof s, "%016llx", (unsigned long long)h);
    return s;
}

static std::string file_text(const std::string &path)
{
    std::string text;
    FILE *f = fopen(path.c_str(), "re");
    if (!f)
        return text;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

static std::string newest(const std::string &pattern)
{
    glob_t g;
    std::string found;
    if (glob(pattern.c_str(), 0, nullptr, &g) == 0 && g.gl_pathc > 0)
        found = g.gl_pathv[g.gl_pathc - 1];
    globfree(&g);
    return found;
}

/* The tree's packages, made beside its programs ("" when the build made
 * none). */
struct tree_debs {
    std::string node;   /* sim-node-platform */
    std::string update; /* osk-update */
};

static tree_debs find_debs(const std::string &build)
{
    return {newest(build + "/sim-deb/sim-node-platform_*.deb"),
            newest(build + "/deb/osk-update_*.deb")};
}

/* Package names a .deb's Depends and Pre-Depends need (the first of each
 * set of alternatives, without versions). */
static std::vector<std::string> deb_needs(const std::string &deb)
{
    std::string out;
    if (deb.empty() ||
        run_captured({"dpkg-deb", "--field", deb, "Depends", "Pre-Depends"}, nullptr, &out) != 0)
        return {};
    std::vector<std::string> names;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        std::istringstream items(line.substr(colon + 2));
        for (std::string item; std::getline(items, item, ',');) {
            size_t b = item.find_first_not_of(' ');
            if (b != std::string::npos)
                names.push_back(item.substr(b, item.find_first_of(" (:|", b) - b));
        }
    }
    return names;
}

/* Where this machine's apt takes its packages from: the archive the nodes'
 * systems are made from too. */
static std::string archive_sources(void)
{
    /* A test points the nodes at another archive (one that cannot be
     * reached, say). */
    const char *given = getenv("OSK_SIM_ARCHIVE_SOURCES");
    if (given && *given)
        return given;
    static const char *const candidates[] = {"/etc/apt/sources.list.d/debian.sources",
                                             "/etc/apt/sources.list"};
    for (const char *c : candidates) {
        struct stat st;
        if (stat(c, &st) == 0 && st.st_size > 0)
            return c;
    }
    return "";
}

static std::string suite(void)
{
    std::istringstream lines(file_text("/etc/os-release"));
    for (std::string l; std::getline(lines, l);)
        if (l.compare(0, 17, "VERSION_CODENAME=") == 0)
            return l.substr(17);
    return "bookworm";
}

/* The archive's state as this machine last read it: the dates of the
 * release files its apt fetched (a dated snapshot keeps them). */
static std::string archive_dates(void)
{
    glob_t g;
    std::string dates;
    if (glob("/var/lib/apt/lists/*Release", 0, nullptr, &g) == 0)
        for (size_t i = 0; i < g.gl_pathc; i++) {
            std::istringstream lines(file_text(g.gl_pathv[i]));
            for (std::string l; std::getline(lines, l);)
                if (l.compare(0, 6, "Date: ") == 0)
                    dates += l + "\n";
        }
    globfree(&g);
    return dates;
}

/* The kept layers live here; the lock is held while one is built. */
struct store {
    std::string dir;
    int lock = -1;
};

static int store_open(store *s, const std::string &build)
{
    s->dir = build + "/sim-base";
    if (sim_mkdir_p(s->dir.c_str(), 0700) < 0) {
        fprintf(stderr, "osk-cluster: cannot make %s: %s\n", s->dir.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

static int store_lock(store *s)
{
    if (s->lock >= 0)
        return 0;
    std::string path = s->dir + "/.lock";
    s->lock = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (s->lock < 0 || flock(s->lock, LOCK_EX) < 0) {
        fprintf(stderr, "osk-cluster: cannot lock %s: %s\n", path.c_str(), strerror(errno));
        return -1;
    }
    return 0;
}

static void store_close(store *s)
{
    if (s->lock >= 0)
        close(s->lock);
    s->lock = -1;
}

static bool kept(const std::string &dir)
{
    return access((dir + "/done").c_str(), F_OK) == 0;
}

/* 0 when layer DIR is kept already; 1 when it is to be made now, with the
 * store's lock held (another cluster may have made it while this one
 * waited); -1 when the lock cannot be had. */
static int claim(store *s, const std::string &dir)
{
    if (kept(dir))
        return 0;
    if (store_lock(s) < 0)
        return -1;
    return kept(dir) ? 0 : 1;
}

/* Layers of the same kind as DIR left by earlier builds go once they are a
 * day old: a cluster started from one may still be running. */
static void prune(const std::string &dir)
{
    std::string kind = dir.substr(0, dir.rfind('-') + 1);
    glob_t g;
    if (glob((kind + "*").c_str(), 0, nullptr, &g) != 0)
        return;
    time_t old = time(nullptr) - 24 * 3600;
    for (size_t i = 0; i < g.gl_pathc; i++) {
        struct stat st;
        if (dir != g.gl_pathv[i] && lstat(g.gl_pathv[i], &st) == 0 && st.st_mtime < old)
            (void)sim_rm_tree(g.gl_pathv[i]);
    }
    globfree(&g);
}

/* Moves a finished layer from TMP to its kept name, or drops it. */
static int keep(const std::string &tmp, const std::string &dir)
{
    if (sim_write_file((tmp + "/done").c_str(), "", 0644) == 0 &&
        rename(tmp.c_str(), dir.c_str()) == 0) {
        prune(dir);
        return 0;
    }
    fprintf(stderr, "osk-cluster: cannot keep %s: %s\n", dir.c_str(), strerror(errno));
    (void)sim_rm_tree(tmp.c_str());
    return -1;
}

/* The system layer: a minimal Debian system (every Priority: required
 * package and apt) with the node's packages, from the archive. A node
 * reaches no network repository, so the archive's sources go again once
 * it is made. */
static int system_layer(store *s, const std::vector<std::string> &packages, std::string *root)
{
    std::string sources = archive_sources(), codename = suite();
    if (sources.empty()) {
        fprintf(stderr,
                "osk-cluster: this machine's apt names no package archive "
                "(/etc/apt/sources.list.d/debian.sources): cannot make the nodes' system\n");
        return -1;
    }
    std::string include;
    for (const std::string &p : packages)
        include += (include.empty() ? "" : ",") + p;
    uint64_t key = fnv(1469598103934665603ull, BASE_RECIPE);
    key = fnv(fnv(fnv(fnv(key, codename), include), file_text(sources)), archive_dates());
    std::string dir = s->dir + "/system-" + hex(key);
    *root = dir + "/root";
    if (int r = claim(s, dir); r != 1)
        return r;

    fprintf(stderr, "osk-cluster: making the nodes' Debian system (once for this build)...\n");
    std::string tmp = dir + ".new", out;
    (void)sim_rm_tree(tmp.c_str());
    if (sim_mkdir_p(tmp.c_str(), 0755) < 0) {
        fprintf(stderr, "osk-cluster: cannot make %s: %s\n", tmp.c_str(), strerror(errno));
        return -1;
    }
    int rc =
        run_captured({"mmdebstrap", "--variant=minbase", "--include=" + include,
                      "--aptopt=Acquire::Check-Valid-Until \"false\"",
                      "--aptopt=Acquire::Check-Date \"false\"", codename, tmp + "/root", sources},
                     nullptr, &out);
    /* The host keys the server's install made would be every host's: each
     * host gets its own at `up` instead. */
    if (rc == 0)
        rc = run_captured({"/bin/sh", "-c",
                           "rm -f \"$1\"/etc/apt/sources.list.d/0000debian.sources "
                           "\"$1\"/etc/apt/apt.conf.d/99mmdebstrap \"$1\"/etc/ssh/ssh_host_*",
                           "sh", tmp + "/root"},
                          nullptr, &out);
    (void)sim_write_file((tmp + "/mmdebstrap.log").c_str(), out.c_str(), 0644);
    if (rc != 0) {
        fprintf(stderr,
                "osk-cluster: cannot make the nodes' Debian system from the package archive "
                "(mmdebstrap %s): %s\n",
                rc == 127 ? "is not installed" : "failed", reason(out).c_str());
        (void)sim_rm_tree(tmp.c_str());
        return -1;
    }
    return keep(tmp, dir);
}

/* The base release the nodes start with, with the build's package. */
static int make_release(const std::string &out, const char *release, const std::string &deb,
                        std::string *err)
{
    auto package = [&](const char *name) {
        mkrel_package p;
        p.name = name;
        p.version = std::string(release) + "-1";
        return p;
    };
    mkrel_release rel;
    rel.version = release;
    mkrel_package osk = package("osk");
    osk.depends = "osk-base (= " + osk.version + ")";
    osk.provides = {"osk-toc-26", "osk-handshake-5"};
    rel.packages = {osk, package("osk-base"), package("osk-tools")};
    if (!deb.empty()) {
        mkrel_package own;
        own.deb = deb;
        rel.packages.push_back(own);
    }
    rel.format = MKREL_DIR;
    rel.output = out;
    return mkrel_build(&rel, err);
}

/* In the tree layer's merged view: the platform's package by apt, the base
 * release by dpkg with its files kept where an installed node keeps them,
 * or, without one, the build's update linked in. */
static const char tree_script[] =
    "set -e\n"
    "cd /tmp/osk-base\n"
    "apt-get install -y -q --no-install-recommends ./sim-node-platform.deb\n"
    "if [ -d release ]; then\n"
    "  repo=release/oskpackage/" MKREL_REPO_DIR "\n"
    "  dpkg --recursive --install \"$repo\"\n"
    "  mkdir -p /var/opt/osk/packages\n"
    "  cp \"$repo\"/*.deb /var/opt/osk/packages/\n"
    "else\n"
    "  ln -s /opt/osk-sim/bin/update /usr/sbin/update\n"
    "fi\n"
    "apt-get clean\n"
    "cd /\n"
    "rm -rf /tmp/osk-base\n";

static int tree_layer(store *s, const std::string &system, const std::string &bindir,
                      const tree_debs &debs, const char *release, std::string *upper)
{
    struct stat self;
    std::string cluster = bindir + "/osk-cluster";
    if (stat(cluster.c_str(), &self) < 0)
        self = {};
    bool with_release = strcmp(release, "none") != 0;
    uint64_t key = fnv(fnv(fnv(1469598103934665603ull, BASE_RECIPE), system), release);
    key = fnv(fnv(key, file_text(debs.node)), with_release ? file_text(debs.update) : "");
    key = fnv(key, std::to_string(self.st_size) + "." + std::to_string(self.st_mtim.tv_sec) + "." +
                       std::to_string(self.st_mtim.tv_nsec));
    std::string dir = s->dir + "/tree-" + hex(key);
    *upper = dir + "/upper";
    if (int r = claim(s, dir); r != 1)
        return r;

    std::string tmp = dir + ".new", up = tmp + "/upper", work = tmp + "/work", mnt = tmp + "/mnt";
    std::string stage = up + "/tmp/osk-base", err;
    (void)sim_rm_tree(tmp.c_str());
    if (sim_mkdir_p(stage.c_str(), 0755) < 0 || chmod((up + "/tmp").c_str(), 01777) < 0 ||
        sim_mkdir_p(work.c_str(), 0755) < 0 || sim_mkdir_p(mnt.c_str(), 0755) < 0 ||
        sim_copy_file(debs.node.c_str(), (stage + "/sim-node-platform.deb").c_str(), 0644) < 0) {
        fprintf(stderr, "osk-cluster: cannot stage the nodes' packages in %s: %s\n", tmp.c_str(),
                strerror(errno));
        (void)sim_rm_tree(tmp.c_str());
        return -1;
    }
    if (with_release && make_release(stage + "/release", release, debs.update, &err) != 0) {
        fprintf(stderr, "osk-cluster: base release %s: %s\n", release, err.c_str());
        (void)sim_rm_tree(tmp.c_str());
        return -1;
    }
    std::string opts = "lowerdir=" + system + ",upperdir=" + up + ",workdir=" + work, out;
    auto enter = [&]() {
        std::string proc = mnt + "/proc", dev = mnt + "/dev";
        if (mount("overlay", mnt.c_str(), "overlay", 0, opts.c_str()) < 0 ||
            mount("proc", proc.c_str(), "proc", 0, nullptr) < 0 ||
            mount("/dev", dev.c_str(), nullptr, MS_BIND | MS_REC, nullptr) < 0 ||
            chroot(mnt.c_str()) < 0 || chdir("/") < 0) {
            fprintf(stderr, "osk-cluster: enter the nodes' base: %s\n", strerror(errno));
            return -1;
        }
        return 0;
    };
    int rc = run_captured({"/bin/sh", "-c", tree_script}, enter, &out);
    (void)sim_write_file((tmp + "/install.log").c_str(), out.c_str(), 0644);
    (void)sim_rm_tree(work.c_str());
    (void)rmdir(mnt.c_str());
    if (rc != 0) {
        fprintf(stderr, "osk-cluster: cannot install the nodes' packages into their base: %s\n",
                reason(out).c_str());
        (void)sim_rm_tree(tmp.c_str());
        return -1;
    }
    return keep(tmp, dir);
}

int base_system_run(const std::string &system, const std::string &mnt,
                    const std::vector<std::string> &argv, std::string *out)
{
    auto enter = [&]() {
        std::string at = system + "/mnt";
        if (mount(system.c_str(), system.c_str(), nullptr, MS_BIND, nullptr) < 0 ||
            mount(nullptr, system.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) <
                0 ||
            mount(mnt.c_str(), at.c_str(), nullptr, MS_BIND, nullptr) < 0 ||
            chroot(system.c_str()) < 0 || chdir("/") < 0) {
            fprintf(stderr, "osk-cluster: enter the nodes' system: %s\n", strerror(errno));
            return -1;
        }
        return 0;
    };
    return run_captured(argv, enter, out);
}

int base_layers_get(const char *bindir, const char *release, base_layers *out)
{
    char real[PATH_MAX];
    if (realpath(bindir, real) == nullptr) {
        fprintf(stderr, "osk-cluster: %s: %s\n", bindir, strerror(errno));
        return -1;
    }
    std::string bin = real, build = bin.substr(0, bin.rfind('/'));
    tree_debs debs = find_debs(build);
    if (debs.node.empty()) {
        fprintf(stderr,
                "osk-cluster: the build made no node package (%s/sim-deb): build the "
                "target sim-deb\n",
                build.c_str());
        return -1;
    }
    std::vector<std::string> packages(std::begin(node_packages), std::end(node_packages));
    for (const std::string &deb : {debs.node, debs.update})
        for (const std::string &p : deb_needs(deb))
            packages.push_back(p);
    std::sort(packages.begin(), packages.end());
    packages.erase(std::unique(packages.begin(), packages.end()), packages.end());

    store s;
    int rc = store_open(&s, build);
    if (rc == 0)
        rc = system_layer(&s, packages, &out->system);
    if (rc == 0)
        rc = tree_layer(&s, out->system, bin, debs, release, &out->tree);
    store_close(&s);
    return rc;
}

int base_release_make(const char *dir, const char *release, const char *bindir)
{
    base_layers layers;
    if (base_layers_get(bindir, release, &layers) < 0)
        return -1;
    std::string base = std::string(dir) + "/base";
    if (sim_mkdir_p(base.c_str(), 0755) < 0 ||
        symlink(layers.system.c_str(), (base + "/system").c_str()) < 0 ||
        symlink(layers.tree.c_str(), (base + "/tree").c_str()) < 0) {
        fprintf(stderr, "osk-cluster: cannot link the nodes' base into %s: %s\n", base.c_str(),
                strerror(errno));
        return -1;
    }
    return 0;
}

int base_cmd(const char *bindir, int argc, char **argv)
{
    const char *release = BASE_RELEASE_DEFAULT;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--base") == 0 && i + 1 < argc) {
            release = argv[++i];
            continue;
        }
        fprintf(stderr, "usage: osk-cluster base [--base RELEASE|none]\n");
        return 2;
    }
    base_layers layers;
    if (base_layers_get(bindir, release, &layers) < 0)
        return 1;
    printf("%s:%s\n", layers.tree.c_str(), layers.system.c_str());
    return 0;
}
