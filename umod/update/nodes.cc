/*
 * The nodes of the cluster: which one this is, which take part, whether
 * they are ready, and carrying the update to every other node.
 */
#include <dirent.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "nodes.h"
#include "driver_log.h"
#include "modes.h"
#include "node_paths.h"
#include "ulog.h"
#include "sc_ioctl.h"

#include "osk_banned.h"

int thisnode = 0;
node_mask nodes;
const char *nodehostnames_brnet[OSK_MAX_NODES] = {"node0", "node1", "node2", "node3",
                                                  "node4", "node5", "node6", "node7"};

#define PM_PROGRAM "/opt/osk/bin/pm"
#define PM_NOSTART "/pm_nostart"
#define CHILD_CAPTURE_LEN 32768

int getthisnode(void)
{
    if (!sc_open_try())
        return -1;
    cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    int node = ioctl_check(&ci->ci_hdr) >= 0 ? ci->ci_cstate.cs_mynode : -1;
    ioctl_free(&ci);
    return node;
}

void learn_nodes(void)
{
    thisnode = getthisnode();
    if (thisnode == -1) {
        ulog_message("Unable to determine node number.");
        update_fail(UPD_EXIT_NODES_UNKNOWN);
    }
    if (getnodesonline(&nodes) < 0) {
        ulog_message("Unable to get nodes online.");
        update_fail(UPD_EXIT_NODES_UNKNOWN);
    }
}

/* One QUERY_LOG request about node; 1 when it answers fully integrated. */
static int node_integrated(sccmd_query_log_t *ql, int node)
{
    ql->ql_hdr.io_node = (node_t)node;
    memset(ql->ql_taglog_flags, 0, sizeof(ql->ql_taglog_flags));
    return ioctl_check(&ql->ql_hdr) >= 0 && (ql->ql_taglog_flags[node] & 1);
}

node_mask query_nodes_state(node_mask which)
{
    sccmd_query_log_t *ql =
        (sccmd_query_log_t *)ioctl_alloc(SCCMD_QUERY_LOG, sizeof(sccmd_query_log_t));
    ql->ql_nodes = (cluster_t)which.bits();
    node_mask integrated;
    which.each([&](int n) {
        if (node_integrated(ql, n))
            integrated.add(n);
    });
    ioctl_free(&ql);
    return integrated;
}

int getnodesonline(node_mask *online)
{
    if (!sc_open_try())
        return -1;

    cd_info_t *cd = (cd_info_t *)ioctl_alloc(SCCMD_GETDCINFO, sizeof(cd_info_t));
    (void)ioctl_check(&cd->cd_hdr);
    node_mask members(cd->cd_outer_mask);
    ioctl_free(&cd);
    if (members.empty()) {
        ulog_message("Cluster master not determined.");
        update_fail(UPD_EXIT_NOT_READY);
    }

    if (!nosysmgr) {
        node_mask integrated = query_nodes_state(members);
        if (integrated != members) {
            members.each([&](int n) {
                if (!integrated.has(n))
                    ulog_message("Node %d not fully integrated and not ready to be updated", n);
            });
            update_fail(UPD_EXIT_NOT_READY);
        }
        for (int pair = 0; pair < OSK_MAX_NODES; pair += 2) {
            int a = integrated.has(pair), b = integrated.has(pair + 1);
            if (a != b) {
                ulog_message("Node %d is not present and can not be updated.", a ? pair + 1 : pair);
                update_fail(UPD_EXIT_NOT_READY);
            }
        }
    }

    /* Asked of every node at once: over a remote shell that opens a
     * connection per host, one after another would add up. */
    ulog_exec_opts_t ops[OSK_MAX_NODES] = {};
    char *vec[OSK_MAX_NODES][5];
    ulog_exec_state_t *st[OSK_MAX_NODES] = {};
    members.each([&](int n) {
        char *argv[5] = {(char *)RSH_PROGRAM, (char *)nodehostnames_brnet[n], (char *)"echo",
                         (char *)"-n", nullptr};
        memcpy(vec[n], argv, sizeof(argv));
        ops[n].ulog_exec_vec = vec[n];
        st[n] = ulog_exec_nursery(&ops[n]);
    });
    node_mask reachable;
    members.each([&](int n) {
        if (ulog_exec_wait(st[n]) == 0)
            reachable.add(n);
    });
    if (reachable != members) {
        ulog_message("Not all nodes are currently accessible.");
        update_fail(UPD_EXIT_NOT_READY);
    }
    *online = reachable;
    return 0;
}

