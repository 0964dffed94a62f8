/*
 * Where things are on a node: the programs the driver runs (the node's own
 * tools at their fixed paths) and the places a release is unpacked into
 * and installed from. Every path the driver builds fits UPDATE_PATH_LEN.
 */
#ifndef UPDATE_NODE_PATHS_H
#define UPDATE_NODE_PATHS_H

#define UPDATE_PATH_LEN 1024

#define ALTROOT_TMP "/altroot/tmp"

#define SHELL_PROGRAM "/bin/sh"
#define TAR_PROGRAM "/bin/tar"
#define RCP_PROGRAM "/usr/bin/rcp"
#define RSH_PROGRAM "/usr/bin/rsh"
#define MD5SUM_PROGRAM "/usr/bin/md5sum"
#define DPKG_PROGRAM "/usr/bin/dpkg"
#define APTGET_PROGRAM "/usr/bin/apt-get"

/* The unpacked release, seen from the running root and from the target root. */
#define UPDATEPACKDIR "/altroot/tmp/oskpackage"
#define UPDATEPACKDIR_SAME "/tmp/oskpackage"
#define SOURCES_LOCAL_DIR_ALTROOT UPDATEPACKDIR "/dists/Valtor-2-0/osk/binary-i386"
#define SOURCES_LOCAL_DIR UPDATEPACKDIR_SAME "/dists/Valtor-2-0/osk/binary-i386"
#define SOURCES_LIST_ALT "/altroot/etc/apt/sources.list"
#define SOURCES_LIST_CURRENT "/etc/apt/sources.list"
#define LOCALREVERT_PACKAGES_DIR "/var/opt/osk/packages_localrevert"
#define SYNC_PR_IDE "rm -rf /altroot/pr_ide; cp -a /pr_ide /altroot"

#endif
