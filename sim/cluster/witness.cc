#include "witness.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>

#include "sim_util.h"
#include "osk_banned.h"

namespace
{

/* How far a run log has been copied. */
struct follow_t {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t off = 0;
    std::string partial; /* a line not ended yet */
    long long partial_ms = 0;
};

struct dir_t {
    int node;
    char root;
    int wd = -1;
};

const char *g_dir;
std::map<std::string, follow_t> g_files;

long long wall_ms(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

std::string log_dir(int n, char root)
{
    return std::string(g_dir) + "/node" + std::to_string(n) + "/" + root + "/upper/var/log/osk";
}

/* A generation the log manager rolled over ("update.1") holds lines
 * witnessed already under the log's own name. */
bool witnessed_name(const char *name)
{
    return name[0] != '\0' && name[0] != '.' && strchr(name, '.') == nullptr;
}

void append_times(int n, char root, const char *name, const std::string &text)
{
    std::string path = witness_times_path(g_dir, n, root, name);
    std::string folder = path.substr(0, path.rfind('/'));
    if (sim_mkdir_p(folder.c_str(), 0755) < 0)
        return;
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && st.st_size > WITNESS_TIMES_MAX)
        (void)rename(path.c_str(), (path + ".old").c_str());
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return;
    (void)sim_write_full(fd, text.data(), text.size());
    close(fd);
}

/* Copies what run log NAME of node n's root gained since last time. */
void catch_up(int n, char root, const char *name)
{
    std::string path = log_dir(n, root) + "/" + name;
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) < 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return;
    }
    follow_t &f = g_files[path];
    /* Another file under the name, or the same one cut short: a new log. */
    if (f.dev != st.st_dev || f.ino != st.st_ino || st.st_size < f.off) {
        f = follow_t{};
        f.dev = st.st_dev;
        f.ino = st.st_ino;
    }
    long long now = wall_ms();
    std::string out;
    char buf[65536];
    ssize_t got;
    while ((got = pread(fd, buf, sizeof buf, f.off)) > 0) {
        f.off += got;
        for (ssize_t i = 0; i < got; i++) {
            if (f.partial.empty())
                f.partial_ms = now;
            if (buf[i] != '\n') {
                f.partial += buf[i];
                /* A line that never ends is taken in pieces. */
                if (f.partial.size() < 65536)
                    continue;
            }
            out += std::to_string(f.partial_ms) + '\t' + f.partial + '\n';
            f.partial.clear();
        }
    }
    close(fd);
    if (!out.empty())
        append_times(n, root, name, out);
}

/* Every run log in d's folder. */
void catch_up_all(const dir_t &d)
{
    DIR *dh = opendir(log_dir(d.node, d.root).c_str());
    while (struct dirent *e = dh ? readdir(dh) : nullptr)
        if (witnessed_name(e->d_name))
            catch_up(d.node, d.root, e->d_name);
    if (dh)
        closedir(dh);
}

/* Watches the run-log folder of d once it exists; what it holds already
 * is caught up with. */
void watch(int ifd, dir_t *d)
{
    std::string path = log_dir(d->node, d->root);
    d->wd = inotify_add_watch(ifd, path.c_str(),
                              IN_MODIFY | IN_CREATE | IN_MOVED_TO | IN_ONLYDIR | IN_DONT_FOLLOW);
    if (d->wd < 0)
        return;
    catch_up_all(*d);
}

} // namespace

std::string witness_times_path(const std::string &dir, int n, char root, const char *name)
{
    return dir + "/node" + std::to_string(n) + "/" + root + "/log-times/" + name;
}

int witness_run(const char *dir, int nnodes)
{
    g_dir = dir;
    int ifd = inotify_init1(IN_CLOEXEC);
    if (ifd < 0) {
        fprintf(stderr, "run-log witness: inotify: %s\n", strerror(errno));
        return 1;
    }
    dir_t dirs[16];
    int nd = 0;
    for (int n = 0; n < nnodes && n < 8; n++)
        for (char r : {'A', 'B'})
            dirs[nd++] = dir_t{n, r, -1};
    alignas(struct inotify_event) char buf[16384];
    for (;;) {
        /* A root's folders appear at the node's first boot, and a node may
         * remove and make its log folder again: look for them again soon. */
        bool missing = false;
        for (int i = 0; i < nd; i++) {
            if (dirs[i].wd < 0)
                watch(ifd, &dirs[i]);
            missing |= dirs[i].wd < 0;
        }
        struct pollfd p = {ifd, POLLIN, 0};
        if (poll(&p, 1, missing ? 200 : -1) <= 0)
            continue;
        ssize_t len = read(ifd, buf, sizeof buf);
        bool overflow = false;
        for (ssize_t at = 0; at < len;) {
            const struct inotify_event *e = (const struct inotify_event *)(buf + at);
            at += sizeof *e + e->len;
            overflow |= (e->mask & IN_Q_OVERFLOW) != 0;
            for (int i = 0; i < nd; i++) {
                if (dirs[i].wd != e->wd)
                    continue;
                if (e->mask & IN_IGNORED)
                    dirs[i].wd = -1;
                else if (e->len > 0 && witnessed_name(e->name))
                    catch_up(dirs[i].node, dirs[i].root, e->name);
            }
        }
        /* Events were lost: look at every log. */
        for (int i = 0; overflow && i < nd; i++)
            if (dirs[i].wd >= 0)
                catch_up_all(dirs[i]);
    }
}