int node_incluster(int node)
{
    cinfo_t *ci = (cinfo_t *)ioctl_alloc(SCCMD_GETCINFO, sizeof(cinfo_t));
    int online = ioctl_check(&ci->ci_hdr) >= 0 && node_mask(ci->ci_cstate.cs_online).has(node);
    ioctl_free(&ci);
    if (!online)
        return 0;

    sccmd_query_log_t *ql =
        (sccmd_query_log_t *)ioctl_alloc(SCCMD_QUERY_LOG, sizeof(sccmd_query_log_t));
    ql->ql_nodes = (cluster_t)node_mask::of(node).bits();
    int integrated = node_integrated(ql, node);
    ioctl_free(&ql);
    return integrated;
}

static int pm_running(void)
{
    DIR *proc = opendir("/proc");
    if (!proc)
        return 0;
    int found = 0;
    for (struct dirent *de; !found && (de = readdir(proc));) {
        char link[300], exe[1025];
        snprintf(link, sizeof(link), "/proc/%s/exe", de->d_name);
        ssize_t n = readlink(link, exe, sizeof(exe) - 1);
        if (n > 0) {
            exe[n] = '\0';
            found = strcmp(exe, PM_PROGRAM) == 0;
        }
    }
    closedir(proc);
    return found;
}

void stop_pm(void)
{
    if (!rebootpermitted || is_rolling || simple_rolling || !pm_running())
        return;
    if (!local) {
        ulog_message("Stopping the PM on all nodes.");
        (void)ulog_execl(PM_PROGRAM, "--stopall", nullptr);
    } else {
        ulog_message("Stopping the PM on this node.");
        (void)ulog_execl(PM_PROGRAM, "--stop", nullptr);
    }
}

void onallnodes_set_pmnostart(int turn_on)
{
    if (do_pivot || nodes.empty())
        return;
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!nodes.has(n))
            continue;
        int result = turn_on ? ulog_execl(RSH_PROGRAM, nodehostnames_brnet[n], "/usr/bin/touch",
                                          PM_NOSTART, nullptr)
                             : ulog_execl(RSH_PROGRAM, nodehostnames_brnet[n], "/bin/rm", "-f",
                                          PM_NOSTART, nullptr);
        if (result != 0)
            ulog_message("Issues with /pm_nostart on node %d", n);
    }
}

/* Shares every node mounts: the other nodes read the package in place. */
static int on_shared_path(const char *path)
{
    static const char *const shares[] = {"/net/", "/share/", "/home/usr/", "/home/ws/"};
    for (const char *share : shares)
        if (strncmp(path, share, strlen(share)) == 0)
            return 1;
    return 0;
}

/* rsh hands the remote shell one command line: a text the shell would
 * split or expand goes in single quotes (a quote inside as '\''). */
static void shell_word(char *text, size_t size)
{
    if (strspn(text, "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/._+-:%=@,") ==
        strlen(text))
        return;
    char quoted[UPDATE_PATH_LEN + 64];
    size_t n = 0;
    quoted[n++] = '\'';
    for (const char *p = text; *p && n + 5 < sizeof(quoted); p++) {
        if (*p == '\'') {
            memcpy(quoted + n, "'\\''", 4);
            n += 4;
        } else {
            quoted[n++] = *p;
        }
    }
    quoted[n++] = '\'';
    quoted[n] = '\0';
    snprintf(text, size, "%s", quoted);
}

