/*
 * The run log, console messages and logged child processes.
 *
 * Messages: ulog_message() writes to the console (unless quiet) and the run
 * log; ulog_message_logonly() to the run log only. The writer adds the line
 * end. The log is opened by the first record of a run and never closed; every
 * record starts with the local time.
 *
 * Children: a command runs with standard input on /dev/null and both output
 * streams on pipes; every line it writes is copied into the run log as
 * "<name> *o : <line>" or "<name> *e : <line>". Optional capture buffers are
 * filled up to their capacity and never grown; a caller that reads a capture
 * as text zeroes it first and passes a capacity one less than its size.
 *
 * Parallel children: start each with ulog_exec_nursery(), then call
 * ulog_exec_wait() on each exactly once, in the order wanted. Output of a
 * child not being waited for stays in its pipe until its turn.
 *
 * Starting packs ops->ulog_exec_vec (path, arguments, null) into a new
 * vector that replaces it: fill the vector afresh before reusing a record.
 * States and packed vectors live until the process ends.
 *
 * The pre-exec hook runs in the child before its streams are redirected, so
 * its messages reach the console and the run log; a hook that exits there
 * leaves the parent's exit handlers alone.
 *
 * Results are the child's exit status, or the signal number that killed it;
 * 0 is success. A program that cannot be started gives 1 (its start error is
 * logged as its output); so does a child that could not be created or whose
 * end could not be waited for (both logged).
 *
 * Settings: this layer knows nothing of the program that uses it. The caller
 * fills ulog_settings (defaults: log on, not quiet, no spinner, a 250 ms
 * tick, no log file named) and may change it at any time; a log that can be
 * opened neither at logfilename nor at fallbackname clears use_log. Everything the log and the
 * spinner keep is in it.
 */
#ifndef ULOG_H
#define ULOG_H

#include <stdarg.h>
#include <stdint.h>
#include <sys/time.h>
#include <sys/types.h>

#include <type_traits>

#define ULOG_PRINTF(f, a) __attribute__((format(printf, f, a)))

#define ULOG_EXIT_FAILURE 25  /* status of a process this layer has to end */
#define ULOG_BLOCK_LEN 131072 /* records of one relayed read, written at once */
#define ULOG_SEPARATOR "========================================"

typedef struct ulog_settings {
    int use_log;              /* write the run log at all */
    int quiet;                /* ulog_message() writes to the log only */
    int do_dots;              /* the spinner while a child is silent */
    const char *logfilename;  /* the run log's path */
    const char *fallbackname; /* where the log goes when that cannot be opened */
    int dotspeed;             /* spinner tick in milliseconds */
    const char *cmdline;      /* the command in the log header */
    const char *ident;        /* the build identification under it */
    int propellerp;           /* not a setting: spinner ticks since the last clear */
} ulog_settings_t;

extern ulog_settings_t ulog_settings;

void log_init(void);
void updtlog_message(int console, const char *format, va_list ap) ULOG_PRINTF(2, 0);
void ulog_message(const char *format, ...) ULOG_PRINTF(1, 2);
void ulog_message_logonly(const char *format, ...) ULOG_PRINTF(1, 2);
/*
 * Relays a child's output: every non-empty line of text[0..n) becomes the
 * record "<prefix><line>", on the console too when console is set; all of
 * them reach the log in one write before it returns.
 */
void ulog_log_lines(int console, const char *prefix, const char *text, size_t n);
void goodbye(void);
void do_dotty(void);
void clear_dotty(void);

/* Child processes */
typedef void (*ptr_func_t)(void *);

#define ULOG_EXEC_CONSOLE 0x1 /* announce, output and result on the console too */

typedef struct ulog_exec_opts {
    uint32_t ulog_exec_opts;
    char *ulog_buf_stdout;
    char *ulog_buf_stderr;
    uint32_t ulog_buf_stdout_read;
    uint32_t ulog_buf_stderr_read;
    uint32_t ulog_buf_stdout_len;
    uint32_t ulog_buf_stderr_len;
    ptr_func_t ulog_prefunc;
    ptr_func_t ulog_postfunc; /* never called */
    void *ulog_prefunc_arg;
    void *ulog_postfunc_arg;
    char **ulog_exec_vec; /* path, arguments, null; replaced by the packed vector */
} ulog_exec_opts_t;

