/*
 * The system manager stand-in's socket listener: management calls over a
 * loopback TCP port, plain or TLS, answered by sysmgr_handle exactly as
 * over the kernel IPC.
 *
 *   sysmgr_make_cert(dir);                   at cluster creation: DIR/sysmgr.crt
 *                                            and DIR/sysmgr.key (self-signed,
 *                                            for 127.0.0.1 and localhost)
 *   sysmgr_listen_start(&ctx, dir, &rb);     in the daemon, once: a thread
 *                                            accepts on 127.0.0.1, port chosen
 *                                            by the kernel, written to
 *                                            DIR/sysmgr.port when listening
 *
 * One port serves both forms: a connection whose first byte opens a TLS
 * record is a TLS connection (the certificate and key of DIR), any other
 * starts the plain version handshake. Each connection has its own thread;
 * a client that breaks the protocol loses its connection, nobody else
 * notices. A reply that asks for a node's reboot is framed by rb: before
 * runs first, then after with whether the reply went out.
 * Both return 0, or -1 with a message on standard error.
 */
#ifndef SYSMGR_LISTEN_H
#define SYSMGR_LISTEN_H

#include "sysmgr.h"

int sysmgr_make_cert(const char *dir);
typedef struct sysmgr_reboot {
    void (*before)(int node);
    void (*after)(int node, bool replied);
} sysmgr_reboot_t;

int sysmgr_listen_start(const sysmgr_ctx_t *ctx, const char *dir, const sysmgr_reboot_t *rb);

#endif
