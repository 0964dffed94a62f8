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

/* Writes TEXT to PATH (created or truncated) with MODE. */
int sim_write_file(const char *path, const char *text, mode_t mode);
/* Reads at most size-1 bytes of PATH into BUF, NUL-terminated; returns the
 * length. */
ssize_t sim_read_file(const char *path, char *buf, size_t size);
/* Copies FROM to TO, created or truncated, with MODE. */
int sim_copy_file(const char *from, const char *to, mode_t mode);
/* mkdir -p; an existing directory is success. */
int sim_mkdir_p(const char *path, mode_t mode);
/* An overlay layer's folder PATH (made as mkdir -p would, then given MODE)
 * that hides what the layers below hold at the same place. */
int sim_mkdir_opaque(const char *path, mode_t mode);
/* cp -a of FROM's content into TO (made when missing): modes, owners, links
 * and extended attributes (an overlay's opaque marks) come along. */
int sim_copy_tree(const char *from, const char *to);
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
 * command line ends in NAME (guards against a recycled process id). */
int sim_pid_is(pid_t pid, const char *name);

#endif
