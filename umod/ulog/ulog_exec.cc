/*
 * Logged child processes: a program runs with standard input on /dev/null
 * and both output streams on pipes; the parent copies every line into the
 * run log, fills the caller's capture buffers and logs how the child ended.
 */
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <signal.h>
#include <sys/select.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "osk_runtime.h"
#include "ulog.h"
#include "osk_banned.h"

#define ULOG_READ_MAX 16383     /* bytes taken from a pipe in one read */
#define ULOG_CMDTEXT_LEN 1024   /* announced command text, cut at 1023 characters */
#define ULOG_VEC_STEP 10        /* the packed vector grows by this many entries */
#define ULOG_EXECL_MAX_ARGS 19  /* arguments accepted by ulog_execl() */
#define ULOG_REAP_POLL_MS 2     /* step of the wait for a child whose streams have ended */
#define ULOG_REAP_EVERY_MS 50   /* while output flows, how often to look for the child's end */
#define ULOG_DRAIN_QUIET_MS 500 /* after the child's end, silence that ends the drain */
#define ULOG_DRAIN_MAX_MS 5000  /* and the longest a drain goes on at all */
#define ULOG_MSG_LEN 512        /* a child's own start-error message; below PIPE_BUF */
#define ULOG_DEVNULL "/dev/null"
#define ULOG_SHELL "/bin/sh"

typedef void (*ulog_output_t)(const char *format, ...) ULOG_PRINTF(1, 2);

/* One output stream of a child while it is being read. */
typedef struct ulog_stream {
    int fd;
    char *buf; /* capture buffer, or none */
    size_t space;
    char **cur; /* next free byte of buf, kept in the state record */
    const char *tag;
    int eof;
} ulog_stream_t;

/* The packed vector while it is being built. */
typedef struct ulog_vec {
    char **v;
    size_t count;
    size_t space;
} ulog_vec_t;

ulog_exec_state_t *ulog_exec_states;

static int ulog_devnull = -1;

/*
 * Set in a child between fork and exec. Its exits must not run the parent's
 * exit handlers (which would write the run log trailer a second time).
 */
static int ulog_in_child;

[[noreturn]] void ulog_exit(int status)
{
    if (ulog_in_child) {
        (void)fflush(NULL);
        _exit(status);
    }
    exit(status);
}

static ulog_output_t ulog_output(const ulog_exec_opts_t *ops)
{
    return (ops->ulog_exec_opts & ULOG_EXEC_CONSOLE) ? ulog_message : ulog_message_logonly;
}

/* Appends text to buf, cut at len - 1; safe between fork and exec. */
static size_t ulog_text_append(char *buf, size_t len, size_t at, const char *text)
{
    while (*text != '\0' && at + 1 < len)
        buf[at++] = *text++;
    buf[at] = '\0';
    return at;
}

/*
 * The child's own last words, written with one write(2) straight into its
 * output pipe: stdio and the run log are not safe to use after fork, and a
 * write smaller than PIPE_BUF reaches the parent whole.
 */
static void ulog_child_say(int fd, const char *what, const char *name, const char *how, int err)
{
    char msg[ULOG_MSG_LEN];
    size_t at = 0;

    at = ulog_text_append(msg, sizeof(msg), at, what);
    at = ulog_text_append(msg, sizeof(msg), at, name);
    at = ulog_text_append(msg, sizeof(msg), at, how);
    at = ulog_text_append(msg, sizeof(msg), at, strerror(err));
    at = ulog_text_append(msg, sizeof(msg), at, "\n");
    (void)!write(fd, msg, at);
}

void close_extra(void)
{
    for (int fd = 3; fd <= 255; fd++)
        (void)close(fd);
}

static char *ulog_strdup(const char *s)
{
    size_t n = strlen(s) + 1;
    char *d = (char *)malloc_or_die(n);

    memcpy(d, s, n);
    return d;
}

