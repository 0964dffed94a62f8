#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "krn_util.h"
#include "test_cluster.h"
#include "osk_devframe.h"
#include "osk_banned.h"

static std::string simd_bin()
{
    return std::string(OSK_BUILD_DIR) + "/bin/osk-simd";
}

/* Folders made by this process; removed at its exit, which for a death
 * test's child is the only cleanup there is. */
static std::vector<std::string> tmpdirs;

static void remove_tmpdirs(void)
{
    for (const std::string &d : tmpdirs)
        (void)!system(("rm -rf '" + d + "'").c_str());
}

static std::string make_tmpdir()
{
    char tmpl[] = "/tmp/krn-test-XXXXXX";
    char *d = mkdtemp(tmpl);
    if (!d)
        return "";
    if (tmpdirs.empty())
        atexit(remove_tmpdirs);
    tmpdirs.push_back(d);
    return d;
}

bool simd_start(simd *s, int nnodes)
{
    s->dir = make_tmpdir();
    if (s->dir.empty())
        return false;
    pid_t pid = fork();
    if (pid == 0) {
        int null = open("/dev/null", O_WRONLY);
        if (getenv("KRN_TEST_DAEMON_LOG") == nullptr)
            dup2(null, 2);
        std::string n = std::to_string(nnodes);
        execl(simd_bin().c_str(), "osk-simd", s->dir.c_str(), n.c_str(), (char *)nullptr);
        _exit(127);
    }
    s->pid = pid;
    std::string pidfile = s->dir + "/osk-simd.pid";
    return wait_for_condition(250, 20, [&] { return access(pidfile.c_str(), F_OK) == 0; });
}

void simd_stop(simd *s)
{
    if (s->pid > 0) {
        kill(s->pid, SIGTERM);
        int st;
        waitpid(s->pid, &st, 0);
        s->pid = -1;
    }
    if (!s->dir.empty())
        (void)rmdir(s->dir.c_str());
}

std::string simd_ctl(simd *s, const std::string &req, int *rc)
{
    std::string cmd = shell_quote(simd_bin()) + " ctl " + s->dir + " " + req;
    FILE *p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p != nullptr && fgets(buf, sizeof(buf), p) != nullptr)
        out += buf;
    int st = p ? pclose(p) : -1;
    if (rc != nullptr)
        *rc = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return out;
}

std::string simd_sock(const simd *s, int node)
{
    return s->dir + "/osk" + std::to_string(node) + ".sock";
}

std::string run_as(const std::string &dev, const std::function<std::string()> &fn)
{
    int pfd[2];
    if (pipe(pfd) < 0)
        return "pipe failed";
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(pfd[0]);
        setenv("OSK_DEVICE_PATH", dev.c_str(), 1);
        std::string r = fn();
        (void)!write(pfd[1], r.data(), r.size());
        _exit(0);
    }
    close(pfd[1]);
    std::string out;
    char buf[512];
    ssize_t n;
    while ((n = read(pfd[0], buf, sizeof(buf))) > 0)
        out.append(buf, (size_t)n);
    close(pfd[0]);
    int st;
    waitpid(pid, &st, 0);
    if (WIFSIGNALED(st))
        return "signal " + std::to_string(WTERMSIG(st));
    if (WEXITSTATUS(st) != 0)
        return "exit " + std::to_string(WEXITSTATUS(st));
    return out;
}

/* Fake device */

struct fakedev {
    std::string dir;
    std::string path;
    int lfd = -1;
    fakedev_fn fn;
    std::thread th;
    volatile bool stop = false;
    pthread_t victim{};
    volatile bool interrupt = false;
    int conns = 0;
    std::vector<std::thread> workers;
};

/* Reads len bytes, giving up when the fake device stops. */
static bool read_full(fakedev *f, int fd, void *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) == 0) {
            if (f->stop)
                return false;
            continue;
        }
        ssize_t n = read(fd, (char *)buf + got, len - got);
        if (n <= 0)
            return false;
        got += (size_t)n;
    }
    return true;
}

/* Serves one connection; an unanswered request is followed by signals to
 * the victim (when asked) until the client hangs up. */
static void fakedev_conn(fakedev *f, int fd, int conn)
{
    for (;;) {
        oskdev_frame_t fr;
        if (!read_full(f, fd, &fr, sizeof(fr)))
            break;
        std::vector<uint8_t> rec(fr.fr_len);
        if (!read_full(f, fd, rec.data(), rec.size()))
            break;
        int result = 0, err = 0;
        if (!f->fn(conn, fr.fr_request, rec, &result, &err)) {
            for (;;) {
                if (f->interrupt)
                    pthread_kill(f->victim, SIGUSR1);
                struct pollfd p = {fd, POLLIN | POLLRDHUP, 0};
                if (poll(&p, 1, 50) > 0 || f->stop)
                    break;
            }
            break;
        }
        fr.fr_magic = OSKDEV_MAGIC_REP;
        fr.fr_result = result;
        fr.fr_errno = err;
        if (write(fd, &fr, sizeof(fr)) != sizeof(fr) ||
            write(fd, rec.data(), rec.size()) != (ssize_t)rec.size())
            break;
    }
    close(fd);
}

fakedev *fakedev_start(const fakedev_fn &fn)
{
    fakedev *f = new fakedev;
    f->fn = fn;
    f->dir = make_tmpdir();
    f->path = f->dir + "/osk.sock";
    struct sockaddr_un sa;
    memset(&sa, 0, sizeof(sa));
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof(sa.sun_path), "%s", f->path.c_str());
    f->lfd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (bind(f->lfd, (struct sockaddr *)&sa, sizeof(sa)) < 0 || listen(f->lfd, 8) < 0)
        abort();
    f->th = std::thread([f] {
        sigset_t set;
        sigemptyset(&set);
        sigaddset(&set, SIGUSR1);
        pthread_sigmask(SIG_BLOCK, &set, nullptr);
        while (!f->stop) {
            struct pollfd p = {f->lfd, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept(f->lfd, nullptr, nullptr);
            if (fd >= 0) {
                int conn = f->conns++;
                f->workers.emplace_back([f, fd, conn] { fakedev_conn(f, fd, conn); });
            }
        }
    });
    return f;
}

std::string fakedev_path(const fakedev *f)
{
    return f->path;
}

void fakedev_interrupt(fakedev *f, pthread_t victim)
{
    f->victim = victim;
    f->interrupt = true;
}

void fakedev_stop(fakedev *f)
{
    f->stop = true;
    f->th.join();
    for (auto &w : f->workers)
        w.join();
    close(f->lfd);
    unlink(f->path.c_str());
    rmdir(f->dir.c_str());
    delete f;
}
