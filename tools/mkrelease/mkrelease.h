/*
 * Release builder: makes real update packages (a tar, gzip or bzip2 archive
 * holding "oskpackage/" with an apt repository of ".deb" files, its
 * "Packages" index and the release's flag, list and script files) from a
 * short description, so that tests and demos never hand-craft a release.
 *
 * Use:
 *   1. Fill a mkrel_release, either directly or from options
 *      (mkrel_parse_args) or a manifest file (mkrel_read_manifest; its lines
 *      are the same options without the leading "--").
 *   2. mkrel_build() writes rel.output. It runs dpkg-deb, md5sum, sha256sum
 *      and tar as child processes and works in a private staging directory
 *      under $TMPDIR (or /tmp) that it removes again, even on failure.
 *      Packages of the Debian archive are fetched first (debian.h); the
 *      release check (check.h), when asked for, runs on the staged release
 *      before anything is written, and a refusal fails the build with one
 *      line per problem in *err after a summary line.
 *   mkrel_make() does both steps from an argument list.
 *
 * Every function returns 0 on success, or 1 with a one-line reason in *err.
 * The builder keeps no state between calls and may be used from tests in
 * the same process.
 */
#ifndef OSK_MKRELEASE_H
#define OSK_MKRELEASE_H

#include <optional>
#include <string>
#include <vector>

/* Apt repository of a release, relative to the "oskpackage" directory. */
#define MKREL_REPO_DIR "dists/Valtor-2-0/osk/binary-i386"

enum mkrel_format {
    MKREL_TAR,   /* POSIX tar ("ustar" at offset 257) */
    MKREL_GZIP,  /* gzip-compressed tar */
    MKREL_BZIP2, /* bzip2-compressed tar */
    MKREL_V7TAR, /* old tar without the "ustar" magic, which the installer refuses */
    MKREL_DIR,   /* no archive: output is a directory holding "oskpackage/" */
};

struct mkrel_file {
    std::string path; /* inside the package, absolute */
    std::string text;
};

struct mkrel_package {
    std::string name;    /* "osk", "osk-base", ... */
    std::string version; /* empty: the release version */
    std::string arch = "all";
    std::string depends;               /* Depends: value, empty for none */
    std::vector<std::string> provides; /* "osk-toc-12", "osk-handshake-5" */
    std::vector<std::string> fields;   /* extra control lines, "Name: value" */
    std::vector<std::string> preinst;  /* maintainer script bodies, line by */
    std::vector<std::string> postinst; /* line after "#!/bin/sh"; empty */
    std::vector<std::string> prerm;    /* means no script */
    std::vector<std::string> postrm;
    std::vector<mkrel_file> files; /* besides /opt/osk/share/<name>.version */
    std::string deb;               /* non-empty: ship this existing .deb instead */
};

/* Deliberate damage, for the tests of the installer's checks. */
enum mkrel_fault_kind {
    MKREL_BAD_MD5,     /* index gives a wrong MD5sum for the package */
    MKREL_NO_MD5,      /* index has no MD5sum line for the package */
    MKREL_MD5_FIRST,   /* the package's MD5sum line comes before its Filename */
    MKREL_CORRUPT_DEB, /* .deb changed after indexing (sum and contents break) */
    MKREL_MISSING_DEB, /* .deb listed in the index but absent */
    MKREL_NO_INDEX,    /* no "Packages" file at all */
    MKREL_TRUNCATE,    /* archive cut to `size` bytes (0: half its length) */
};

struct mkrel_fault {
    mkrel_fault_kind kind;
    std::string package; /* for the per-package faults */
    long size = 0;       /* for MKREL_TRUNCATE */
};

struct mkrel_release {
    std::string version; /* Release-Version field; empty leaves it out */
    std::vector<mkrel_package> packages;
    bool no_packages = false;       /* an empty repository on purpose */
    std::vector<std::string> flags; /* "nopivot", "noreboot", "partial", ... */
    /* Version lists; nullopt leaves the file out, an empty list is an empty file. */
    std::optional<std::vector<std::string>> patchagainst, simple_list, distant_list;
    std::optional<std::vector<std::string>> kill, obsolete;
    std::optional<std::string> preupdate; /* whole script text */
    std::vector<mkrel_file> extra;        /* any file, path relative to oskpackage/ */
    std::string deb_suffix = "i386";      /* file names <name>_<version>_<suffix>.deb */
    mkrel_format format = MKREL_GZIP;
    std::vector<mkrel_fault> faults;
    std::string output;

    /* Packages of the Debian archive, "NAME" or "NAME=VERSION", resolved on
     * the node state against_root (a root, or an overlay lowerdir list,
     * highest layer first) or against_status (a dpkg status file) and
     * shipped as they are (debian.h). */
    std::vector<std::string> debian;
    std::string against_root, against_status;
    std::string cache; /* their download cache; empty: mkrelease-cache in the build */
    /* The release check (check.h) on this root or status; when neither is
     * given, on the against_ state; never with no_check. A release it
     * refuses is not written. */
    std::string check_root, check_status;
    bool no_check = false;
};

/* Applies options (argv-style, without the program name) to *rel. */
int mkrel_parse_args(mkrel_release *rel, const std::vector<std::string> &args, std::string *err);

/* Applies a manifest: one option per line without "--", "#" comments. */
int mkrel_read_manifest(mkrel_release *rel, const std::string &path, std::string *err);

/* Writes the release described by *rel to rel->output. */
int mkrel_build(const mkrel_release *rel, std::string *err);

/* mkrel_parse_args on a fresh release, then mkrel_build. */
int mkrel_make(const std::vector<std::string> &args, std::string *err);

/* The option summary printed by --help. */
extern const char mkrel_usage[];

#endif