static void ulog_vec_push(ulog_vec_t *pv, char *entry)
{
    if (pv->count == pv->space) {
        size_t space = pv->space + ULOG_VEC_STEP;
        char **v = (char **)malloc_or_die(space * sizeof(*v));

        if (pv->count > 0)
            memcpy(v, pv->v, pv->count * sizeof(*v));
        free(pv->v);
        pv->v = v;
        pv->space = space;
    }
    pv->v[pv->count++] = entry;
}

/* Entry 0 is the path that is started, entry 1 the name the program sees. */
static void ulog_vec_start(ulog_vec_t *pv, const char *path)
{
    OSK_ASSERT(path != NULL);
    const char *slash = strrchr(path, '/');

    ulog_vec_push(pv, ulog_strdup(path));
    ulog_vec_push(pv, ulog_strdup(slash != NULL ? slash + 1 : path));
}

static void ulog_pack_vec(ulog_exec_opts_t *ops, char **exvec)
{
    ulog_vec_t pv = {};

    OSK_ASSERT(exvec != NULL);
    ulog_vec_start(&pv, exvec[0]);
    for (char **a = exvec + 1; *a != NULL; a++)
        ulog_vec_push(&pv, ulog_strdup(*a));
    ulog_vec_push(&pv, NULL);
    ops->ulog_exec_vec = pv.v;
}

void ulog_pack_args(ulog_exec_opts_t *ops, char **exvec, const char *execl, va_list ap)
{
    if (exvec != NULL) {
        ulog_pack_vec(ops, exvec);
        return;
    }

    ulog_vec_t pv = {};

    ulog_vec_start(&pv, execl);
    for (const char *a = va_arg(ap, const char *); a != NULL; a = va_arg(ap, const char *))
        ulog_vec_push(&pv, ulog_strdup(a));
    ulog_vec_push(&pv, NULL);
    ops->ulog_exec_vec = pv.v;
}

/* Standard output pipe first, then standard error. */
static void ulog_setup_fds(int out[2], int err[2])
{
    /* Close-on-exec keeps this child's read ends out of every later child. */
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) {
        ulog_message("Unable to create communication channel (pipe).");
        exit(ULOG_EXIT_FAILURE);
    }
}

/*
 * In the child: /dev/null becomes standard input, the pipes' write ends
 * standard output and error. Async-signal-safe calls only.
 */
static int ulog_fds_as_child(int devnull, int out[2], int err[2])
{
    int fds[3] = {devnull, out[1], err[1]};

    (void)close(out[0]);
    (void)close(err[0]);
    /*
     * A parent started with its standard streams closed has pipes among
     * 0..2: move them clear before dup2() overwrites them. The copies also
     * lose close-on-exec, which dup2() onto the same number would keep.
     */
    for (int i = 0; i < 3; i++) {
        if (fds[i] <= 2) {
            fds[i] = fcntl(fds[i], F_DUPFD, 3);
            if (fds[i] < 0)
                return -1;
        }
    }
    for (int i = 0; i < 3; i++) {
        if (dup2(fds[i], i) < 0)
            return -1;
    }
    return 0;
}

/* In the parent: keep the read ends, drop the write ends the child holds. */
static void ulog_fds_as_parent(ulog_exec_state_t *st, int out[2], int err[2], int started)
{
    (void)close(out[1]);
    (void)close(err[1]);
    if (!started) {
        (void)close(out[0]);
        (void)close(err[0]);
        out[0] = err[0] = -1;
    }
    st->ulog_st_iofds[0] = out[0];
    st->ulog_st_iofds[1] = err[0];
}

