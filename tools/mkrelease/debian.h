/*
 * Releases of real Debian packages: apt's resolver, run on a node's
 * package state, decides which packages of the Debian archive the release
 * must carry (the named ones plus whatever they need that the node lacks
 * or has too old), and their .deb files are fetched into a download cache.
 *
 * The cache folder is kept: its package lists are refreshed only when they
 * are a day old or missing, and a .deb already there is never fetched
 * again. Concurrent runs on one cache wait for each other (a lock file in
 * it). apt runs privately (privapt.h), so this machine's apt and dpkg state
 * stay as they are.
 *
 * Returns 0 with the .deb paths in *debs, or 1 with a one-line reason
 * (the archive cannot be reached and the cache lacks something, apt cannot
 * resolve the names on that node).
 */
#ifndef OSK_MKREL_DEBIAN_H
#define OSK_MKREL_DEBIAN_H

#include <string>
#include <vector>

/* This machine's Debian archive, the one the release is made from. */
#define MKREL_DEBIAN_SOURCES "/etc/apt/sources.list.d/debian.sources"

int mkrel_debian_fetch(const std::vector<std::string> &names, const std::string &status,
                       const std::string &cache, std::vector<std::string> *debs, std::string *err);

/* The dpkg status file of a node root: ROOT, or a colon-separated overlay
 * lower-layer list, highest first (the first layer holding one wins). */
int mkrel_root_status(const std::string &root, std::string *status, std::string *err);

#endif
