/*
 * The two root partitions: which one is the alternate, the in-place revert
 * store, matching a partial release's target to the running root, and the
 * revert in its two forms.
 */
#ifndef UPDATE_ALTROOT_H
#define UPDATE_ALTROOT_H

int get_altroot_number(void);
void move_localrevert_packages(void);
void make_altroot_match(void);

/* The revert flow main() hands over to: returns main()'s status or ends
 * the process with an exit status itself. */
int doupdate_revert(void);

#endif