[[noreturn]] static void ulog_child(ulog_exec_opts_t *ops, int out[2], int err[2])
{
    char **vec = ops->ulog_exec_vec;

    ulog_in_child = 1;
    /*
     * The driver ignores SIGPIPE for itself; a pipeline the child runs
     * ("dpkg -l | grep -q ...") must end quietly when its reader goes.
     * SIGINT, SIGTERM and SIGHUP stay ignored on purpose: a Ctrl-C on the
     * operator's terminal reaches the whole foreground group, and dpkg must
     * not stop half way through a package because of it.
     */
    struct sigaction sa = {};
    sa.sa_handler = SIG_DFL;
    (void)sigaction(SIGPIPE, &sa, NULL);
    sa.sa_handler = SIG_IGN;
    (void)sigaction(SIGINT, &sa, NULL);
    (void)sigaction(SIGTERM, &sa, NULL);
    (void)sigaction(SIGHUP, &sa, NULL);
    if (ops->ulog_prefunc != NULL) {
        ops->ulog_prefunc(ops->ulog_prefunc_arg);
        /* The hook's console text belongs on the console, not in the pipe. */
        (void)fflush(NULL);
    }
    if (ulog_devnull < 0)
        ulog_devnull = open(ULOG_DEVNULL, O_RDONLY);
    if (ulog_devnull < 0) {
        ulog_child_say(out[1], "Could not open ", ULOG_DEVNULL, ": ", errno);
        _exit(ULOG_EXIT_FAILURE);
    }
    if (ulog_fds_as_child(ulog_devnull, out, err) != 0) {
        ulog_child_say(out[1], "Could not redirect output of ", vec[1], ": ", errno);
        _exit(ULOG_EXIT_FAILURE);
    }
    close_extra();
    execv(vec[0], vec + 1);
    ulog_child_say(STDOUT_FILENO, "Could not start command: ", vec[1], " error: ", errno);
    _exit(1);
}

static void ulog_exec_announce(ulog_exec_state_t *st, int screen)
{
    char text[ULOG_CMDTEXT_LEN];
    char **vec = st->ulog_st_ops.ulog_exec_vec;
    size_t at = 0;

    at = ulog_text_append(text, sizeof(text), at, vec[0]);
    at = ulog_text_append(text, sizeof(text), at, " ");
    for (char **a = vec + 2; *a != NULL; a++) {
        at = ulog_text_append(text, sizeof(text), at, *a);
        at = ulog_text_append(text, sizeof(text), at, " ");
    }
    (screen ? ulog_message : ulog_message_logonly)("%s *  : %s", vec[1], text);
}

/* Starts the child of an already packed vector and returns at once. */
static ulog_exec_state_t *ulog_exec_start(ulog_exec_opts_t *ops)
{
    ulog_exec_state_t *st = (ulog_exec_state_t *)malloc_or_die(sizeof(*st));
    int out[2], err[2];

    memset(st, 0, sizeof(*st));
    ulog_setup_fds(out, err);
    /*
     * Open the log now so the hook's records reach it from the child, and
     * flush stdio so that the child does not write pending text again.
     */
    log_init();
    (void)fflush(NULL);
    /*
     * NOTE: after fork() the child runs only async-signal-safe calls, apart
     * from the caller's hook and its start-error message.
     */
    pid_t pid = fork();
    if (pid == 0)
        ulog_child(ops, out, err);
    int fork_errno = errno;

    st->ulog_st_ops = *ops;
    st->ulog_st_pid = pid;
    st->ulog_st_stdout = st->ulog_st_stdout_cur = ops->ulog_buf_stdout;
    st->ulog_st_stderr = st->ulog_st_stderr_cur = ops->ulog_buf_stderr;
    st->ulog_st_stdout_space = ops->ulog_buf_stdout_len;
    st->ulog_st_stderr_space = ops->ulog_buf_stderr_len;
    ulog_fds_as_parent(st, out, err, pid > 0);
    st->ulog_st_next = ulog_exec_states;
    if (ulog_exec_states != NULL)
        ulog_exec_states->ulog_st_prev = st;
    ulog_exec_states = st;

    ulog_exec_announce(st, ops->ulog_exec_opts & ULOG_EXEC_CONSOLE);
    if (pid < 0)
        ulog_message("Could not create a process for command: %s error: %s", ops->ulog_exec_vec[1],
                     strerror(fork_errno));
    return st;
}

