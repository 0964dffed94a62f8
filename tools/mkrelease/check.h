/*
 * Release check: would the installer's sequence install this release on
 * this node?
 *
 * Given a node root (a folder, or an overlay lower-layer list, highest
 * first), the check replays the installer's steps in a scratch copy of it:
 * the release at /tmp/oskpackage, the node's apt configuration for an
 * unsigned local i386 repository, the installer's sources line, then, in a
 * chroot with standard input on /dev/null and DEBIAN_FRONTEND=noninteractive,
 *   apt-get update
 *   dpkg --recursive --force-downgrade --install --force-confold
 *        --force-conflicts --force-overwrite /tmp/oskpackage/<repository>
 *   apt-get --fix-broken -y -oDPkg::Options::=--force-confold install
 * stopping where the installer would, and finally asks dpkg whether every
 * package of the release is installed. The copy is an overlay (the node's
 * root is never written) mounted in a private mount and PID namespace, so
 * the mounts and any daemon a maintainer script started end with the check,
 * even on failure; its folders are removed before mkrel_check returns.
 * Needs root.
 *
 * Given only a dpkg status file, it does what needs no root: pre-dependencies
 * of a release package that only another package of the release satisfies
 * (dpkg cannot configure one before unpacking the other in one run), and
 * unmet dependencies, by apt's simulation of installing the release on that
 * status (a private apt, privapt.h).
 *
 * Problems come one line per package, "PKG: what fails", for example
 *   python3-minimal: pre-depends on python3.11-minimal (>= 3.11.2-1~), which
 *       only this release brings
 *   toilet: unmet dependency libcaca0 (>= 0.99.beta20)
 *   cft: stops at a conffile prompt
 *   osk: postinst fails (exit status 1)
 * Lines about the run as a whole (apt-get update failing) name the step.
 */
#ifndef OSK_MKREL_CHECK_H
#define OSK_MKREL_CHECK_H

#include <string>
#include <vector>

struct mkrel_check_target {
    std::string root;   /* node root or lowerdir list; replay */
    std::string status; /* else: dpkg status file; checks without a root */
};

/* Checks the release staged in pkgdir (the "oskpackage" folder). Returns 0
 * when the check ran, *problems empty when the release installs; 1 with
 * *err when the check itself could not be done. */
int mkrel_check(const std::string &pkgdir, const mkrel_check_target &target,
                std::vector<std::string> *problems, std::string *err);

/* The problems a transcript of the installer's dpkg and apt-get steps
 * shows; release names the release's packages. */
std::vector<std::string> mkrel_check_read_log(const std::string &log,
                                              const std::vector<std::string> &release);

#endif