typedef struct ulog_exec_state {
    struct timeval ulog_st_tv;
    ulog_exec_opts_t ulog_st_ops;
    int ulog_st_iofds[2]; /* read ends: [0] stdout, [1] stderr */
    char *ulog_st_name;
    pid_t ulog_st_pid;
    char **ulog_st_exec_vec;
    char *ulog_st_stdout;
    char *ulog_st_stderr;
    size_t ulog_st_stdout_space;
    size_t ulog_st_stderr_space;
    char *ulog_st_stdout_cur;
    char *ulog_st_stderr_cur;
    struct ulog_exec_state *ulog_st_next;
    struct ulog_exec_state *ulog_st_prev;
} ulog_exec_state_t;

extern ulog_exec_state_t *ulog_exec_states; /* newest first */

/*
 * ulog_execl(path, arg...): like execl(), but every argument must be a text
 * and the list's end is added here; a caller may still end it with nullptr
 * (nothing after the first null is read). NULL does not build: in C++ it is
 * an integer, which a variadic list would pass where a pointer is read. At
 * most 19 arguments; a 20th ends the process. A child with a pre-exec hook
 * is started with ulog_execl_hook(); handing ulog_execl() a hook does not
 * build, so it cannot be dropped unseen.
 */
int ulog_execl_list(const char *path, ...);
int ulog_execl_hook_list(ptr_func_t prefunc, void *prefunc_arg, const char *path, ...);

template <typename... A>
inline constexpr bool ulog_texts_v = ((std::is_convertible_v<A, const char *> &&
                                       !std::is_integral_v<A>)&&...);

template <typename... A> inline int ulog_execl(const char *path, A... args)
{
    static_assert((!std::is_same_v<std::decay_t<A>, ptr_func_t> && ...),
                  "ulog_execl() takes no hook: use ulog_execl_hook()");
    static_assert(ulog_texts_v<A...>, "ulog_execl() takes texts; end the list with nullptr");
    return ulog_execl_list(path, static_cast<const char *>(args)..., (const char *)nullptr);
}
template <typename... A>
inline int ulog_execl_hook(ptr_func_t prefunc, void *prefunc_arg, const char *path, A... args)
{
    static_assert(ulog_texts_v<A...>, "ulog_execl_hook() takes texts; end the list with nullptr");
    return ulog_execl_hook_list(prefunc, prefunc_arg, path, static_cast<const char *>(args)...,
                                (const char *)nullptr);
}
int ulog_execv(char **argv, ptr_func_t prefunc, void *prefunc_arg);
int ulog_exec_ops(ulog_exec_opts_t *ops, const char *execline, ...);
void ulog_pack_args(ulog_exec_opts_t *ops, char **exvec, const char *execl, va_list ap);
ulog_exec_state_t *ulog_exec_nursery(ulog_exec_opts_t *ops);
int ulog_exec_wait(ulog_exec_state_t *st);
char *get_cmdoutput(const char *cmd, char *buf, size_t len);

/*
 * argv (path first, null-terminated) with the hook prefunc (or none) and
 * either stream captured as a text: a given buffer is zeroed and filled up
 * to its size less one. The nursery form starts the child and returns; the
 * other waits and returns its result.
 */
ulog_exec_state_t *ulog_exec_nursery_captured(char **argv, ptr_func_t prefunc, char *out,
                                              size_t out_size, char *err, size_t err_size);
int ulog_exec_captured(char **argv, ptr_func_t prefunc, char *out, size_t out_size, char *err,
                       size_t err_size);
/*
 * Ends the process with status: inside a child before its program starts
 * (a hook), without the parent's exit handlers; elsewhere with exit().
 */
[[noreturn]] void ulog_exit(int status);
int rm_rf(const char *filename);
void close_extra(void);

#endif