ulog_exec_state_t *ulog_exec_nursery(ulog_exec_opts_t *ops)
{
    ulog_pack_vec(ops, ops->ulog_exec_vec);
    return ulog_exec_start(ops);
}

/*
 * Reads once from fd and logs every non-empty line; a line split over two
 * reads gives two records. Stores up to room bytes at dest when it is given.
 * Returns the bytes read, or the bytes stored when they were cut to room.
 * *eof is set when the stream has ended (or cannot be read any more).
 */
static size_t ulog_consumedata(ulog_exec_state_t *st, int fd, char *dest, size_t room,
                               ulog_output_t output, const char *name, int *eof)
{
    char scratch[ULOG_READ_MAX + 1];
    ssize_t got;

    do {
        got = read(fd, scratch, ULOG_READ_MAX);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        *eof = 1;
        return 0;
    }
    size_t n = (size_t)got;
    scratch[n] = '\0';

    size_t stored = n;
    if (dest != NULL) {
        if (room < n)
            stored = room;
        memcpy(dest, scratch, stored);
    }

    char prefix[ULOG_CMDTEXT_LEN];
    size_t at = ulog_text_append(prefix, sizeof(prefix), 0, st->ulog_st_ops.ulog_exec_vec[1]);
    at = ulog_text_append(prefix, sizeof(prefix), at, " ");
    at = ulog_text_append(prefix, sizeof(prefix), at, name);
    (void)ulog_text_append(prefix, sizeof(prefix), at, " : ");
    ulog_log_lines(output == ulog_message && !ulog_settings.quiet, prefix, scratch, n);
    return stored;
}

static void ulog_stream_read(ulog_exec_state_t *st, ulog_stream_t *s, ulog_output_t output)
{
    char *dest = NULL;
    size_t room = 0;

    if (s->buf != NULL) {
        dest = *s->cur;
        room = s->space - (size_t)(*s->cur - s->buf);
    }
    size_t n = ulog_consumedata(st, s->fd, dest, room, output, s->tag, &s->eof);
    if (n > 0 && s->buf != NULL)
        *s->cur += n;
}

