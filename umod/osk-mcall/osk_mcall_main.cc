/*
 * osk-mcall: runs one named management call against a system manager and
 * prints the reply with its record type's print routine. Over a socket
 * (plain or TLS, the certificate verified against --cafile) from anywhere,
 * or over the kernel IPC (--local) on a node. A manager that does not
 * answer within the timeout ends the call with status 1.
 */
#include <errno.h>
#include <netdb.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include "mcsocket.h"
#include "osk_mcall.h"
#include "strcnv.h"
#include "osk_banned.h"

typedef struct mcall_cmd {
    const char *name;
    uint32_t opcode;
    uint32_t size;
    const char *args;
    const char *what;
    const char *arg[2]; /* what each argument names; null past the last */
} mcall_cmd_t;

static const mcall_cmd_t cmds[] = {
    {"ping", MC_PING, sizeof(mcping_t), "", "the manager's management-call version", {}},
    {"showvlun",
     MCVL_SHOW,
     sizeof(showvlun_t),
     "[VV [HOST]]",
     "exported volumes (VLUNs)",
     {"volume", "host"}},
    {"showhost", MCHO_SHOW, sizeof(showhost_t), "[HOST]", "hosts and their paths", {"host"}},
    {"showvv", MCVV_SHOW, sizeof(showvv_t), "[VV]", "virtual volumes", {"volume"}},
    {"showpd", MCPD_SHOW, sizeof(pdscmd_t), "", "physical disks", {}},
    {"showport", MCISCSI_SHOWPORT, sizeof(mciscsi_showport_t), "", "iSCSI ports", {}},
    {"pshow", MCLD_PSHOW, PSHOW_REQ_SIZE, "", "logical disks holding preserved data", {}},
};

/* Every name a call takes fits a field of this size, with its end. */
#define NAME_FIELD 32
static_assert(sizeof(showvlun_t::showvlun_vname) == NAME_FIELD &&
                  sizeof(showvlun_t::showvlun_hname) == NAME_FIELD &&
                  sizeof(showhost_t::showhost_name) == NAME_FIELD &&
                  sizeof(showvv_t::showvv_name) == NAME_FIELD,
              "a name field changed size");

#define DEFAULT_TIMEOUT 30

static void usage(FILE *f)
{
    fprintf(f,
            "usage: osk-mcall [--tls] [--host HOST] [--port PORT] [--cafile FILE]\n"
            "                 [--timeout SECONDS] CALL [ARGS]\n"
            "       osk-mcall --local [--timeout SECONDS] CALL [ARGS]\n"
            "\n"
            "Runs one management call and prints the reply. Over a socket by default:\n"
            "HOST (127.0.0.1) and PORT ($OSK_MCALL_PORT); --tls verifies the manager's\n"
            "certificate against FILE ($OSK_MCALL_CAFILE). --local uses the kernel IPC of\n"
            "the node it runs on. A manager that has not answered within SECONDS\n"
            "(default %d) ends the call. Names are at most %d characters.\n"
            "\n"
            "Calls:\n",
            DEFAULT_TIMEOUT, NAME_FIELD - 1);
    for (const mcall_cmd_t &c : cmds) {
        char head[40];
        snprintf(head, sizeof head, "%s %s", c.name, c.args);
        fprintf(f, "  %-22s %s\n", head, c.what);
    }
}

