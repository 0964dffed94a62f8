/*
 * How the programs of the simulated cluster talk to each other over Unix
 * stream sockets.
 *
 * Node agents speak frames: one type byte, a 4-byte big-endian length,
 * then that many bytes (at most SIM_FRAME_MAX). A session:
 *   agent  -> client  HELLO                (sent as soon as a handler runs)
 *   client -> agent   EXEC <shell text>    or EXEC_TTY <shell text>
 *   client -> agent   STDIN <bytes> ...    STDIN with no bytes is end of input
 *   agent  -> client  STDOUT / STDERR <bytes> ...
 *   agent  -> client  EXIT <4-byte status> (last frame)
 * A session that ends without EXIT lost its node.
 *
 * The supervisor and the module daemon take one text line per request and
 * answer with lines ending in "ok", "end" or "error <text>".
 */
#ifndef SIM_WIRE_H
#define SIM_WIRE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

enum {
    SIM_FR_HELLO = 'H',
    SIM_FR_EXEC = 'E',
    SIM_FR_EXEC_TTY = 'T', /* EXEC with standard input on a terminal */
    SIM_FR_STDIN = 'I',
    SIM_FR_STDOUT = 'O',
    SIM_FR_STDERR = 'R',
    SIM_FR_EXIT = 'X',
};
#define SIM_FRAME_MAX 65536

/* Path of the agents' and supervisor's sockets as seen inside a node. */
#define SIM_NODE_RUN_DIR "/run/osk-sim"

int sim_frame_send(int fd, int type, const void *data, size_t len);
/* Reads one whole frame into buf (size at least SIM_FRAME_MAX). Returns 1
 * with *type and *len set, 0 at a clean end of stream, -1 on an error or a
 * malformed frame. */
int sim_frame_recv(int fd, int *type, char *buf, size_t size, size_t *len);

/* Connects to the Unix socket PATH; -1 with errno on failure. */
int sim_unix_connect(const char *path);
/* Binds and listens on PATH, replacing a stale socket file. */
int sim_unix_listen(const char *path);

/* Socket of the agent for HOST ("node0".."node7") under
 * RUNDIR; returns -1 for an unknown host name. */
int sim_agent_path(const char *rundir, const char *host, char *buf, size_t size);

/*
 * Runs CMD with /bin/sh -c on HOST's agent, copying in_fd (-1: none) to its
 * standard input and its two output streams to out_fd and err_fd. Returns
 * the command's status (128+signal when killed). When HOST can't be
 * reached, does not answer within OSK_SIM_CONNECT_TIMEOUT_MS (default 5000)
 * or is lost mid-command, writes "<host>: <reason>" to err_fd and returns 1.
 */
int sim_agent_exec(const char *rundir, const char *host, const char *cmd, int in_fd, int out_fd,
                   int err_fd);
/* The same with the command's standard input on a terminal of its own
 * (output stays on the two streams), as an operator's login has it; in_fd
 * is not read. */
int sim_agent_exec_tty(const char *rundir, const char *host, const char *cmd, int out_fd,
                       int err_fd);

/*
 * Sends LINE (no newline) to the line service at SOCK and collects the
 * reply, up to and including its "ok", "end" or "error ..." line, into
 * reply (cut to size). Returns 0 for ok/end, 1 for an error reply, -1 when
 * the service can't be reached or does not answer within timeout_ms.
 */
int sim_line_request(const char *sock, const char *line, char *reply, size_t size, int timeout_ms);

/* A TCP listener on this machine's 127.0.0.1, on a port the kernel picks;
 * -1 with errno on failure. */
int sim_loopback_listen(int backlog);

/* A descriptor handed over a line service: sim_send_fd answers on SOCK
 * with TEXT and a copy of FD; sim_fd_request sends LINE to the service at
 * path SOCK and returns the descriptor it answers with, or -1. */
int sim_send_fd(int sock, const char *text, int fd);
int sim_fd_request(const char *sock, const char *line, int timeout_ms);

#endif
