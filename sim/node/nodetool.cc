/*
 * osk-nodetool: the node's rsh, rcp, lilo, reboot, umount and pm, one
 * program chosen by the name it is called by. Each root partition holds its
 * own copies at the usual paths.
 */
#include <errno.h>
#include <fcntl.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "pm.h"
#include "sim_util.h"
#include "sim_wire.h"
#include "osk_banned.h"

/* Where the agents' and supervisor's sockets are; a test on this machine
 * may point it at a cluster's folder. */
static const char *run_dir(void)
{
    const char *d = getenv("OSK_SIM_RUN_DIR");
    return (d && *d) ? d : SIM_NODE_RUN_DIR;
}

/* This node's number, from its host name "nodeN". */
static int this_node(void)
{
    char h[64] = "";
    if (gethostname(h, sizeof h - 1) < 0 || strncmp(h, "node", 4) != 0 || h[4] < '0' ||
        h[4] > '7' || h[5])
        return -1;
    return h[4] - '0';
}

static int supervisor(const char *prog, const char *req)
{
    char sock[512], reply[256];
    snprintf(sock, sizeof sock, "%s/super.sock", run_dir());
    int rc = sim_line_request(sock, req, reply, sizeof reply, 10000);
    if (rc < 0) {
        fprintf(stderr, "%s: cannot reach the cluster supervisor: %s\n", prog, strerror(errno));
        return 1;
    }
    if (rc > 0) {
        fprintf(stderr, "%s: %s", prog, reply);
        return 1;
    }
    return 0;
}

/* A fault armed by `osk-cluster fault rsh-fail|rsh-stall`: 1 when rsh to
 * HOST must fail; a stall waits here until the fault is cleared. */
static int rsh_fault(const char *host)
{
    char flag[512], mode[16];
    snprintf(flag, sizeof flag, "%s/faults/rsh-%s", run_dir(), host);
    while (sim_read_file(flag, mode, sizeof mode) > 0) {
        if (strncmp(mode, "fail", 4) == 0) {
            fprintf(stderr, "%s: Connection refused\n", host);
            return 1;
        }
        usleep(50000);
    }
    return 0;
}

static int rsh_main(int argc, char **argv)
{
    int i = 1, no_stdin = 0;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (strcmp(argv[i], "-n") == 0)
            no_stdin = 1;
        else if (strcmp(argv[i], "-l") == 0 && i + 1 < argc)
            i++; /* everyone is root here */
        else
            break;
    }
    if (i >= argc) {
        fprintf(stderr, "usage: rsh [-n] [-l user] host [command]\n");
        return 1;
    }
    const char *host = argv[i++];
    if (i >= argc) {
        fprintf(stderr, "rsh: interactive login is not supported\n");
        return 1;
    }
    if (rsh_fault(host))
        return 1;
    std::string cmd;
    for (; i < argc; i++) {
        if (!cmd.empty())
            cmd += ' ';
        cmd += argv[i];
    }
    return sim_agent_exec(run_dir(), host, cmd.c_str(), no_stdin ? -1 : 0, 1, 2);
}

static int local_copy(const char *src, const char *dst)
{
    struct stat st;
    if (stat(src, &st) < 0) {
        fprintf(stderr, "rcp: %s: %s\n", src, strerror(errno));
        return 1;
    }
    if (sim_copy_file(src, dst, st.st_mode & 07777) < 0) {
        fprintf(stderr, "rcp: %s: %s\n", dst, strerror(errno));
        return 1;
    }
    return 0;
}

/* "host:path" names a file of another host when its colon comes before any
 * slash; *path then points after the colon. */
static int remote_spec(const char *spec, std::string *host, const char **path)
{
    const char *colon = strchr(spec, ':');
    const char *slash = strchr(spec, '/');
    if (!colon || (slash && slash < colon))
        return 0;
    host->assign(spec, colon - spec);
    *path = colon + 1;
    return 1;
}

