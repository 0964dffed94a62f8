/*
 * Times the release checksum step against plain md5sum over the same
 * package files. Run it inside a node, where /altroot/tmp/oskpackage holds
 * an unpacked release: checksum_driver [REPETITIONS]. Prints one line per
 * repetition and the medians with their ratio; asserts nothing.
 */
#include <dirent.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "node_paths.h"
#include "package.h"
#include "ulog.h"

#include "osk_banned.h"

static double now(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

/* md5sum over FILES in one process, output discarded; seconds taken. */
static double time_md5sum(const std::vector<std::string> &files)
{
    std::vector<char *> argv;
    argv.push_back((char *)"/usr/bin/md5sum");
    for (auto &d : files)
        argv.push_back((char *)d.c_str());
    argv.push_back(nullptr);

    fflush(stdout);
    double t0 = now();
    pid_t pid = fork();
    if (pid == 0) {
        if (!freopen("/dev/null", "w", stdout))
            _exit(127);
        execv(argv[0], argv.data());
        _exit(127);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double t = now() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "md5sum failed\n");
        exit(1);
    }
    return t;
}

/* One md5sum process per file, as the checksum step starts them, without
 * its shell and logging engine: tells start-up cost from engine cost. */
static double time_md5sum_each(const std::vector<std::string> &debs)
{
    double t = 0;
    for (auto &d : debs)
        t += time_md5sum({d});
    return t;
}

/* The product's step in a child: it ends the process on a mismatch. */
static double time_checksum(void)
{
    fflush(stdout);
    double t0 = now();
    pid_t pid = fork();
    if (pid == 0) {
        tarball_package_checksum();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    double t = now() - t0;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "checksum step failed with %d\n", WEXITSTATUS(status));
        exit(1);
    }
    return t;
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

int main(int argc, char **argv)
{
    int reps = argc > 1 ? atoi(argv[1]) : 7;
    ulog_settings.use_log = 0; /* the operator's log is no part of what is measured */
    ulog_settings.quiet = 1;

    std::vector<std::string> debs;
    DIR *dir = opendir(SOURCES_LOCAL_DIR_ALTROOT);
    if (!dir) {
        fprintf(stderr, "no release unpacked at %s\n", SOURCES_LOCAL_DIR_ALTROOT);
        return 1;
    }
    for (struct dirent *de; (de = readdir(dir));) {
        size_t len = strlen(de->d_name);
        if (len > 4 && strcmp(de->d_name + len - 4, ".deb") == 0)
            debs.push_back(std::string(SOURCES_LOCAL_DIR_ALTROOT) + "/" + de->d_name);
    }
    closedir(dir);

    /* One untimed pass of each so both read from the page cache. */
    (void)time_md5sum(debs);
    (void)time_checksum();

    std::vector<double> sums, each, checks;
    for (int i = 0; i < reps; i++) {
        /* Alternate the order so drift hurts no side more than another. */
        if (i % 2) {
            checks.push_back(time_checksum());
            each.push_back(time_md5sum_each(debs));
            sums.push_back(time_md5sum(debs));
        } else {
            sums.push_back(time_md5sum(debs));
            each.push_back(time_md5sum_each(debs));
            checks.push_back(time_checksum());
        }
        printf("run %d: md5sum %.3f s, md5sum per file %.3f s, checksum step %.3f s\n", i + 1,
               sums.back(), each.back(), checks.back());
    }
    double m = median(sums), e = median(each), c = median(checks);
    printf("files: %zu\nmedian md5sum: %.3f s\nmedian md5sum per file: %.3f s\n"
           "median checksum step: %.3f s\nratio checksum step / md5sum: %.3f\n"
           "ratio checksum step / md5sum per file: %.3f\n",
           debs.size(), m, e, c, c / m, c / e);
    return 0;
}
