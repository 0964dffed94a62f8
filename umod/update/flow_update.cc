/*
 * The update flow: from the package source to the restart of the
 * cluster. Almost every path ends the process with an exit status.
 */
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "flow_update.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "help.h"
#include "package.h"
#include "versions.h"
#include "install.h"
#include "altroot.h"
#include "restart.h"
#include "nodes.h"
#include "sysmgr_conn.h"
#include "rolling.h"
#include "history.h"
#include "ulog.h"
#include "osk_runtime.h"

#include "osk_banned.h"

#define DPKG_INFO_LEN 32768

/* What the release's manager package says of itself: the TOC version the
 * shutdown hands on, and the version the update event names. */
struct release_info {
    int toc_version;
    char osk_version[256];
};

static int pack_has(const char *flag)
{
    char path[UPDATE_PATH_LEN];
    snprintf(path, sizeof(path), "%s/%s", UPDATEPACKDIR, flag);
    return access(path, F_OK) == 0;
}

/* The package file named by the source; for rcp, after copying it. */
static const char *take_source(const char *source, int *remove_package)
{
    if (package_source == SOURCE_FILE) {
        struct stat st;
        if (access(source, R_OK) != 0) {
            ulog_message("\nCould not read file %s\n\n", source);
            update_fail(UPD_EXIT_BAD_PACKAGE);
        }
        if (stat(source, &st) != 0) {
            ulog_message("\nCould not stat file %s: %s\n\n", source, strerror(errno));
            update_fail(UPD_EXIT_BAD_PACKAGE);
        }
        if (!S_ISREG(st.st_mode)) {
            ulog_message("\n%s is not a regular file.\n\n", source);
            update_fail(UPD_EXIT_BAD_PACKAGE);
        }
        return source;
    }

    const char *slash = strrchr(source, '/');
    if (!slash || slash[1] == '\0') {
        ulog_message("\n%s does not appear to be a valid specification.\n\n%s", source,
                     update_help_text());
        update_fail(UPD_EXIT_BAD_PACKAGE);
    }
    if (retrieve_rcp(source, slash + 1) != 0)
        return NULL;
    *remove_package = 1;
    return slash + 1; /* relative to the working directory, /altroot/tmp */
}

static void apply_flag_files(void)
{
    if (pack_has("nopivot")) {
        if (is_rolling) {
            printf("This package can not be installed via rolling upgrade.\n");
            update_fail(UPD_EXIT_BAD_PACKAGE);
        }
        do_pivot = 0;
        install_altroot = 0;
    }
    if (pack_has("noreboot")) {
        if (is_rolling) {
            printf("This package can not be installed via rolling upgrade.\n");
            update_fail(UPD_EXIT_BAD_PACKAGE);
        }
        rebootpermitted = 0;
    }
    if (pack_has("partial"))
        is_partial = 1;
}

static void report_rolling_type(void)
{
    char current[256];
    const char *v = get_currentver();
    snprintf(current, sizeof(current), "%s", v ? v : "");
    const char *packaged = get_packver();
    if (!packaged)
        packaged = "";

    if (is_rolling)
        ulog_message("Upgrades from %s to %s will perform a standard rolling upgrade.\n", current,
                     packaged);
    else if (simple_rolling)
        ulog_message("Upgrades from %s to %s will perform a simple rolling upgrade.\n", current,
                     packaged);
    else
        ulog_message("Upgrades from %s to %s can not be performed as a rolling upgrade.\n", current,
                     packaged);
    exit(UPD_EXIT_OK);
}

static void prepare_localrevert_store(void)
{
    if (pack_has("setup_localrevert")) {
        putenv((char *)"PATCH_RETAINROOT=1");
        move_localrevert_packages();
        return;
    }
    char store[UPDATE_PATH_LEN];
    if (do_pivot)
        snprintf(store, sizeof(store), "/altroot%s", LOCALREVERT_PACKAGES_DIR);
    else
        snprintf(store, sizeof(store), "%s", LOCALREVERT_PACKAGES_DIR);
    (void)rm_rf(store);
}

static void announce_expedition(void)
{
    char text[128];
    size_t used =
        (size_t)snprintf(text, sizeof(text), "The following nodes will be updated first:");
    expeditionmask.each(
        [&](int n) { used += (size_t)snprintf(text + used, sizeof(text) - used, " %d", n); });
    ulog_message("%s", text);
}

static struct release_info read_release_info(void)
{
    struct release_info release = {};
    char file[UPDATE_PATH_LEN];
    filename_starting_with(SOURCES_LOCAL_DIR_ALTROOT, "osk-sysmgr_", file, sizeof(file));
    if (!file[0])
        filename_starting_with(SOURCES_LOCAL_DIR_ALTROOT, "osk_", file, sizeof(file));
    if (!file[0])
        return release;
    char info[DPKG_INFO_LEN];
    get_dpkg_info(file, 1, 0, info, sizeof(info));
    release.toc_version = parse_toc_version(info);
    const char *v = parse_osk_version(info);
    snprintf(release.osk_version, sizeof(release.osk_version), "%s", v ? v : "");
    return release;
}

static void install_this_node(void)
{
    ulog_message("Installing new version to node disk...");
    install_woody_if_needed();
    if (is_partial && do_pivot)
        make_altroot_match();
    dpkg_upgrade_osk(SOURCES_LOCAL_DIR);
    sources_list_revert();
    ulog_message("Done installing new version.");
    remove_obsoleted();
    if (do_pivot)
        (void)ulog_execl(SHELL_PROGRAM, "-c", SYNC_PR_IDE, nullptr);
}

