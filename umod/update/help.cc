/*
 * The help text of update. Its layout is part of the interface: operators'
 * scripts and the management command line show it verbatim.
 */
#include <stdio.h>
#include <string.h>

#include "help.h"
#include "ulog.h"

#include "osk_banned.h"

struct help_row {
    const char *option;
    const char *lines[6]; /* description lines, null-terminated */
};

static const help_row help_rows[] = {
    {"--help", {"Displays usage information"}},
    {"--file file", {"Specify the local file to retrieve the update from"}},
    {"--rcp file", {"Specify the rcp location to retrieve the update from"}},
    {"--revert", {"Revert to the last version of software"}},
    {"--retain-root",
     {"The update will be applied to the current root",
      "partition, and the partitions will not be swapped", "on reboot.  (Development default.)"}},
    {"--switch-root",
     {"The update will be applied to the alternate root",
      "partition, and the alternate root partition will",
      "become the main root partition on reboot.", "(Field default.)"}},
    {"--preload",
     {"Installs software on the alternate root partition,",
      "but does not switch to boot to that partition on", "reboot.  Implies --noreboot."}},
    {"--local", {"Only apply update to local node"}},
    {"-d",
     {"Removes old OSK packages first, to permit",
      "installing software which does not have a higher",
      "version number.  (Use instead of --ignore-versions)"}},
    {"--noreboot",
     {"Ignore requests to reboot; for development use",
      "only.  You may not be able to properly shut down ", "the system afterwards."}},
    {"--nosysmgr",
     {"Will not attempt to shut down the system via the",
      "system manager.  WARNING: If the system manager",
      "has already started, using this option will at",
      "a minimum put all LDs and VVs into the need_check",
      "state.  Use only when it has not started."}},
    {"--initial", {"Required on the first install.", "Implies --retain-root."}},
    {"--cli", {"Update is being run from the CLI, react accordingly."}},
    {"--rolling rnodes",
     {"Prepare for a rolling upgrade.  Implies", "--switch-root and --noreboot.   rnodes is",
      "the mask of nodes to initially reboot."}},
    {"--getversion", {"Displays the version of a package instead of", "installing it."}},
    {"--version", {"Displays the version of update."}},
    {"--verify", {"Performs various verifications (normally done", "automatically)."}},
    {"--quick (or -q)",
     {"Do this node in parallel with the rest; not", "considered safe for the field."}},
    {"--verbose", {"Always show apt-get/dpkg output."}},
};

#define HELP_COLUMN 24

static char help_text[4096];

/* Appends to help_text; the buffer is sized for the table, so nothing is cut. */
static size_t help_append(size_t used, const char *fmt, const char *col, const char *line)
{
    int n = snprintf(help_text + used, sizeof(help_text) - used, fmt, HELP_COLUMN, col, line);
    return n < 0 ? used : used + (size_t)n;
}

const char *update_help_text(void)
{
    if (help_text[0])
        return help_text;

    size_t used = (size_t)snprintf(help_text, sizeof(help_text), "Options to update:\n\n");
    for (const help_row &row : help_rows)
        for (int i = 0; row.lines[i]; i++)
            used = help_append(used, "%-*s%s\n", i == 0 ? row.option : "", row.lines[i]);
    snprintf(help_text + used, sizeof(help_text) - used, "\n");
    return help_text;
}

void update_help(void)
{
    ulog_message("%s", update_help_text());
}
