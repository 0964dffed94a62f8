/*
 * One remote shell call against a bare TCP connection on the same link,
 * run inside a node of a simulated cluster:
 *
 *   rsh_bench HOST N [PORT]  prints "rsh_us=R connect_us=C": the medians
 *                            of N runs of `rsh HOST true` and of 10*N
 *                            connects to HOST's remote shell port (PORT,
 *                            default 514; 22 where rsh is ssh), each
 *                            closed at once
 */
#include <netdb.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

static double median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

static int rsh_once(const char *host)
{
    pid_t pid = fork();
    if (pid == 0) {
        execl("/usr/bin/rsh", "rsh", host, "true", (char *)nullptr);
        _exit(127);
    }
    int st;
    return pid > 0 && waitpid(pid, &st, 0) == pid && WIFEXITED(st) && WEXITSTATUS(st) == 0 ? 0 : -1;
}

int main(int argc, char **argv)
{
    int n = argc == 3 || argc == 4 ? atoi(argv[2]) : 0;
    const char *port = argc == 4 ? argv[3] : "514";
    if (n < 1 || atoi(port) < 1) {
        fprintf(stderr, "usage: rsh_bench HOST N [PORT]\n");
        return 2;
    }
    struct addrinfo hints = {}, *ai;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo(argv[1], port, &hints, &ai) != 0) {
        fprintf(stderr, "rsh_bench: unknown host %s\n", argv[1]);
        return 1;
    }
    std::vector<double> rsh, tcp;
    for (int i = 0; i < n; i++) {
        double t = now_us();
        if (rsh_once(argv[1]) < 0) {
            fprintf(stderr, "rsh_bench: rsh %s true failed\n", argv[1]);
            return 1;
        }
        rsh.push_back(now_us() - t);
    }
    for (int i = 0; i < 10 * n; i++) {
        double t = now_us();
        int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (s < 0 || connect(s, ai->ai_addr, ai->ai_addrlen) < 0) {
            perror("rsh_bench: connect");
            return 1;
        }
        close(s);
        tcp.push_back(now_us() - t);
    }
    freeaddrinfo(ai);
    printf("rsh_us=%.0f connect_us=%.1f\n", median(rsh), median(tcp));
    return 0;
}
