/*
 * Helpers of the kernel-interface tests: a private osk-simd cluster, a
 * scripted fake "/dev/osk", and running code as a process of one node.
 */
#ifndef KRN_UTIL_H
#define KRN_UTIL_H

#include <stdint.h>
#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

struct simd {
    std::string dir;
    pid_t pid = -1;
};

/* Starts osk-simd with nnodes in a fresh directory; waits for its pid file. */
bool simd_start(simd *s, int nnodes);
void simd_stop(simd *s);
/* One control request; returns the reply text, status in *rc when given. */
std::string simd_ctl(simd *s, const std::string &req, int *rc = nullptr);
std::string simd_sock(const simd *s, int node);

/* Runs fn in a child whose "/dev/osk" is dev; returns what fn returned, or
 * "exit <status>" / "signal <n>" when it did not return normally. */
std::string run_as(const std::string &dev, const std::function<std::string()> &fn);

/* A fake "/dev/osk": a socket whose frames are answered by a callback.
 * The callback gets the request code and the record and returns false to
 * leave the request unanswered (the connection then stays silent). */
typedef std::function<bool(int conn, uint32_t req, std::vector<uint8_t> &rec, int *result,
                           int *err)>
    fakedev_fn;

struct fakedev;
fakedev *fakedev_start(const fakedev_fn &fn);
std::string fakedev_path(const fakedev *f);
/* Thread that fakedev signals with SIGUSR1 while a request is unanswered. */
void fakedev_interrupt(fakedev *f, pthread_t victim);
void fakedev_stop(fakedev *f);

#endif
