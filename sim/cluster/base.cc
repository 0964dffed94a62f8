/*
 * The base release every node starts with: a real release made by the
 * release builder and installed by dpkg once into a template layer, which
 * each new root partition then starts from. A node so answers "dpkg -s osk"
 * from its first boot, as a node installed in the factory would.
 */
#include <errno.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <string>

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

static int make_release(const char *dir, const char *release, std::string *err)
{
    mkrel_release rel;
    rel.version = release;
    mkrel_package osk = base_package("osk", release);
    osk.depends = "osk-base (= " + osk.version + ")";
    osk.provides = {"osk-toc-26", "osk-handshake-5"};
    rel.packages = {osk, base_package("osk-base", release), base_package("osk-tools", release)};
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
    if (sim_mkdir_p(admin, 0755) < 0 || setxattr(admin, "trusted.overlay.opaque", "y", 1, 0) < 0)
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
    if (sim_mkdir_p(upper, 0755) < 0 || sim_mkdir_p(work, 0755) < 0 || sim_mkdir_p(mnt, 0755) < 0 ||
        own_dpkg_database(upper) < 0)
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

int base_release_make(const char *dir, const char *release)
{
    std::string err;
    if (make_release(dir, release, &err) != 0) {
        fprintf(stderr, "osk-cluster: base release %s: %s\n", release, err.c_str());
        return -1;
    }
    if (install_into_template(dir) < 0) {
        fprintf(stderr, "osk-cluster: cannot install the base release %s\n", release);
        return -1;
    }
    return 0;
}