/* A relative remote path is taken from the remote user's home. */
static void remote_path(const std::string &host, const char *path, char *buf, size_t size)
{
    if (path[0] == '/')
        snprintf(buf, size, "%s", path);
    else
        snprintf(buf, size, "%s%s", host == "pkghost" ? "/" : "/root/", path);
}

/* The source's bytes on a descriptor at offset 0: the file itself, or a copy
 * fetched from its host. -1 after reporting why. */
static int open_source(const char *src, mode_t *mode)
{
    std::string host;
    const char *path;
    if (!remote_spec(src, &host, &path)) {
        struct stat st;
        int fd = open(src, O_RDONLY | O_CLOEXEC);
        if (fd < 0 || fstat(fd, &st) < 0) {
            fprintf(stderr, "rcp: %s: %s\n", src, strerror(errno));
            if (fd >= 0)
                close(fd);
            return -1;
        }
        *mode = st.st_mode & 07777;
        return fd;
    }
    char remote[4096];
    remote_path(host, path, remote, sizeof remote);
    int fd = memfd_create("rcp", MFD_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "rcp: %s\n", strerror(errno));
        return -1;
    }
    if (sim_agent_get(run_dir(), host.c_str(), remote, fd, 2, mode) != 0) {
        close(fd);
        return -1;
    }
    (void)lseek(fd, 0, SEEK_SET);
    return fd;
}

/* Quotes TEXT for /bin/sh. */
static std::string shell_quote(const char *text)
{
    std::string q = "'";
    for (const char *c = text; *c; c++) {
        if (*c == '\'')
            q += "'\\''";
        else
            q += *c;
    }
    return q + "'";
}

/* Writes the source into HOST's file PATH through a shell there: a
 * neighbour first, renamed over the target, so a failed copy leaves it. */
static int push_remote(int src_fd, mode_t mode, const char *src, const std::string &host,
                       const char *path)
{
    char remote[4096], base[4096], modetxt[16];
    remote_path(host, path, remote, sizeof remote);
    std::string src_host;
    const char *src_path = src;
    (void)remote_spec(src, &src_host, &src_path);
    snprintf(base, sizeof base, "%s", src_path);
    snprintf(modetxt, sizeof modetxt, "%o", (unsigned)(mode & 0777));
    std::string cmd = "t=" + shell_quote(remote) + "; [ -d \"$t\" ] && t=\"$t\"/" +
                      shell_quote(basename(base)) + "; n=\"$t.rcp-$$\"; if cat >\"$n\" && chmod " +
                      modetxt +
                      " \"$n\" && mv -f \"$n\" \"$t\"; then exit 0; fi; rm -f \"$n\"; exit 1";
    return sim_agent_exec(run_dir(), host.c_str(), cmd.c_str(), src_fd, 1, 2) == 0 ? 0 : 1;
}

static int rcp_main(int argc, char **argv)
{
    int i = 1;
    while (i < argc && (strcmp(argv[i], "-p") == 0 || strcmp(argv[i], "-r") == 0))
        i++;
    if (argc - i != 2) {
        fprintf(stderr, "usage: rcp [-p] [host:]file [host:]file\n");
        return 1;
    }
    const char *src = argv[i], *dst = argv[i + 1];

    std::string dst_host;
    const char *dst_path;
    if (remote_spec(dst, &dst_host, &dst_path)) {
        mode_t mode = 0644;
        int fd = open_source(src, &mode);
        if (fd < 0)
            return 1;
        int rc = push_remote(fd, mode, src, dst_host, dst_path);
        close(fd);
        return rc;
    }

    char target[4096];
    struct stat st;
    std::string src_host;
    const char *path = src;
    int remote = remote_spec(src, &src_host, &path);
    char base[4096];
    snprintf(base, sizeof base, "%s", path);
    if (stat(dst, &st) == 0 && S_ISDIR(st.st_mode))
        snprintf(target, sizeof target, "%s/%s", dst, basename(base));
    else
        snprintf(target, sizeof target, "%s", dst);
    if (!remote)
        return local_copy(src, target);

    char remote_file[4096];
    remote_path(src_host, path, remote_file, sizeof remote_file);

    /* Fill a neighbour first so a failed copy leaves the target as it was. */
    char tmp[4200];
    snprintf(tmp, sizeof tmp, "%s.rcp-XXXXXX", target);
    int fd = mkostemp(tmp, O_CLOEXEC);
    if (fd < 0) {
        fprintf(stderr, "rcp: %s: %s\n", target, strerror(errno));
        return 1;
    }
    mode_t mode = 0644;
    int rc = sim_agent_get(run_dir(), src_host.c_str(), remote_file, fd, 2, &mode);
    if (rc == 0 && (fchmod(fd, mode & 0777) < 0 || close(fd) < 0 || rename(tmp, target) < 0)) {
        fprintf(stderr, "rcp: %s: %s\n", target, strerror(errno));
        rc = 1;
    } else if (rc != 0) {
        close(fd);
    }
    if (rc != 0)
        (void)unlink(tmp);
    return rc;
}

