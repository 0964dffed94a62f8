/*
 * osk-prsvr - the PR server of a simulated cluster.
 *
 *   osk-prsvr DIR     run in the foreground for the cluster in DIR
 *
 * It registers the kernel IPC name "pr" from one node and serves the PR
 * file service there: the files live in DIR/prfiles, one per name (names
 * are flat: "/" and other unsafe characters are escaped). The server's
 * state is 2 (ready on the admin volume) until told to move to the IDE
 * disk (3) and back.
 *
 * The serving process lives on the lowest online node; when that node
 * leaves, its handles go and the process ends. The parent (which never
 * opens "/dev/osk" itself) then starts a new one on a node still online, so
 * the name comes back within a second or two.
 */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "bripc.h"
#include "osk_errcode.h"
#include "osk_pr.h"
#include "sim_fork.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

static std::string g_dir;
static int g_node;
static int g_state = PR_STATE_READY_ADMIN;

static std::string file_path(const char *fname)
{
    char f[3 * PR_FILE_NAME_LEN + 8];
    sim_flat_name(fname, PR_FILE_NAME_LEN, f, sizeof f);
    return g_dir + "/prfiles/" + (f[0] ? f : "%00");
}

static int32_t errno_to_pr(int e)
{
    return e == ENOENT ? PR_INVAL_NAME : e == ENOMEM ? PR_NOMEM : PR_EIO;
}

static int copy_file(const std::string &from, const std::string &to)
{
    int in = open(from.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        return -1;
    std::string tmp = to + ".new";
    int out = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    char buf[65536];
    ssize_t n = 0;
    while (out >= 0 && (n = read(in, buf, sizeof buf)) > 0)
        if (write(out, buf, (size_t)n) != n) {
            n = -1;
            break;
        }
    int ok = out >= 0 && n == 0 && fsync(out) == 0;
    close(in);
    if (out >= 0)
        close(out);
    if (!ok || rename(tmp.c_str(), to.c_str()) < 0) {
        (void)unlink(tmp.c_str());
        return -1;
    }
    return 0;
}

static void reply_error(uint32_t msgid, int32_t err)
{
    pr_error_reply_t r = {err};
    (void)send_reply(msgid, &r, sizeof r);
}

static void do_read(uint32_t msgid, const pr_readfile_msg_t *m)
{
    std::string buf(sizeof(pr_readfile_reply_t) + m->count, '\0');
    pr_readfile_reply_t *r = (pr_readfile_reply_t *)&buf[0];
    r->pr_state = g_state;
    r->nid = (node_t)g_node;
    int fd = open(file_path(m->fname).c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = fd < 0 ? -1 : pread(fd, r + 1, m->count, m->pos);
    r->error = n < 0 ? errno_to_pr(errno) : PR_SUCCESS;
    r->count = n < 0 ? 0 : (uint32_t)n;
    if (fd >= 0)
        close(fd);
    (void)send_reply(msgid, buf.data(), sizeof(*r) + r->count);
}

static void do_write(uint32_t msgid, const pr_writefile_msg_t *m)
{
    pr_writefile_reply_t r = {PR_SUCCESS, 0, 0};
    std::string p = file_path(m->fname);
    int fd = open(p.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (m->append ? O_APPEND : 0), 0644);
    ssize_t n = -1;
    if (fd >= 0)
        n = m->append ? write(fd, m + 1, m->count) : pwrite(fd, m + 1, m->count, m->pos);
    if (n >= 0 && m->sync_when_done && fsync(fd) < 0)
        n = -1;
    struct stat st;
    if (n < 0) {
        r.error = errno_to_pr(errno);
    } else {
        r.count = (uint32_t)n;
        r.len = fstat(fd, &st) == 0 ? (uint32_t)st.st_size : 0;
    }
    if (fd >= 0)
        close(fd);
    (void)send_reply(msgid, &r, sizeof r);
}

/* Keeps num_files generations: name.1 is the newest rolled one. */
static int roll(const std::string &p, int num_files)
{
    if (num_files < 1)
        return -1;
    for (int i = num_files - 1; i >= 1; i--) {
        std::string from = p + "." + std::to_string(i), to = p + "." + std::to_string(i + 1);
        if (rename(from.c_str(), to.c_str()) < 0 && errno != ENOENT)
            return -1;
    }
    return rename(p.c_str(), (p + ".1").c_str()) < 0 && errno != ENOENT ? -1 : 0;
}

static void handler(bripc_msg_t *msg, void *data, void *)
{
    size_t len = (size_t)msg->msg_size64 * BRIPC_UNIT;
    uint32_t code = msg->msg_code;
    uint32_t id = msg->msg_id;
    const pr_fname_msg_t *fm = (const pr_fname_msg_t *)data;
    const pr_twonames_msg_t *tm = (const pr_twonames_msg_t *)data;
    int rc;
    if (code == PR_MSGCODE(PRCMD_GET_STATE)) {
        pr_state_reply_t r;
        memset(&r, 0, sizeof r);
        r.state = g_state;
        r.nid = (node_t)g_node;
        (void)send_reply(id, &r, sizeof r);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_READ_FILE) && len >= sizeof(pr_readfile_msg_t)) {
        do_read(id, (const pr_readfile_msg_t *)data);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_WRITE_FILE) && len >= sizeof(pr_writefile_msg_t) &&
        len >= sizeof(pr_writefile_msg_t) + ((const pr_writefile_msg_t *)data)->count) {
        do_write(id, (const pr_writefile_msg_t *)data);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_GET_LENGTH) && len >= sizeof(pr_fname_msg_t)) {
        struct stat st;
        pr_length_reply_t r = {PR_SUCCESS, 0};
        if (stat(file_path(fm->fname).c_str(), &st) < 0)
            r.error = errno_to_pr(errno);
        else
            r.length = (uint32_t)st.st_size;
        (void)send_reply(id, &r, sizeof r);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_FSYNC_FILE) && len >= sizeof(pr_fname_msg_t)) {
        int fd = open(file_path(fm->fname).c_str(), O_RDONLY | O_CLOEXEC);
        rc = fd < 0 ? -1 : fsync(fd);
        int e = errno;
        if (fd >= 0)
            close(fd);
        reply_error(id, rc < 0 ? errno_to_pr(e) : PR_SUCCESS);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_REMOVE_FILE) && len >= sizeof(pr_fname_msg_t)) {
        rc = unlink(file_path(fm->fname).c_str());
        reply_error(id, rc < 0 ? errno_to_pr(errno) : PR_SUCCESS);
        return;
    }
    if ((code == PR_MSGCODE(PRCMD_COPY_FILE) || code == PR_MSGCODE(PRCMD_RENAME_FILE)) &&
        len >= sizeof(pr_twonames_msg_t)) {
        std::string from = file_path(tm->from), to = file_path(tm->to);
        rc = code == PR_MSGCODE(PRCMD_COPY_FILE) ? copy_file(from, to)
                                                 : rename(from.c_str(), to.c_str());
        reply_error(id, rc < 0 ? errno_to_pr(errno) : PR_SUCCESS);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_ROLL_FILE) && len >= sizeof(pr_rollfile_msg_t)) {
        const pr_rollfile_msg_t *rm = (const pr_rollfile_msg_t *)data;
        rc = roll(file_path(rm->fname), rm->num_files);
        reply_error(id, rc < 0 ? errno_to_pr(errno) : PR_SUCCESS);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_TRANSITION) && len >= 4) {
        int32_t to;
        memcpy(&to, data, 4);
        g_state = to ? PR_STATE_READY_IDE : PR_STATE_READY_ADMIN;
        reply_error(id, PR_SUCCESS);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_SYNC_IDE)) {
        reply_error(id, PR_SUCCESS);
        return;
    }
    if (code == PR_MSGCODE(PRCMD_STOP)) {
        reply_error(id, PR_SUCCESS);
        fprintf(stderr, "osk-prsvr: stopped on request\n");
        _exit(0);
    }
    reply_error(id, PR_FAIL);
}

