/*
 * The process-wide mode flags of the update driver and their defaults.
 */
#include "modes.h"

#include "osk_banned.h"

source_t package_source = SOURCE_INVALID;
int do_pivot = 1;
int install_altroot = 1;
int rebootpermitted = 1;
int nosysmgr = 0;
node_mask expeditionmask = node_mask::all();
int removefirst = 0;
int onlyshowversion = 0;
int initial_install = 0;
int local = 0;
int from_cli = 0;
int is_rolling = 0;
int simple_rolling = 0;
int quick_update = 0;
int is_partial = 0;
int check_rolling_type = 0;
int verbose = 0;
int do_revert = 0;
int is_child = 0;

char args_passed[ARGS_PASSED_LEN];
char update[UPDATE_PATH_LEN];