static int lilo_main(int, char **)
{
    char buf[64];
    if (access("/etc/lilo.conf", R_OK) < 0) {
        fprintf(stderr, "Fatal: open /etc/lilo.conf: %s\n", strerror(errno));
        return 1;
    }
    /* Which partition this root is tells which one to boot: run in the
     * running root it keeps it, chrooted into /altroot it picks that. */
    if (sim_read_file("/.osk-root", buf, sizeof buf) < 1 || (buf[0] != 'A' && buf[0] != 'B')) {
        fprintf(stderr, "Fatal: cannot identify the root partition of this system\n");
        return 1;
    }
    int node = this_node();
    if (node < 0) {
        fprintf(stderr, "Fatal: host name is not a cluster node name\n");
        return 1;
    }
    char req[64];
    snprintf(req, sizeof req, "lilo %d %c", node, buf[0]);
    if (supervisor("lilo", req) != 0)
        return 1;
    printf("Added osk *\n");
    return 0;
}

static int reboot_main(int, char **)
{
    int node = this_node();
    if (node < 0) {
        fprintf(stderr, "reboot: host name is not a cluster node name\n");
        return 1;
    }
    char req[64];
    snprintf(req, sizeof req, "reboot %d", node);
    /* The supervisor outside the node does the work, so it completes even
     * though this process is among those the reboot ends. */
    return supervisor("reboot", req);
}

static int umount_main(int argc, char **argv)
{
    int all = 0, nfs = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-a") == 0)
            all = 1;
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc && strcmp(argv[i + 1], "nfs") == 0)
            nfs = 1, i++;
    }
    if (all && nfs)
        return 0; /* a node mounts no network shares */
    execv("/usr/bin/umount", argv);
    execv("/bin/umount", argv);
    fprintf(stderr, "umount: %s\n", strerror(errno));
    return 1;
}

int main(int argc, char **argv)
{
    /* Callers that detach close 0, 1 and 2; a socket opened later must not
     * take their place and be mistaken for standard input. */
    for (int fd = 0; fd < 3; fd++)
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", O_RDWR) != fd)
            return 1;
    const char *name = strrchr(argv[0], '/');
    name = name ? name + 1 : argv[0];
    if (strcmp(name, "osk-nodetool") == 0 && argc > 1) {
        /* osk-nodetool TOOL ARGS...: the same, for testing on this machine. */
        argv++, argc--;
        name = argv[0];
    }
    if (strcmp(name, "rsh") == 0)
        return rsh_main(argc, argv);
    if (strcmp(name, "rcp") == 0)
        return rcp_main(argc, argv);
    if (strcmp(name, "lilo") == 0)
        return lilo_main(argc, argv);
    if (strcmp(name, "reboot") == 0)
        return reboot_main(argc, argv);
    if (strcmp(name, "umount") == 0)
        return umount_main(argc, argv);
    if (strcmp(name, "pm") == 0)
        return pm_main(argc, argv);
    fprintf(stderr, "osk-nodetool: unknown tool %s\n", name);
    return 2;
}
