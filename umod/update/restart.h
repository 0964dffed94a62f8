/*
 * The restart that ends an update or a switch-root revert: the boot loader
 * told which root each node boots next, then the nodes restarted in the
 * way the flow asks for. Never returns when the nodes restart; returns
 * when reboots are not permitted.
 */
#ifndef UPDATE_RESTART_H
#define UPDATE_RESTART_H

enum restart_way {
    RESTART_ALL,            /* all at once, after the manager's shutdown when asked */
    RESTART_ROLLING,        /* the expedition first, through the manager */
    RESTART_SIMPLE_ROLLING, /* one node at a time, through the manager */
};

/* The way the mode flags ask for: the command line's, as the update's
 * kind check left it. */
enum restart_way requested_restart_way(void);

/* switch_root: the nodes boot the other root (rolling switches the
 * expedition's and keeps the others'). shutdown_first: the manager goes
 * down before an all-at-once restart, told toc_version. A child run leaves
 * the boot loader to the node that started it. */
void restart_cluster(enum restart_way way, int toc_version, int shutdown_first, int switch_root);

#endif
