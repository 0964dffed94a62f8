/*
 * The nodes of the cluster: which one this is, which take part, whether
 * they are ready, and carrying the update to every other node.
 *
 * learn_nodes() sets thisnode and nodes once, early; the rest read them.
 */
#ifndef UPDATE_NODES_H
#define UPDATE_NODES_H

#include "node_mask.h"
#include "osk_types.h"

extern int thisnode;
extern node_mask nodes; /* the nodes online */
extern const char *nodehostnames_brnet[OSK_MAX_NODES];

int getthisnode(void);
int getnodesonline(node_mask *online);        /* -1 when it cannot be told */
void learn_nodes(void);                       /* thisnode and nodes, or exit 2 */
node_mask query_nodes_state(node_mask which); /* those fully integrated */
int node_incluster(int node);
void stop_pm(void);
void onallnodes_set_pmnostart(int turn_on);
int do_other_nodes(const char *source); /* null: a revert */
/* How run_on_nodes judges a node's command: by its failure banner in the
 * captured standard output alone (the verification of all nodes), or also
 * by a non-zero end (the update of the other nodes). */
enum node_judge { BY_BANNER, BY_STATUS_OR_BANNER };
/* Starts argv[n] for every node n that has one, all at once, then waits for
 * them in node order, logging waiting (a format with %d for the node) before
 * each wait when it is given. Each node that failed by judge is logged with
 * failed (same format). Returns the failed nodes. */
node_mask run_on_nodes(char **const argv[OSK_MAX_NODES], const char *waiting, const char *failed,
                       enum node_judge judge);

#endif