/* A mistake on the command line: one line naming it and the way out. */
static int misuse(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
static int misuse(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    fputs("osk-mcall: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    return 2;
}

/* The arguments of call c, refused when there are more than it takes or
 * one does not fit its field (a cut name would ask for another object). */
static int check_args(const mcall_cmd_t *c, int argc, char **argv)
{
    int most = 0;
    while (most < 2 && c->arg[most] != nullptr)
        most++;
    if (argc > most)
        return most == 0 ? misuse("%s takes no arguments, not \"%s\"", c->name, argv[0])
                         : misuse("%s takes at most %d argument%s (%s), not \"%s\"", c->name, most,
                                  most > 1 ? "s" : "", c->args, argv[most]);
    for (int i = 0; i < argc; i++)
        if (strlen(argv[i]) > NAME_FIELD - 1)
            return misuse("the %s name \"%s\" is longer than %d characters", c->arg[i], argv[i],
                          NAME_FIELD - 1);
    return 0;
}

static void copy_name(char *dst, size_t n, const char *src)
{
    if (src != nullptr)
        snprintf(dst, n, "%s", src);
}

/* Written by the alarm, prepared before it is set: a handler may only
 * write and exit. */
static char g_timeout_msg[512];

static void on_timeout(int)
{
    (void)!write(2, g_timeout_msg, strlen(g_timeout_msg));
    _exit(1);
}

/* The request: filters given on the command line, "everything" otherwise. */
static void fill_request(const mcall_cmd_t *c, mcall_t *rec, int argc, char **argv)
{
    const char *a1 = argc > 0 ? argv[0] : nullptr, *a2 = argc > 1 ? argv[1] : nullptr;
    switch (c->opcode) {
    case MCVL_SHOW: {
        showvlun_t *q = (showvlun_t *)rec;
        copy_name(q->showvlun_vname, sizeof q->showvlun_vname, a1);
        copy_name(q->showvlun_hname, sizeof q->showvlun_hname, a2);
        q->showvlun_lun = 0xFFFFFFFF;
        q->showvlun_nmap = q->showvlun_smap = q->showvlun_pmap = 0xFF;
        break;
    }
    case MCHO_SHOW:
        copy_name(((showhost_t *)rec)->showhost_name, 32, a1);
        break;
    case MCVV_SHOW:
        copy_name(((showvv_t *)rec)->showvv_name, 32, a1);
        break;
    case MCPD_SHOW: {
        pdspec_t *s = &((pdscmd_t *)rec)->pscmd_spec;
        s->ps_id = s->ps_state = 0xFFFFFFFF;
        s->ps_wwn = ~0ull;
        s->ps_nodemap = s->ps_slotmap = s->ps_portmap = 0xFF;
        break;
    }
    case MCISCSI_SHOWPORT:
        ((mciscsi_showport_t *)rec)->nsp = LPID_NONE;
        break;
    }
}

static int tls_failed(const char *what)
{
    fprintf(stderr, "osk-mcall: %s: ", what);
    ERR_print_errors_fp(stderr);
    fprintf(stderr, "\n");
    return -1;
}

static void dispose_ssl(void *ssl, struct sockaddr_in *, int)
{
    (void)SSL_shutdown((SSL *)ssl);
    SSL_free((SSL *)ssl);
}

/* Connects the thread as a socket connection; 0 or -1 with a message. */
static int connect_socket(const char *host, const char *port, int tls, const char *cafile)
{
    struct addrinfo hints = {}, *res = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    int e = getaddrinfo(host, port, &hints, &res);
    if (e != 0) {
        fprintf(stderr, "osk-mcall: %s:%s: %s\n", host, port, gai_strerror(e));
        return -1;
    }
    int fd = -1;
    for (struct addrinfo *a = res; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd >= 0 && connect(fd, a->ai_addr, a->ai_addrlen) != 0) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(res);
    if (fd < 0) {
        fprintf(stderr, "osk-mcall: cannot connect to %s:%s: %s\n", host, port, strerror(errno));
        return -1;
    }

    per_thread_buffer_t *p = init_thread_buffer(nullptr, 0);
    snprintf(p->callerid, sizeof p->callerid, "osk-mcall");
    int *type;
    init_thread_conntype(&type);
    *type = MCALL_SOCKET;
    *get_thread_socket() = fd;
    if (!tls) {
        mc_open(fd, nullptr);
        return 0;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr)
        return tls_failed("TLS");
    if (SSL_CTX_load_verify_locations(ctx, cafile, nullptr) != 1)
        return tls_failed(cafile);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    SSL *ssl = SSL_new(ctx);
    SSL_CTX_free(ctx); /* the session holds its own reference */
    X509_VERIFY_PARAM *vp = SSL_get0_param(ssl);
    if (X509_VERIFY_PARAM_set1_ip_asc(vp, host) != 1)
        (void)SSL_set1_host(ssl, host);
    if (!SSL_set_fd(ssl, fd) || SSL_connect(ssl) != 1) {
        long v = SSL_get_verify_result(ssl);
        if (v != X509_V_OK)
            fprintf(stderr, "osk-mcall: %s:%s: certificate not accepted: %s\n", host, port,
                    X509_verify_cert_error_string(v));
        else
            (void)tls_failed("TLS handshake");
        SSL_free(ssl);
        return -1;
    }
    p->ssl_err_func = dispose_ssl;
    mc_open(-1, ssl);
    return 0;
}

int main(int argc, char **argv)
{
    const char *host = "127.0.0.1", *port = getenv("OSK_MCALL_PORT"),
               *cafile = getenv("OSK_MCALL_CAFILE");
    const char *timeout = nullptr;
    int tls = 0, local = 0, i = 1;
    /* The options that take a value, and what the value is. */
    static const struct {
        const char *name, *what;
    } valued[] = {{"--host", "the manager's host name or address"},
                  {"--port", "the manager's port"},
                  {"--cafile", "the certificate file of the cluster"},
                  {"--timeout", "a number of seconds"}};
    for (; i < argc && argv[i][0] == '-'; i++) {
        const char *o = argv[i];
        int v = -1;
        for (int k = 0; k < 4; k++)
            if (strcmp(o, valued[k].name) == 0)
                v = k;
        if (strcmp(o, "--help") == 0 || strcmp(o, "-h") == 0) {
            usage(stdout);
            return 0;
        } else if (strcmp(o, "--tls") == 0) {
            tls = 1;
        } else if (strcmp(o, "--local") == 0) {
            local = 1;
        } else if (v >= 0) {
            /* No value of these starts with a dash: that is the next option. */
            if (i + 1 >= argc || argv[i + 1][0] == '-')
                return misuse("%s needs a value: %s", o, valued[v].what);
            const char **dst[] = {&host, &port, &cafile, &timeout};
            *dst[v] = argv[++i];
        } else {
            return misuse("unknown option %s; osk-mcall --help lists them", o);
        }
    }
    if (i >= argc)
        return misuse("no call given; osk-mcall --help lists them");
    const mcall_cmd_t *cmd = nullptr;
    for (const mcall_cmd_t &c : cmds) {
        if (strcmp(c.name, argv[i]) == 0)
            cmd = &c;
    }
    if (cmd == nullptr)
        return misuse("unknown call %s; osk-mcall --help lists them", argv[i]);
    if (check_args(cmd, argc - i - 1, argv + i + 1) != 0)
        return 2;
    long seconds = DEFAULT_TIMEOUT;
    if (timeout != nullptr) {
        char *end;
        errno = 0;
        seconds = strtol(timeout, &end, 10);
        if (*timeout < '0' || *timeout > '9' || *end || errno || seconds < 1 || seconds > 86400)
            return misuse("--timeout takes a number of seconds from 1 to 86400, not \"%s\"",
                          timeout);
    }
    signal(SIGPIPE, SIG_IGN);
    /* Whatever the call waits on (the connection, the handshake, the
     * reply), a manager that does not answer ends it. */
    if (local)
        snprintf(g_timeout_msg, sizeof g_timeout_msg,
                 "osk-mcall: no answer from the system manager over the kernel IPC within %ld s; "
                 "is it up? (--timeout sets the wait)\n",
                 seconds);
    else
        snprintf(g_timeout_msg, sizeof g_timeout_msg,
                 "osk-mcall: no answer from the manager at %s:%s within %ld s; is it up? "
                 "(--timeout sets the wait)\n",
                 host, port ? port : "?", seconds);
    signal(SIGALRM, on_timeout);
    alarm((unsigned)seconds);
    strcnv_initialize();

    if (local) {
        int rc = oskopen("osk-mcall", 0);
        if (rc != 0) {
            fprintf(stderr, "osk-mcall: no system manager over the kernel IPC: 0x%x\n", rc);
            return 1;
        }
    } else {
        if (port == nullptr) {
            fprintf(stderr, "osk-mcall: no port: give --port or set OSK_MCALL_PORT\n");
            return 2;
        }
        if (tls && cafile == nullptr) {
            fprintf(stderr, "osk-mcall: --tls needs --cafile or OSK_MCALL_CAFILE\n");
            return 2;
        }
        mcsocket_install();
        if (connect_socket(host, port, tls, cafile) != 0)
            return 1;
        if (strcnv_client_handshake(get_thread_specific_buffer()->fd) != 0)
            return 1;
    }

    mcall_t *rec = mcall_alloc(cmd->opcode, cmd->size);
    fill_request(cmd, rec, argc - i - 1, argv + i + 1);
    show = !local; /* the socket call prints a successful reply itself */
    int rc = oskcall(&rec);
    if (local) {
        if (rc == 0)
            js_print[get_op_id((int)rec->mc_opcode)](rec);
        else
            fprintf(stderr, "Failed oskcall: %.240s\n", rec->mc_ertxt);
    }
    mcall_free(rec);
    if (!local && *get_thread_socket() >= 0)
        close_socket();
    return rc == 0 ? 0 : 1;
}
