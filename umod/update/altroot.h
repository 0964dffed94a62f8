/*
 * The two root partitions: which one is the alternate, the in-place revert
 * store, and matching a partial release's target to the running root.
 */
#ifndef UPDATE_ALTROOT_H
#define UPDATE_ALTROOT_H

int get_altroot_number(void);
void move_localrevert_packages(void);
void make_altroot_match(void);

#endif
