/*
 * The one way to "/dev/osk".
 *
 * On a node with the cluster kernel module "/dev/osk" is a character device
 * and requests are plain ioctl() calls. Where it is a Unix stream socket
 * (the simulated cluster) the same request travels as a frame: a header
 * (osk_devframe.h) and the bytes of the record; the answer comes back as a
 * frame carrying the ioctl result, the error number and the updated record,
 * which is copied back over the caller's record. Records that hold pointers
 * (the kernel hook) carry them unchanged: the other end reads and writes the
 * caller's memory as a kernel would. Nothing outside this file knows which
 * kind of device it is talking to.
 *
 * Usage: fd = osk_dev_open() once per purpose, then osk_dev_ioctl(fd, ...)
 * wherever ioctl(fd, ...) would be written. The descriptor is close-on-exec
 * and lives until the process ends.
 *
 * Threads: on a socket each calling thread gets its own connection (kept
 * under a thread-specific key and closed when the thread ends), so a thread
 * blocked in a long request never holds up another thread's request. A
 * forked child that has not exec'd gets fresh connections of its own.
 *
 * Interrupts: when a signal interrupts the wait for an answer on a socket,
 * the call fails with EINTR as an interrupted ioctl does; the thread's
 * connection is dropped (the other end sees the close and abandons the
 * request) and the next call opens a new one.
 */
#ifndef OSK_DEV_H
#define OSK_DEV_H

/* OSK_DEVICE_PATH, when set, names the device instead of "/dev/osk". It is
 * a hook for tests that talk to a simulated node from outside it. */
#define OSK_DEVICE_DEFAULT "/dev/osk"
#define OSK_DEVICE_ENV "OSK_DEVICE_PATH"

const char *osk_dev_path(void);

/* Opens the device read-write with close-on-exec. Returns the descriptor,
 * or -1 with errno set. */
int osk_dev_open(void);

/* ioctl(fd, request, arg) on the device opened by osk_dev_open(). Returns the
 * ioctl result; -1 with errno set on failure. Only the system-control
 * commands and the kernel hook are known on a socket (else ENOTTY). */
int osk_dev_ioctl(int fd, unsigned long request, void *arg);

#endif