/*
 * Fetch and check: the package into UPDATEPACKDIR, every checksum matched
 * and the release's flag files applied. Returns the package file, or null
 * when rcp could not fetch it; --getversion ends here.
 */
static const char *fetch_and_check(const char *source_location, int *remove_package)
{
    /* The rcp copy lands in the working directory, and the running root
     * reaches the package through the link: without either, later steps
     * would work on files that were never checked. */
    if (chdir(ALTROOT_TMP) != 0) {
        ulog_message("Error: Cannot enter %s: %s", ALTROOT_TMP, strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }
    (void)rm_rf(UPDATEPACKDIR);
    (void)rm_rf(UPDATEPACKDIR_SAME);
    if (symlink(UPDATEPACKDIR, UPDATEPACKDIR_SAME) != 0) {
        ulog_message("Error: Cannot link %s to %s: %s", UPDATEPACKDIR_SAME, UPDATEPACKDIR,
                     strerror(errno));
        update_fail(UPD_EXIT_FAILURE);
    }

    const char *filename = take_source(source_location, remove_package);
    if (!filename)
        return NULL;

    if (extract(filename) != 0) {
        ulog_message("Checksums did not match - corrupted file.");
        update_fail(UPD_EXIT_BAD_PACKAGE);
    }
    tarball_package_checksum();
    apply_flag_files();

    if (onlyshowversion) {
        const char *v = get_packver();
        ulog_message("%s", v ? v : "");
        exit(UPD_EXIT_OK);
    }
    return filename;
}

/*
 * Accept: the pre-update scripts, the kind of upgrade, the version rules,
 * and the target root's package lists made ready. --check-rolling-type
 * ends here. Returns what the release says of itself.
 */
static struct release_info accept_release(void)
{
    /* The install must not be cut short from the terminal. */
    signal(SIGINT, SIG_IGN);
    signal(SIGTERM, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);

    do_prescript(install_altroot ? "/altroot/var/opt/osk/preupdate" : "/var/opt/osk/preupdate",
                 "Local preupdate script failed - cancelling update.");
    do_prescript(UPDATEPACKDIR "/preupdate", "Preupdate script failed - cancelling update.");

    if (is_rolling && check_if_current_version_in_file(UPDATEPACKDIR "/simple_list")) {
        is_rolling = 0;
        simple_rolling = 1;
    }
    if (!acceptable_version()) {
        if (check_rolling_type)
            exit(UPD_EXIT_OK);
        update_fail(UPD_EXIT_VERSION);
    }
    if (check_rolling_type)
        report_rolling_type();

    prepare_localrevert_store();
    if (pack_has("doreset"))
        putenv((char *)"DORESET=1");
    if (is_rolling)
        announce_expedition();
    if (do_pivot)
        ulog_message("Installing to partition: %d", get_altroot_number());
    else
        ulog_message("Retaining prior root partition.");

    struct release_info release = read_release_info();

    sources_list_localfile(NULL);
    apt_update();

    if (install_altroot && !removefirst && package_has_debs() && altroot_has_newer() == 0) {
        ulog_message("It appears that a reversion was done.  -d is implied.");
        removefirst = 1;
    }
    if (!removefirst && !initial_install)
        assert_newer_version();
    return release;
}

/* Install here: the event and the history entry, the shutdown an update of
 * the running root needs, then this node's packages (unless --quick). */
static void install_here(const struct release_info *release)
{
    if (mangler_isup)
        post_update_event("Applying OSK software version %s\n", release->osk_version);
    if (!local)
        append_pr_entry();

    if (!install_altroot) {
        if (mangler_shutdown(release->toc_version) != 0)
            update_fail(UPD_EXIT_SYSMGR_SHUTDOWN);
        stop_pm();
    }
    onallnodes_set_pmnostart(1);

    if (!quick_update)
        install_this_node();
}

/* Update the others: every other node runs update on this package. */
static void update_other_nodes(const char *filename)
{
    /* Other nodes fetch the package from here: give them a path that is not
     * relative to this process's working directory. */
    char package_path[UPDATE_PATH_LEN];
    make_absolute(package_path, filename, sizeof(package_path));
    int retval = do_other_nodes(package_path);
    if (retval != 0) {
        onallnodes_set_pmnostart(0);
        ulog_message("Update failed on one or more other nodes.\n Please examine the output above "
                     "and the update log.");
        update_fail(retval);
    }

    if (!local && nodes.count() > 1)
        nodes.each([](int n) { ulog_message("IDE disk of node %d updated successfully.", n); });
}

int doupdate_tarball(char *source_location)
{
    int remove_package = 0;
    const char *filename = fetch_and_check(source_location, &remove_package);
    if (!filename)
        return UPD_EXIT_RCP;

    struct release_info release = accept_release();
    install_here(&release);
    update_other_nodes(filename);

    /* Restart: clean up, then the boot loader and the restart of the nodes. */
    check_killfile();
    onallnodes_set_pmnostart(0);
    (void)rm_rf(UPDATEPACKDIR);
    if (remove_package)
        (void)rm_rf(filename);

    setup_rolling_upgrade();
    fflush(stdout);
    fflush(stderr);
    restart_cluster(requested_restart_way(), release.toc_version, install_altroot, do_pivot);
    exit(UPD_EXIT_OK);
}
