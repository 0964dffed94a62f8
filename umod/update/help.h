/*
 * The help text of update. Its layout is part of the interface: operators'
 * scripts and the management command line show it verbatim.
 */
#ifndef UPDATE_HELP_H
#define UPDATE_HELP_H

/* The whole text, in static storage. */
const char *update_help_text(void);
/* Prints it on standard output. */
void update_help(void);

#endif