/* The lowest online node, from the module daemon; -1 when none. */
static int serving_node(void)
{
    char sock[PATH_MAX], reply[4096];
    snprintf(sock, sizeof sock, "%s/ctl.sock", g_dir.c_str());
    if (sim_line_request(sock, "status", reply, sizeof reply, 5000) != 0)
        return -2;
    for (char *l = strtok(reply, "\n"); l; l = strtok(nullptr, "\n")) {
        int n, pr, on, in, ma;
        if (sscanf(l, "node %d present=%d online=%d integrated=%d master=%d", &n, &pr, &on, &in,
                   &ma) == 5 &&
            on)
            return n;
    }
    return -1;
}

static bripc_ph_t g_ph;

/* The server's node left (its handles are gone) or another process took
 * the name: this process has nothing left to serve. */
static void *watch_primary(void *)
{
    for (;;) {
        sleep(1);
        if (bripc_is_primary(g_ph) != 1) {
            fprintf(stderr, "osk-prsvr: no longer the server on node %d\n", g_node);
            _exit(0);
        }
    }
}

[[noreturn]] static void serve(int node)
{
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    char dev[PATH_MAX];
    snprintf(dev, sizeof dev, "%s/osk%d.sock", g_dir.c_str(), node);
    setenv("OSK_DEVICE_PATH", dev, 1);
    g_node = node;
    bripc_ph_t ph;
    int rc = bripc_register_phandle(PR_SVR_NAME, &ph);
    if (rc != BRIPC_PRIMARY && return_when_primary(PR_SVR_NAME, &ph, nullptr) != 0) {
        fprintf(stderr, "osk-prsvr: cannot become the server on node %d: 0x%x\n", node, rc);
        _exit(1);
    }
    g_ph = ph;
    fprintf(stderr, "osk-prsvr: serving on node %d\n", node);
    pthread_t th;
    if (pthread_create(&th, nullptr, watch_primary, nullptr) != 0)
        _exit(1);
    start_server(handler);
}

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: osk-prsvr DIR\n");
        return 2;
    }
    g_dir = argv[1];
    (void)mkdir((g_dir + "/prfiles").c_str(), 0755);
    int unreachable = 0;
    for (;;) {
        int node = serving_node();
        if (node == -2 && ++unreachable > 30)
            return 0; /* the cluster is gone */
        if (node < 0) {
            sleep(1);
            continue;
        }
        unreachable = 0;
        pid_t pid;
        int r = sim_fork(0, nullptr, 0, &pid);
        if (r == 0)
            serve(node);
        int st;
        while (r > 0 && waitpid(pid, &st, 0) < 0 && errno == EINTR)
            ;
        sleep(1);
    }
}
