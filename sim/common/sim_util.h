/*
 * Small file, time and text helpers of the simulated cluster. Every call
 * returns 0 (or a length) on success and -1 with errno set on failure,
 * unless its line says otherwise.
 */
#ifndef SIM_UTIL_H
#define SIM_UTIL_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

/* The cluster's folder: $OSK_CLUSTER_DIR, else /var/tmp/osk-cluster. */
const char *sim_cluster_dir(void);

/* Writes TEXT to PATH (created or truncated) with MODE. A link at PATH is
 * refused (ELOOP), never followed: whoever could plant one must not choose
 * what root overwrites. */
int sim_write_file(const char *path, const char *text, mode_t mode);
/* The same for a file that must be new: anything at PATH is refused
 * (EEXIST). */
int sim_create_file(const char *path, const char *text, mode_t mode);
/* Reads at most size-1 bytes of PATH into BUF, NUL-terminated; returns the
 * length. */
ssize_t sim_read_file(const char *path, char *buf, size_t size);
/* Copies FROM to TO, created or truncated, with MODE; a link at TO is
 * refused. */
int sim_copy_file(const char *from, const char *to, mode_t mode);
/* mkdir -p; an existing directory is success. */
int sim_mkdir_p(const char *path, mode_t mode);
/* rm -rf that never leaves PATH's file system and never follows a link, so
 * a mount under PATH is left alone (and its folder then stays). A missing
 * PATH is success. */
int sim_rm_tree(const char *path);
/* Mount points at or below PATH in this process's mount table, deepest
 * first, at most max of them, each cut to len bytes; returns the count. */
int sim_mounts_under(const char *path, char (*out)[512], int max);

/* Full write and read of a descriptor, retrying short transfers and EINTR.
 * sim_read_full returns the bytes read, less than len only at end of file. */
int sim_write_full(int fd, const void *buf, size_t len);
ssize_t sim_read_full(int fd, void *buf, size_t len);

/* NAME (at most maxlen bytes of it) as one flat file name in out: letters,
 * digits, '_', '-' and a '.' not first are kept, every other byte becomes
 * %XX. Cut to outlen - 1 bytes. */
void sim_flat_name(const char *name, size_t maxlen, char *out, size_t outlen);

uint64_t sim_now_ms(void);
/* An integer from the environment, DEF when unset or not a number. */
long sim_env_long(const char *name, long def);
/* True when the process PID exists and one of the first two words of its
 * command line ends in NAME. A name alone does not tell one process from a
 * later one given the same id: pid files use the start time as well. */
int sim_pid_is(pid_t pid, const char *name);

/* Pid files. A file holds "PID START\n", START being field 22 of
 * /proc/PID/stat (the start time in clock ticks since boot), so that a
 * reader tells the process recorded from a stranger the kernel has given its
 * id to since. Whoever writes one removes it once the process has ended; a
 * file left behind by a crash is harmless, as no reader trusts it. */

/* PID's start time into *start; -1 (ESRCH) when there is no such process. */
int sim_proc_start(pid_t pid, unsigned long long *start);
/* Records PID in PATH (a new file renamed over whatever PATH held, so a
 * link planted there is replaced, not followed). */
int sim_pidfile_write(const char *path, pid_t pid);
/* The process PATH records when it still runs, started when PATH says and
 * named NAME (sim_pid_is); 0 otherwise, and for a file without a start. */
pid_t sim_pidfile_read(const char *path, const char *name);
/* A pidfd (close-on-exec) for that process, -1 when there is none. Signals
 * sent through it (sim_pidfd_signal) reach that process or nobody, however
 * soon its id is given to another. */
int sim_pidfile_pidfd(const char *path, const char *name);
int sim_pidfd_signal(int pidfd, int sig);
/* Waits at most ms for the process of PIDFD to end (zombies count as
 * ended); 1 once it has, 0 if it still runs. */
int sim_pidfd_wait(int pidfd, int ms);

#endif
