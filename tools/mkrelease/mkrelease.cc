/*
 * Builds a release: .deb files with dpkg-deb, their index, the release's
 * own files, then the archive with tar. Everything is made in a staging
 * directory first so that a failed build leaves no half-written output.
 */
#include <errno.h>
#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "check.h"
#include "debian.h"
#include "mkrelease.h"
#include "sys.h"

#include "osk_banned.h"

#define MKREL_MAINTAINER "osk release builder <release@osk.invalid>"

/* One package as it ends up in the repository. */
struct built_deb {
    std::string name;
    std::string file;                /* name inside the repository directory */
    std::vector<std::string> fields; /* index lines before Filename */
    std::string description;         /* index lines after the checksums */
    std::string md5, sha256;
    long size = 0;
};

struct build_ctx {
    const mkrel_release *rel;
    std::string top;     /* holds oskpackage/ */
    std::string pkgdir;  /* top/oskpackage */
    std::string repo;    /* the apt repository directory */
    std::string scratch; /* package trees for dpkg-deb */
    std::vector<built_deb> debs;
    std::string *err;
};

/* Paths given for the release's own files stay inside oskpackage/. */
static bool safe_relative(const std::string &p)
{
    if (p.empty() || p[0] == '/')
        return false;
    size_t start = 0;
    for (;;) {
        size_t slash = p.find('/', start);
        std::string part = p.substr(start, slash == std::string::npos ? slash : slash - start);
        if (part == ".." || part.empty())
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

static bool valid_name(const std::string &n)
{
    if (n.size() < 2 || !(islower((unsigned char)n[0]) || isdigit((unsigned char)n[0])))
        return false;
    for (char c : n)
        if (!(islower((unsigned char)c) || isdigit((unsigned char)c) || strchr("+-.", c)))
            return false;
    return true;
}

static std::string script_text(const mkrel_package &p, const std::string &version,
                               const std::vector<std::string> &lines)
{
    std::string s = "#!/bin/sh\nPKG='" + p.name + "'\nVER='" + version + "'\n";
    for (const std::string &l : lines)
        s += l + "\n";
    return s + "exit 0\n";
}

/* Builds one of our own packages with dpkg-deb into the repository. */
static int build_own(build_ctx *c, const mkrel_package &p)
{
    const mkrel_release *rel = c->rel;
    std::string version = p.version.empty() ? rel->version : p.version;
    built_deb d;

    if (!valid_name(p.name))
        return mkrel_fail(c->err, "bad package name: " + p.name);
    if (version.empty())
        return mkrel_fail(c->err,
                          "package " + p.name + " has no version and there is no --release");

    d.name = p.name;
    d.fields.push_back("Package: " + p.name);
    d.fields.push_back("Version: " + version);
    d.fields.push_back("Architecture: " + p.arch);
    d.fields.push_back("Maintainer: " MKREL_MAINTAINER);
    if (!rel->version.empty())
        d.fields.push_back("Release-Version: " + rel->version);
    if (!p.depends.empty())
        d.fields.push_back("Depends: " + p.depends);
    if (!p.provides.empty()) {
        std::string v;
        for (const std::string &s : p.provides)
            v += (v.empty() ? "" : ", ") + s;
        d.fields.push_back("Provides: " + v);
    }
    for (const std::string &f : p.fields)
        d.fields.push_back(f);
    /* Last, because the installer reads Provides entries only up to it. */
    d.description = "Description: osk component " + p.name + "\n";

    size_t colon = version.find(':');
    std::string file_version = colon == std::string::npos ? version : version.substr(colon + 1);
    d.file = p.name + "_" + file_version + "_" + rel->deb_suffix + ".deb";

    std::string tree = c->scratch + "/" + p.name;
    std::string control;
    for (const std::string &f : d.fields)
        control += f + "\n";
    control += d.description;
    if (mkrel_write_file(tree + "/DEBIAN/control", control, 0644, c->err) != 0)
        return 1;
    const struct {
        const char *name;
        const std::vector<std::string> *lines;
    } scripts[] = {{"preinst", &p.preinst},
                   {"postinst", &p.postinst},
                   {"prerm", &p.prerm},
                   {"postrm", &p.postrm}};
    for (const auto &s : scripts)
        if (!s.lines->empty() &&
            mkrel_write_file(tree + "/DEBIAN/" + s.name, script_text(p, version, *s.lines), 0755,
                             c->err) != 0)
            return 1;
    if (mkrel_write_file(tree + "/opt/osk/share/" + p.name + ".version", version + "\n", 0644,
                         c->err) != 0)
        return 1;
    for (const mkrel_file &f : p.files)
        if (mkrel_write_file(tree + f.path, f.text, 0644, c->err) != 0)
            return 1;
    /* dpkg-deb insists on these modes whatever the umask made of them. */
    (void)chmod(tree.c_str(), 0755);
    (void)chmod((tree + "/DEBIAN").c_str(), 0755);

    /* Fast compression: tests build many releases. */
    if (mkrel_run_checked({"dpkg-deb", "--root-owner-group", "-Zgzip", "-z1", "--build", tree,
                           c->repo + "/" + d.file},
                          nullptr, c->err) != 0)
        return 1;
    c->debs.push_back(d);
    return 0;
}

/* Ships an existing .deb file as it is, indexed from its own control data. */
static int add_existing(build_ctx *c, const mkrel_package &p)
{
    built_deb d;
    std::string control;

    if (mkrel_run_checked({"dpkg-deb", "--field", p.deb}, &control, c->err) != 0)
        return 1;
    size_t slash = p.deb.rfind('/');
    d.file = slash == std::string::npos ? p.deb : p.deb.substr(slash + 1);
    if (mkrel_run_checked({"cp", p.deb, c->repo + "/" + d.file}, nullptr, c->err) != 0)
        return 1;

    /* Continuation lines stay with their field; Description goes last. */
    bool in_desc = false;
    size_t start = 0;
    while (start < control.size()) {
        size_t nl = control.find('\n', start);
        std::string line = control.substr(start, nl == std::string::npos ? nl : nl - start);
        start = nl == std::string::npos ? control.size() : nl + 1;
        if (line.empty())
            continue;
        if (line[0] != ' ' && line[0] != '\t')
            in_desc = line.rfind("Description:", 0) == 0;
        if (in_desc)
            d.description += line + "\n";
        else if (line[0] == ' ' || line[0] == '\t')
            d.fields.back() += "\n" + line;
        else
            d.fields.push_back(line);
        if (line.rfind("Package: ", 0) == 0)
            d.name = line.substr(9);
    }
    if (d.name.empty())
        return mkrel_fail(c->err, p.deb + " has no Package field");
    c->debs.push_back(d);
    return 0;
}

/* Fills md5 and sha256 of every built .deb: one run of each tool for all. */
static int checksum_debs(build_ctx *c)
{
    if (c->debs.empty())
        return 0;
    for (const char *tool : {"md5sum", "sha256sum"}) {
        std::vector<std::string> argv = {tool};
        std::string out;
        for (const built_deb &d : c->debs)
            argv.push_back(c->repo + "/" + d.file);
        if (mkrel_run_checked(argv, &out, c->err) != 0)
            return 1;
        size_t start = 0;
        for (built_deb &d : c->debs) {
            size_t nl = out.find('\n', start);
            size_t blank = out.find(' ', start);
            if (nl == std::string::npos || blank == std::string::npos || blank > nl)
                return mkrel_fail(c->err, std::string(tool) + " gave unexpected output");
            (tool[0] == 'm' ? d.md5 : d.sha256) = out.substr(start, blank - start);
            start = nl + 1;
        }
    }
    for (built_deb &d : c->debs) {
        struct stat st;
        if (stat((c->repo + "/" + d.file).c_str(), &st) != 0)
            return mkrel_fail_errno(c->err, "cannot stat " + d.file);
        d.size = (long)st.st_size;
    }
    return 0;
}

static bool has_fault(const mkrel_release *rel, mkrel_fault_kind kind, const std::string &pkg)
{
    for (const mkrel_fault &f : rel->faults)
        if (f.kind == kind && f.package == pkg)
            return true;
    return false;
}

/* A different valid-looking digest of the same length. */
static std::string flip_digest(const std::string &sum)
{
    std::string s = sum;
    if (!s.empty())
        s[0] = s[0] == '0' ? '1' : '0';
    return s;
}

static int write_index(build_ctx *c)
{
    const mkrel_release *rel = c->rel;
    std::string index;

    for (const built_deb &d : c->debs) {
        std::string md5 =
            "MD5sum: " + (has_fault(rel, MKREL_BAD_MD5, d.name) ? flip_digest(d.md5) : d.md5) +
            "\n";
        bool no_md5 = has_fault(rel, MKREL_NO_MD5, d.name);
        bool md5_first = has_fault(rel, MKREL_MD5_FIRST, d.name);

        for (const std::string &f : d.fields)
            index += f + "\n";
        if (md5_first && !no_md5)
            index += md5;
        /* Relative to the repository root, as apt and the installer read it. */
        index += "Filename: " MKREL_REPO_DIR "/" + d.file + "\n";
        index += "Size: " + std::to_string(d.size) + "\n";
        if (!md5_first && !no_md5)
            index += md5;
        index += "SHA256: " + d.sha256 + "\n";
        index += d.description + "\n";
    }
    for (const mkrel_fault &f : rel->faults)
        if (f.kind == MKREL_NO_INDEX)
            return 0;
    return mkrel_write_file(c->repo + "/Packages", index, 0644, c->err);
}

static int flip_byte(const std::string &path, off_t at, std::string *err)
{
    int fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    unsigned char b;
    if (fd < 0 || pread(fd, &b, 1, at) != 1) {
        if (fd >= 0)
            close(fd);
        return mkrel_fail_errno(err, "cannot corrupt " + path);
    }
    b ^= 0xff;
    if (pwrite(fd, &b, 1, at) != 1) {
        close(fd);
        return mkrel_fail_errno(err, "cannot corrupt " + path);
    }
    return close(fd) == 0 ? 0 : mkrel_fail_errno(err, "cannot corrupt " + path);
}

/*
 * Damage applied after indexing, so the index still holds the good sums.
 * The middle byte hits the control part; six bytes from the end lie in the
 * data member's gzip trailer (with or without the ar padding byte), so its
 * decompression must fail too.
 */
static int damage_debs(build_ctx *c)
{
    for (const built_deb &d : c->debs) {
        std::string path = c->repo + "/" + d.file;
        if (has_fault(c->rel, MKREL_MISSING_DEB, d.name) && unlink(path.c_str()) != 0)
            return mkrel_fail_errno(c->err, "cannot remove " + path);
        if (has_fault(c->rel, MKREL_CORRUPT_DEB, d.name) &&
            (flip_byte(path, (off_t)d.size / 2, c->err) != 0 ||
             flip_byte(path, (off_t)d.size - 6, c->err) != 0))
            return 1;
    }
    return 0;
}

static std::string join_lines(const std::vector<std::string> &v)
{
    std::string s;
    for (const std::string &l : v)
        s += l + "\n";
    return s;
}

static int write_release_files(build_ctx *c)
{
    const mkrel_release *rel = c->rel;
    const struct {
        const char *name;
        const std::optional<std::vector<std::string>> *list;
    } lists[] = {{"patchagainst", &rel->patchagainst},
                 {"simple_list", &rel->simple_list},
                 {"distant_list", &rel->distant_list},
                 {"kill", &rel->kill},
                 {"obsolete", &rel->obsolete}};

    for (const std::string &f : rel->flags)
        if (mkrel_write_file(c->pkgdir + "/" + f, "", 0644, c->err) != 0)
            return 1;
    for (const auto &l : lists)
        if (*l.list &&
            mkrel_write_file(c->pkgdir + "/" + l.name, join_lines(**l.list), 0644, c->err) != 0)
            return 1;
    if (rel->preupdate &&
        mkrel_write_file(c->pkgdir + "/preupdate", *rel->preupdate, 0755, c->err) != 0)
        return 1;
    for (const mkrel_file &f : rel->extra) {
        if (!safe_relative(f.path))
            return mkrel_fail(c->err, "file outside oskpackage/: " + f.path);
        if (mkrel_write_file(c->pkgdir + "/" + f.path, f.text, 0644, c->err) != 0)
            return 1;
    }
    return 0;
}

static int make_archive(build_ctx *c)
{
    const mkrel_release *rel = c->rel;
    std::string tmp = rel->output + ".tmp." + std::to_string(getpid());
    std::vector<std::string> argv = {"tar", "--owner=0", "--group=0", "--numeric-owner"};

    switch (rel->format) {
    case MKREL_TAR:
        argv.push_back("--format=ustar");
        break;
    case MKREL_GZIP:
        argv.insert(argv.end(), {"--format=ustar", "-z"});
        break;
    case MKREL_BZIP2:
        argv.insert(argv.end(), {"--format=ustar", "-j"});
        break;
    case MKREL_V7TAR:
        argv.push_back("--format=v7");
        break;
    case MKREL_DIR:
        return 0;
    }
    argv.insert(argv.end(), {"-C", c->top, "-cf", tmp, "oskpackage"});
    if (mkrel_run_checked(argv, nullptr, c->err) != 0) {
        (void)unlink(tmp.c_str());
        return 1;
    }
    for (const mkrel_fault &f : rel->faults) {
        if (f.kind != MKREL_TRUNCATE)
            continue;
        struct stat st;
        if (stat(tmp.c_str(), &st) != 0 ||
            truncate(tmp.c_str(), f.size > 0 ? f.size : st.st_size / 2) != 0) {
            (void)unlink(tmp.c_str());
            return mkrel_fail_errno(c->err, "cannot truncate " + tmp);
        }
    }
    if (rename(tmp.c_str(), rel->output.c_str()) != 0) {
        (void)unlink(tmp.c_str());
        return mkrel_fail_errno(c->err, "cannot move the archive to " + rel->output);
    }
    return 0;
}

static int check_faults(build_ctx *c)
{
    for (const mkrel_fault &f : c->rel->faults) {
        if (f.package.empty())
            continue;
        bool found = false;
        for (const built_deb &d : c->debs)
            found = found || d.name == f.package;
        if (!found)
            return mkrel_fail(c->err, "fault names a package not in the release: " + f.package);
    }
    return 0;
}

/* apt takes relative folders from its own Dir:: settings and the check
 * runs elsewhere: every path or path list handed on is made absolute. */
static std::string absolute(const std::string &paths)
{
    char cwd[4096];
    if (!getcwd(cwd, sizeof(cwd)))
        return paths;
    std::string out;
    size_t start = 0;
    for (;;) {
        size_t colon = paths.find(':', start);
        std::string p = paths.substr(start, colon == std::string::npos ? colon : colon - start);
        out += (start ? ":" : "") + (p.empty() || p[0] == '/' ? p : std::string(cwd) + "/" + p);
        if (colon == std::string::npos)
            return out;
        start = colon + 1;
    }
}

/* The release check on the staged release, when one was asked for. */
static int check_release(build_ctx *c)
{
    const mkrel_release *rel = c->rel;
    mkrel_check_target t;
    if (rel->no_check)
        return 0;
    if (!rel->check_root.empty() || !rel->check_status.empty()) {
        t.root = absolute(rel->check_root);
        t.status = absolute(rel->check_status);
    } else {
        t.root = absolute(rel->against_root);
        t.status = absolute(rel->against_status);
    }
    if (t.root.empty() && t.status.empty())
        return 0;
    std::vector<std::string> problems;
    if (mkrel_check(c->pkgdir, t, &problems, c->err) != 0)
        return 1;
    if (problems.empty())
        return 0;
    std::string why =
        "the release would not install on " + (t.root.empty() ? t.status : t.root) + ":";
    for (const std::string &p : problems)
        why += "\n" + p;
    return mkrel_fail(c->err, why);
}

/* The download cache next to the build's programs: BUILD/mkrelease-cache. */
static std::string default_cache()
{
    char exe[4096];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
    std::string dir = n > 0 ? std::string(exe, (size_t)n) : std::string("/var/tmp/x/x");
    dir = dir.substr(0, dir.rfind('/'));
    return dir.substr(0, dir.rfind('/')) + "/mkrelease-cache";
}

/* The Debian packages of the release, fetched and added like --deb. */
static int add_debian(const mkrel_release *rel, mkrel_release *with, std::string *err)
{
    std::string status = absolute(rel->against_status);
    if (rel->against_root.empty() && rel->against_status.empty())
        return mkrel_fail(err, "--debian needs the node state: --against or --against-status");
    if (status.empty() && mkrel_root_status(absolute(rel->against_root), &status, err) != 0)
        return 1;
    std::vector<std::string> debs;
    if (mkrel_debian_fetch(rel->debian, status,
                           rel->cache.empty() ? default_cache() : absolute(rel->cache), &debs,
                           err) != 0)
        return 1;
    for (const std::string &d : debs) {
        mkrel_package p;
        p.deb = d;
        with->packages.push_back(p);
    }
    return 0;
}

static int build_in(build_ctx *c)
{
    const mkrel_release *rel = c->rel;
    std::vector<mkrel_package> pkgs = rel->packages;

    if (pkgs.empty() && !rel->no_packages) {
        mkrel_package osk;
        osk.name = "osk";
        pkgs.push_back(osk);
    }
    for (size_t i = 0; i < pkgs.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (!pkgs[i].name.empty() && pkgs[i].name == pkgs[j].name)
                return mkrel_fail(c->err, "package given twice: " + pkgs[i].name);

    if (mkrel_mkdirs(c->repo) != 0 || mkrel_mkdirs(c->scratch) != 0)
        return mkrel_fail_errno(c->err, "cannot make " + c->repo);
    for (const mkrel_package &p : pkgs)
        if ((p.deb.empty() ? build_own(c, p) : add_existing(c, p)) != 0)
            return 1;
    mkrel_rm_tree(c->scratch);
    if (check_faults(c) != 0 || checksum_debs(c) != 0 || write_index(c) != 0 ||
        damage_debs(c) != 0 || write_release_files(c) != 0 || check_release(c) != 0)
        return 1;
    return make_archive(c);
}

int mkrel_build(const mkrel_release *given, std::string *err)
{
    mkrel_release with_debian;
    const mkrel_release *rel = given;
    if (!given->debian.empty()) {
        with_debian = *given;
        if (add_debian(given, &with_debian, err) != 0)
            return 1;
        rel = &with_debian;
    }
    build_ctx c;
    c.rel = rel;
    c.err = err;

    if (rel->output.empty())
        return mkrel_fail(err, "no output path (-o)");
    if (rel->format == MKREL_DIR) {
        c.top = rel->output;
        if (mkrel_mkdirs(c.top) != 0)
            return mkrel_fail_errno(err, "cannot make " + c.top);
        c.pkgdir = c.top + "/oskpackage";
        if (access(c.pkgdir.c_str(), F_OK) == 0)
            return mkrel_fail(err, c.pkgdir + " exists already");
        c.scratch = c.top + "/.mkrelease-build";
        c.repo = c.pkgdir + "/" MKREL_REPO_DIR;
        int r = build_in(&c);
        mkrel_rm_tree(c.scratch);
        if (r != 0)
            mkrel_rm_tree(c.pkgdir);
        return r;
    }

    if (mkrel_tempdir("osk-mkrelease", &c.top, err) != 0)
        return 1;
    c.pkgdir = c.top + "/oskpackage";
    c.scratch = c.top + "/build";
    c.repo = c.pkgdir + "/" MKREL_REPO_DIR;
    int r = build_in(&c);
    mkrel_rm_tree(c.top);
    return r;
}