/* The child command line of one node; every text lives in *store. */
struct child_cmd {
    char *argv[24];
    char source[UPDATE_PATH_LEN];
    char mask[16];
};

static void build_child_cmd(child_cmd *c, int node, const char *source)
{
    int argc = 0;
    c->argv[argc++] = (char *)RSH_PROGRAM;
    c->argv[argc++] = (char *)nodehostnames_brnet[node];
    c->argv[argc++] = update;
    if (!source) {
        c->argv[argc++] = (char *)"--revert";
    } else if (package_source == SOURCE_FILE && on_shared_path(source)) {
        c->argv[argc++] = (char *)"--file";
        snprintf(c->source, sizeof(c->source), "%s", source);
        c->argv[argc++] = c->source;
    } else {
        c->argv[argc++] = (char *)"--rcp";
        snprintf(c->source, sizeof(c->source), "%s:%s", nodehostnames_brnet[thisnode], source);
        c->argv[argc++] = c->source;
    }
    shell_word(c->source, sizeof(c->source));
    if (do_pivot && install_altroot)
        c->argv[argc++] = (char *)"--switch-root";
    else if (install_altroot)
        c->argv[argc++] = (char *)"--preload";
    else
        c->argv[argc++] = (char *)"--retain-root";
    if (removefirst)
        c->argv[argc++] = (char *)"-d";
    if (initial_install)
        c->argv[argc++] = (char *)"--initial";
    if (is_rolling) {
        c->argv[argc++] = (char *)"--rolling";
        snprintf(c->mask, sizeof(c->mask), "%d", (int)expeditionmask.bits());
        c->argv[argc++] = c->mask;
    }
    if (simple_rolling)
        c->argv[argc++] = (char *)"--simple";
    if (verbose)
        c->argv[argc++] = (char *)"--verbose";
    static const char *const always[] = {"--local", "--noreboot", "--quiet", "--child"};
    for (const char *opt : always)
        c->argv[argc++] = (char *)opt;
    c->argv[argc] = NULL;
}

node_mask run_on_nodes(char **const argv[OSK_MAX_NODES], const char *waiting, const char *failed,
                       enum node_judge judge)
{
    static char out[OSK_MAX_NODES][CHILD_CAPTURE_LEN];
    static char err[OSK_MAX_NODES][CHILD_CAPTURE_LEN];
    ulog_exec_state_t *st[OSK_MAX_NODES] = {};

    for (int n = 0; n < OSK_MAX_NODES; n++)
        if (argv[n])
            st[n] = ulog_exec_nursery_captured(argv[n], NULL, out[n], sizeof(out[n]), err[n],
                                               sizeof(err[n]));

    node_mask failed_mask;
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!st[n])
            continue;
        if (waiting)
            ulog_message(waiting, n);
        /* The wait comes first whatever counts: it reaps the child. */
        int status = ulog_exec_wait(st[n]);
        if ((judge == BY_STATUS_OR_BANNER && status != 0) || strstr(out[n], UPDATE_FAILED_BANNER)) {
            ulog_message(failed, n);
            failed_mask.add(n);
        }
    }
    return failed_mask;
}

int do_other_nodes(const char *source)
{
    if (local)
        return 0;
    ulog_message("Updating other nodes");

    static child_cmd cmd[OSK_MAX_NODES];
    char **argv[OSK_MAX_NODES] = {};
    for (int n = 0; n < OSK_MAX_NODES; n++) {
        if (!nodes.has(n) || (n == thisnode && !quick_update))
            continue;
        build_child_cmd(&cmd[n], n, source);
        argv[n] = cmd[n].argv;
    }

    node_mask failed = run_on_nodes(argv, "Waiting for node %d to complete...",
                                    "Update of node %d failed.", BY_STATUS_OR_BANNER);
    ulog_message("Finished handling other nodes");
    return failed.empty() ? 0 : UPD_EXIT_OTHER_NODE;
}