static long ulog_now_ms(void)
{
    struct timespec t;

    (void)clock_gettime(CLOCK_MONOTONIC, &t);
    return (long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

/* Waits up to ms for either open stream; returns select()'s count. */
static int ulog_streams_select(ulog_stream_t s[2], int ms, fd_set *rd)
{
    int maxfd = -1;

    FD_ZERO(rd);
    for (int i = 0; i < 2; i++) {
        if (!s[i].eof) {
            OSK_ASSERT(s[i].fd < FD_SETSIZE);
            FD_SET(s[i].fd, rd);
            if (s[i].fd > maxfd)
                maxfd = s[i].fd;
        }
    }
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    return select(maxfd + 1, rd, NULL, NULL, &tv);
}

/*
 * After the child's end: read what it left in its pipes (a child that exits
 * right after a large write leaves up to a pipe's worth behind). A process
 * it left running, such as a daemon a package script started, may hold the
 * pipes open for ever; once they have been quiet a while, go on without it.
 */
static void ulog_streams_drain(ulog_exec_state_t *st, ulog_stream_t s[2], ulog_output_t output)
{
    int quiet_ms = 0, total_ms = 0;

    while ((!s[0].eof || !s[1].eof) && quiet_ms < ULOG_DRAIN_QUIET_MS &&
           total_ms < ULOG_DRAIN_MAX_MS) {
        fd_set rd;
        long t0 = ulog_now_ms();
        int ready = ulog_streams_select(s, ULOG_DRAIN_QUIET_MS - quiet_ms, &rd);
        int spent = (int)(ulog_now_ms() - t0);
        total_ms += spent;
        if (ready <= 0) {
            quiet_ms += spent > 0 ? spent : 1;
            continue;
        }
        quiet_ms = 0;
        for (int i = 0; i < 2; i++) {
            if (!s[i].eof && FD_ISSET(s[i].fd, &rd))
                ulog_stream_read(st, &s[i], output);
        }
    }
    if (!s[0].eof || !s[1].eof)
        output("%s: output still held open by another process; no longer read",
               st->ulog_st_ops.ulog_exec_vec[1]);
}

int ulog_exec_wait(ulog_exec_state_t *st)
{
    OSK_ASSERT(st != NULL);
    const char *name = st->ulog_st_ops.ulog_exec_vec[1];
    ulog_output_t output = ulog_output(&st->ulog_st_ops);
    pid_t pid = st->ulog_st_pid;

    if (pid < 0)
        return 1; /* never started; reported when it was started */
    /* A second wait for the same child is a caller's bug. */
    OSK_ASSERT(st->ulog_st_iofds[0] >= 0 && st->ulog_st_iofds[1] >= 0);

    ulog_stream_t s[2] = {
        {st->ulog_st_iofds[0], st->ulog_st_stdout, st->ulog_st_stdout_space,
         &st->ulog_st_stdout_cur, "*o", 0},
        {st->ulog_st_iofds[1], st->ulog_st_stderr, st->ulog_st_stderr_space,
         &st->ulog_st_stderr_cur, "*e", 0},
    };
    int status = 0;
    int wait_errno = 0;
    int silent_ms = 0;

    long next_reap = 0;

    for (;;) {
        /*
         * While output streams in, look for the child's end only now and
         * then: a wait per read costs as much as the read.
         */
        long now = ulog_now_ms();
        if (now >= next_reap || (s[0].eof && s[1].eof)) {
            next_reap = now + ULOG_REAP_EVERY_MS;
            pid_t r = waitpid(pid, &status, WNOHANG);
            if (r == pid)
                break;
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                wait_errno = errno;
                break;
            }
        }

        fd_set rd;
        /*
         * With both streams at their end the child is usually on its way
         * out: look for its end in short steps instead of a whole tick.
         */
        int slice = s[0].eof && s[1].eof ? ULOG_REAP_POLL_MS : ulog_settings.dotspeed;
        int ready = ulog_streams_select(s, slice, &rd);
        if (ready == 0) {
            silent_ms += slice;
            if (silent_ms >= ulog_settings.dotspeed) {
                silent_ms = 0;
                if (ulog_settings.do_dots)
                    do_dotty();
            }
            continue;
        }
        if (ready < 0) {
            OSK_ASSERT(errno == EINTR);
            continue;
        }
        silent_ms = 0;
        for (int i = 0; i < 2; i++) {
            if (!s[i].eof && FD_ISSET(s[i].fd, &rd))
                ulog_stream_read(st, &s[i], output);
        }
    }

    ulog_streams_drain(st, s, output);
    if (ulog_settings.do_dots)
        clear_dotty();
    (void)close(st->ulog_st_iofds[0]);
    (void)close(st->ulog_st_iofds[1]);
    st->ulog_st_iofds[0] = st->ulog_st_iofds[1] = -1;

    if (wait_errno != 0) {
        ulog_message("Lost track of command: %s error: %s", name, strerror(wait_errno));
        return 1;
    }
    if (WIFSIGNALED(status)) {
        output("%s ***: %s with %s: %d", name, "Died     ", "signal", WTERMSIG(status));
        return WTERMSIG(status);
    }
    int code = WEXITSTATUS(status);
    output("%s ***: %s with %s: %d", name, code != 0 ? "Failed   " : "Succeeded", "status", code);
    return code;
}

int ulog_exec_ops(ulog_exec_opts_t *ops, const char *execline, ...)
{
    va_list ap;

    va_start(ap, execline);
    ulog_pack_args(ops, ops->ulog_exec_vec, execline, ap);
    va_end(ap);
    return ulog_exec_wait(ulog_exec_start(ops));
}

int ulog_execv(char **argv, ptr_func_t prefunc, void *prefunc_arg)
{
    ulog_exec_opts_t ops = {};

    ops.ulog_exec_vec = argv;
    ops.ulog_prefunc = prefunc;
    ops.ulog_prefunc_arg = prefunc_arg;
    return ulog_exec_ops(&ops, NULL);
}

/* Runs path with the arguments up to the null, at most 19 of them. */
static int ulog_execl_va(ptr_func_t prefunc, void *prefunc_arg, const char *path, va_list ap)
{
    char *argv[ULOG_EXECL_MAX_ARGS + 2];
    int n = 0;

    argv[n++] = (char *)path;
    for (char *a = va_arg(ap, char *); a != NULL; a = va_arg(ap, char *)) {
        if (n == ULOG_EXECL_MAX_ARGS + 1) {
            ulog_message("Too many arguements passed for command: %s", path);
            exit(ULOG_EXIT_FAILURE);
        }
        argv[n++] = a;
    }
    argv[n] = NULL;
    return ulog_execv(argv, prefunc, prefunc_arg);
}

int ulog_execl_list(const char *path, ...)
{
    va_list ap;
    va_start(ap, path);
    int r = ulog_execl_va(NULL, NULL, path, ap);
    va_end(ap);
    return r;
}

int ulog_execl_hook_list(ptr_func_t prefunc, void *prefunc_arg, const char *path, ...)
{
    va_list ap;
    va_start(ap, path);
    int r = ulog_execl_va(prefunc, prefunc_arg, path, ap);
    va_end(ap);
    return r;
}

/* Capture buffers read as texts: zeroed, with the last byte kept as the terminator. */
static void ulog_set_captures(ulog_exec_opts_t *ops, char *out, size_t out_size, char *err,
                              size_t err_size)
{
    if (out) {
        OSK_ASSERT(out_size > 0 && out_size - 1 <= UINT32_MAX);
        memset(out, 0, out_size);
        ops->ulog_buf_stdout = out;
        ops->ulog_buf_stdout_len = (uint32_t)(out_size - 1);
    }
    if (err) {
        OSK_ASSERT(err_size > 0 && err_size - 1 <= UINT32_MAX);
        memset(err, 0, err_size);
        ops->ulog_buf_stderr = err;
        ops->ulog_buf_stderr_len = (uint32_t)(err_size - 1);
    }
}

ulog_exec_state_t *ulog_exec_nursery_captured(char **argv, ptr_func_t prefunc, char *out,
                                              size_t out_size, char *err, size_t err_size)
{
    ulog_exec_opts_t ops = {};

    ops.ulog_exec_vec = argv;
    ops.ulog_prefunc = prefunc;
    ulog_set_captures(&ops, out, out_size, err, err_size);
    return ulog_exec_nursery(&ops);
}

int ulog_exec_captured(char **argv, ptr_func_t prefunc, char *out, size_t out_size, char *err,
                       size_t err_size)
{
    return ulog_exec_wait(ulog_exec_nursery_captured(argv, prefunc, out, out_size, err, err_size));
}

char *get_cmdoutput(const char *cmd, char *buf, size_t len)
{
    ulog_exec_opts_t ops = {};

    OSK_ASSERT(cmd != NULL && buf != NULL);
    ulog_set_captures(&ops, buf, len, NULL, 0);
    if (ulog_exec_ops(&ops, ULOG_SHELL, "-c", cmd, (char *)NULL) != 0)
        return NULL;
    return buf;
}

int rm_rf(const char *filename)
{
    return ulog_execl("/bin/rm", "-rf", filename, nullptr);
}
