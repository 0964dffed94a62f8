/*
 * The export inventory of a standard rolling upgrade, as the new release
 * reads it, and what the expedition nodes present from it.
 *
 * `update --rolling MASK` writes the inventory into the alternate root of
 * every expedition node ("/altroot/present_vluns"). A node of the
 * expedition that boots into its new root while the upgrade runs serves
 * exactly the export paths the inventory lists on its own ports, and none
 * when the file is missing, does not parse or carries another version: the
 * whole file is taken or nothing of it.
 *
 * What those nodes present is kept in DIR/run/presenting for as long as
 * the upgrade's move runs (move.h), so that `osk-cluster exports` can tell
 * which exports the hosts see; no file means every node that is up and
 * integrated serves all its paths. The file is replaced whole (rename), so
 * a reader sampling it never sees it half written.
 */
#ifndef INVENTORY_H
#define INVENTORY_H

#include <set>
#include <string>

/* The only version the release reads; it writes "VERSION 4" first. */
#define INVENTORY_VERSION 4

/* An export path as "VV HOST LUN N:S:P", the key both sides compare. */
std::string inventory_path_key(const char *vv, const char *host, unsigned lun, int node, int slot,
                               int port);

/* Reads the inventory at PATH and adds the keys of the export paths on
 * node's ports to *paths. Returns 0, or -1 with *why ("missing", "of
 * version 3", "damaged at line 7") and *paths unchanged. */
int inventory_read(const char *path, int node, std::set<std::string> *paths, std::string *why);

struct presenting_t {
    unsigned nodes = 0;          /* nodes that serve only what they present */
    std::set<std::string> paths; /* the export paths they present */
};

/* DIR/run/presenting: written whole, cleared, loaded (nodes 0 when none). */
int presenting_write(const char *dir, const presenting_t &p);
void presenting_clear(const char *dir);
void presenting_load(const char *dir, presenting_t *p);

#endif
