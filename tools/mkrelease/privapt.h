/*
 * A private apt: apt-get run with a configuration, state, lists and cache
 * of its own, so that nothing it does reaches this machine's apt or dpkg
 * state (or the node's it works for).
 *
 * Use: mkrel_apt_prepare() makes the folders and the configuration under
 * apt->dir (the caller owns it and removes it); lists and archives may be
 * kept elsewhere (a download cache) by setting them first. Then call
 * mkrel_apt_get() as often as needed. Both return 0, or 1 with *err.
 */
#ifndef OSK_MKREL_PRIVAPT_H
#define OSK_MKREL_PRIVAPT_H

#include <string>
#include <vector>

struct mkrel_apt {
    std::string dir;      /* private: etc/, state/, cache/, log/, status */
    std::string lists;    /* package lists; default dir/lists */
    std::string archives; /* downloaded .deb files; default dir/archives */
    std::string conf;     /* set by mkrel_apt_prepare: the APT_CONFIG file */
};

struct mkrel_apt_setup {
    std::string status;       /* dpkg status file it resolves against (copied) */
    std::string sources_name; /* file name in sources.list.d: ".list" or ".sources" */
    std::string sources;      /* its text */
    std::string conf;         /* more apt.conf lines */
    std::string preferences;  /* preferences text, empty for none */
};

int mkrel_apt_prepare(mkrel_apt *apt, const mkrel_apt_setup &setup, std::string *err);

/* Runs apt-get ARGS with the private configuration; returns its exit status
 * (-1 when it could not run). stdout to *out, both streams to *diag. */
int mkrel_apt_get(const mkrel_apt *apt, const std::vector<std::string> &args, std::string *out,
                  std::string *diag);

/* apt's own error lines ("E: ...") of diag, without the "E: ", joined by
 * "; "; the last line of diag when there is none. */
std::string mkrel_apt_errors(const std::string &diag);

#endif
