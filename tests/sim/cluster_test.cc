/*
 * The simulated cluster end to end: nodes, rsh and rcp between them, lilo
 * and reboot trading the root partitions, the process manager, and a
 * teardown that leaves this machine as it was.
 */
#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <future>
#include <memory>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "build_release.h"
#include "cluster_fixture.h"

using ::testing::HasSubstr;

using Cluster = ClusterTest;

/* A process of this machine that is not the cluster's, named NAME (as its
 * first word) to pass for one of its programs; killed and reaped with the
 * test. */
struct stranger {
    pid_t pid = -1;
    explicit stranger(const char *name)
    {
        pid = fork();
        if (pid == 0) {
            execl("/bin/sleep", name, "1000", (char *)nullptr);
            _exit(127);
        }
    }
    ~stranger()
    {
        if (pid > 0 && kill(pid, SIGKILL) == 0)
            (void)waitpid(pid, nullptr, 0);
    }
    /* Running, not stopped, not reaped. */
    bool untouched() const
    {
        char p[64], st[512] = "";
        snprintf(p, sizeof p, "/proc/%d/stat", (int)pid);
        FILE *f = fopen(p, "r");
        if (!f)
            return false;
        size_t n = fread(st, 1, sizeof st - 1, f);
        fclose(f);
        const char *s = n ? strrchr(st, ')') : nullptr;
        return waitpid(pid, nullptr, WNOHANG) == 0 && s && s[2] == 'S';
    }
    /* The pid file text for it, its start time put off by DELTA ticks. */
    std::string pidfile(long delta) const
    {
        char p[64], st[512] = "";
        snprintf(p, sizeof p, "/proc/%d/stat", (int)pid);
        FILE *f = fopen(p, "r");
        size_t n = f ? fread(st, 1, sizeof st - 1, f) : 0;
        if (f)
            fclose(f);
        const char *s = n ? strrchr(st, ')') : nullptr;
        for (int field = 2; s && field < 22; field++)
            s = strchr(s + 1, ' ');
        unsigned long long start = s ? strtoull(s, nullptr, 10) : 0;
        return std::to_string(pid) + " " + std::to_string(start + delta) + "\n";
    }
};

static void put(const std::string &path, const std::string &text)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr) << path;
    fputs(text.c_str(), f);
    fclose(f);
}

static std::string contents(const std::string &path)
{
    std::string s;
    if (FILE *f = fopen(path.c_str(), "r")) {
        char buf[256];
        size_t n = fread(buf, 1, sizeof buf, f);
        s.assign(buf, n);
        fclose(f);
    }
    return s;
}

TEST_F(Cluster, EightNodesAreIntegratedAndReachEachOther)
{
    up(8);
    EXPECT_EQ(run(5, "/usr/bin/rsh node2 hostname"), "node2\n");
    EXPECT_EQ(run(0, "for n in 1 3 7; do rsh node$n hostname; done"), "node1\nnode3\nnode7\n");

    std::vector<test_node_status> s;
    ASSERT_TRUE(test_cluster_status(dir, &s));
    ASSERT_EQ(s.size(), 8u);
    for (auto &n : s) {
        EXPECT_EQ(n.state, "up");
        EXPECT_EQ(n.online, 1);
        EXPECT_EQ(n.integrated, 1);
        EXPECT_EQ(n.root, 'A');
        EXPECT_EQ(n.boot, 'A');
        /* Every node starts with the base release, on both of its roots,
         * and the build's own package. */
        EXPECT_EQ(n.packages, "osk_2.2.2.164-1,osk-base_2.2.2.164-1,osk-tools_2.2.2.164-1,"
                              "osk-update_" OSK_RELEASE "-1");
    }
    EXPECT_EQ(run(6, "chroot /altroot dpkg-query -W -f '${Version}' osk"), "2.2.2.164-1");
    for (size_t n = 0; n < s.size(); n++)
        EXPECT_EQ(s[n].addr, "10.77.0." + std::to_string(10 + n));
    EXPECT_THAT(test_cluster_cli(dir, {"status"}).out,
                HasSubstr("\npkghost state=up addr=10.77.0.2\n"));

    /* Debian's remote shell, which the node's package database knows. */
    EXPECT_EQ(run(4, "dpkg -S $(readlink -f /usr/bin/rsh) $(readlink -f /usr/bin/rcp) "
                     "/usr/sbin/in.rshd | cut -d: -f1"),
              "rsh-client\nrsh-client\nrsh-server\n");
    /* Nothing of the cluster's network is this machine's: no remote shell
     * listens here, no address or port of it is here. */
    EXPECT_EQ(system("ss -ltnH 'sport = :514' | grep -q ."), 256);
    EXPECT_EQ(system("ip -o addr | grep -q '10\\.77\\.0\\.'"), 256);
    EXPECT_EQ(system("ip -o link | grep -qE ': (vn[0-7]|vpk|br0|br1)[@:]'"), 256);

    /* What the update tool relies on inside a node. */
    std::string mounts = run(3, "cat /proc/mounts");
    EXPECT_THAT(mounts, HasSubstr("/dev/hda1 / overlay"));
    EXPECT_THAT(mounts, HasSubstr("/dev/hda2 /altroot overlay"));
    EXPECT_EQ(run(3, "test -S /dev/osk && test -d /altroot/proc/self && cat /.osk-root "
                     "/altroot/.osk-root && dpkg -S /usr/sbin/update && dpkg --audit"),
              "A\nB\nosk-update: /usr/sbin/update\n");
}

/* A node is a whole Debian system of its own: consistent as a fresh
 * install is, every program it runs owned by a package it knows, nothing
 * of this machine's programs, packages or apt set-up in sight, and the
 * policy that keeps an install into the other root from starting daemons. */
TEST_F(Cluster, ANodeIsAWholeDebianSystem)
{
    up(2);
    EXPECT_EQ(run(1, "dpkg --audit; apt-get check -qq"), "");
    EXPECT_EQ(run(1, "dpkg -S /bin/bash /usr/bin/apt-get /sbin/lilo /opt/osk/bin/pm"),
              "bash: /bin/bash\napt: /usr/bin/apt-get\nsim-node-platform: /sbin/lilo\n"
              "sim-node-platform: /opt/osk/bin/pm\n");
    int packages = std::stoi(run(1, "dpkg -l | grep -c '^ii'"));
    EXPECT_GT(packages, 100);
    EXPECT_LT(packages, 250);
    /* Every running program but the node's init (the platform itself, as
     * the kernel would be): dpkg names its package, under the name it has
     * or the one without the /usr it merged into. */
    EXPECT_EQ(run(1, "init=$(readlink /proc/1/exe); for p in /proc/[0-9]*; do "
                     "e=$(readlink $p/exe) || continue; [ \"$e\" = \"$init\" ] && continue; "
                     "dpkg -S \"$e\" >/dev/null 2>&1 || dpkg -S \"${e#/usr}\" >/dev/null 2>&1 || "
                     "echo \"$e\"; done | sort -u"),
              "");
    EXPECT_THAT(run(1, "ps -e -o comm="), HasSubstr("osk-sysmgr"));
    /* This machine's programs, packages and apt set-up stay out. */
    EXPECT_EQ(run(1, "test -e /usr/bin/cmake || test -e /usr/bin/ninja || echo none"), "none\n");
    EXPECT_EQ(run(1, "dpkg-query -W cmake 2>&1 | grep -c 'no packages'"), "1\n");
    EXPECT_EQ(run(1, "ls /etc/apt/apt.conf.d /etc/apt/sources.list.d | tr '\\n' ' '"),
              "/etc/apt/apt.conf.d: 01autoremove 70debconf 99osk-node  "
              "/etc/apt/sources.list.d: ");
    /* Services: refused in the root being installed into, allowed in the
     * running one. */
    EXPECT_EQ(run(1, "chroot /altroot /usr/sbin/policy-rc.d atd start; echo $?"), "101\n");
    EXPECT_EQ(run(1, "/usr/sbin/policy-rc.d atd start; echo $?"), "0\n");
}

/* Where the nodes' system cannot be made (the archive out of reach) and
 * none is kept, `up` says so in a line and keeps nothing half-made. */
TEST_F(Cluster, UnreachableArchiveStopsUpAndKeepsNothing)
{
    std::string sources = dir + ".list", store = OSK_BUILD_DIR "/sim-base";
    FILE *f = fopen(sources.c_str(), "w");
    ASSERT_NE(f, nullptr);
    /* Nothing listens on the discard port of this machine's loopback. */
    fputs("deb http://127.0.0.1:9/debian bookworm main\n", f);
    fclose(f);
    auto kept = [&] { return child_run({"/bin/sh", "-c", "ls -a \"$1\"", "sh", store}).out; };
    std::string before = kept();

    child_opts o;
    o.env = {"OSK_CLUSTER_DIR=" + dir, "OSK_SIM_ARCHIVE_SOURCES=" + sources};
    run_result r = child_run({OSK_BUILD_DIR "/bin/osk-cluster", "up", "--nodes", "1"}, o);
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_THAT(r.err, HasSubstr("osk-cluster: cannot make the nodes' Debian system from the "
                                 "package archive (mmdebstrap failed): E: Failed to fetch "
                                 "http://127.0.0.1:9/debian/"));
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 2) << r.err;
    EXPECT_EQ(kept(), before);
    EXPECT_NE(access(dir.c_str(), F_OK), 0) << "the half-made cluster folder stayed";
    unlink(sources.c_str());
}

/* Debian's rsh and rcp, as the update relies on them: the remote shell
 * carries the command's output but not its exit status. */
TEST_F(Cluster, RshAndRcpBehaveLikeTheirNamesakes)
{
    up(2);
    std::string out, err;
    /* Arguments are joined with blanks and run by the remote shell. */
    EXPECT_EQ(run(0, "rsh node1 echo a '  ' b"), "a b\n");
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node1 'echo out; echo err >&2; exit 7'", &out, &err),
              0);
    EXPECT_EQ(out, "out\n");
    EXPECT_EQ(err, "err\n");
    /* A fresh root login: nothing of the caller's environment, the node's
     * own PATH, in root's home. */
    EXPECT_EQ(run(0, "cd /tmp; FOO=1 rsh node1 'echo ${FOO:-unset} $HOME; pwd; id -u; "
                     "command -v chroot'"),
              "unset /root\n/root\n0\n/usr/sbin/chroot\n");
    EXPECT_EQ(run(0, "echo piped | rsh node1 cat"), "piped\n");

    /* A host that is not there, and a name that is no host's. */
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node5 true", &out, &err), 1);
    EXPECT_THAT(err, HasSubstr("node5: No route to host"));
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh fileserver true", &out, &err), 1);

    ASSERT_EQ(mkdir((dir + "/pkghost/rel").c_str(), 0755), 0);
    FILE *f = fopen((dir + "/pkghost/rel/pkg.tgz").c_str(), "w");
    ASSERT_TRUE(f);
    fputs("release\n", f);
    fclose(f);
    EXPECT_EQ(run(1, "rcp pkghost:/rel/pkg.tgz /tmp && cat /tmp/pkg.tgz"), "release\n");
    run(1, "printf 'x\\0y' > /tmp/bin; chmod 750 /tmp/bin");
    EXPECT_EQ(run(0, "rcp node1:/tmp/bin /tmp/copy && od -c /tmp/copy | head -1; stat -c %a "
                     "/tmp/copy"),
              "0000000   x  \\0   y\n750\n");
    /* A failed copy says why and leaves the target alone. */
    run(0, "echo old > /tmp/keep");
    EXPECT_EQ(test_cluster_exec(dir, 0, "rcp node1:/no/such /tmp/keep", &out, &err), 1);
    EXPECT_THAT(err, HasSubstr("/no/such: No such file or directory"));
    EXPECT_EQ(run(0, "cat /tmp/keep"), "old\n");

    /* To another node: from a local file or from a host:path (even this
     * node's own), into a file or a folder, keeping the mode. */
    EXPECT_EQ(run(0, "rcp /tmp/copy node1:/tmp/pushed && rcp node0:/tmp//copy node1:/var/tmp"), "");
    EXPECT_EQ(run(1, "od -c /tmp/pushed | head -1; stat -c %a /tmp/pushed /var/tmp/copy"),
              "0000000   x  \\0   y\n750\n750\n");
    EXPECT_EQ(test_cluster_exec(dir, 0, "rcp /tmp/keep node1:/no/such/dir/f", &out, &err), 1);
    EXPECT_EQ(test_cluster_exec(dir, 0, "rcp /tmp/keep node5:/tmp/f", &out, &err), 1);
    EXPECT_THAT(err, HasSubstr("node5: No route to host"));
}

/* The network faults act on the wire itself, and `clear` undoes them. */
TEST_F(Cluster, NetworkFaultsActOnTheWire)
{
    up(3);
    auto fault = [&](std::vector<std::string> words) {
        words.insert(words.begin(), "fault");
        run_result r = test_cluster_cli(dir, words);
        EXPECT_EQ(r.status, 0) << r.out << r.err;
    };
    std::string out, err;

    /* Nodes 1 and 2 on one side, node 0 and the package host on the other. */
    fault({"partition", "1,2"});
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node1 true", &out, &err), 1);
    EXPECT_THAT(err, HasSubstr("node1: No route to host"));
    EXPECT_EQ(run(1, "rsh node2 hostname"), "node2\n");
    EXPECT_EQ(test_cluster_exec(dir, 2, "rcp pkghost:/nothing /tmp/x", &out, &err), 1);
    EXPECT_EQ(run(0, "rsh pkghost hostname"), "pkghost\n");
    fault({"clear"});
    EXPECT_EQ(run(0, "rsh node1 hostname"), "node1\n");

    /* A stalled node: a connection waits, neither refused nor unreachable,
     * and goes through once the fault is cleared. */
    fault({"rsh-stall", "2"});
    EXPECT_EQ(test_cluster_exec(dir, 0, "timeout 4 rsh node2 true", &out, &err), 124) << err;
    auto later = std::async(std::launch::async, [&] { return run(1, "rsh node2 hostname"); });
    fault({"clear"});
    ASSERT_EQ(later.wait_for(std::chrono::seconds(120)), std::future_status::ready);
    EXPECT_EQ(later.get(), "node2\n");

    /* A slow link: rate-limited at both of its ends. */
    fault({"slow", "node1", "--rate", "64000"});
    EXPECT_THAT(run(1, "tc qdisc show dev eth0"), HasSubstr("tbf"));
    EXPECT_EQ(run(0, "head -c 40000 /dev/zero > /tmp/z; rcp /tmp/z node1:/tmp/z && rsh node1 "
                     "'wc -c < /tmp/z'"),
              "40000\n");
    fault({"clear"});
    EXPECT_THAT(run(1, "tc qdisc show dev eth0"), ::testing::Not(HasSubstr("tbf")));

    /* Refused: nothing listens, until clear starts the server again. */
    fault({"rsh-fail", "1"});
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node1 true", &out, &err), 1);
    EXPECT_THAT(err, HasSubstr("node1: Connection refused"));
    fault({"clear"});
    EXPECT_EQ(run(0, "rsh node1 hostname"), "node1\n");
}

TEST_F(Cluster, RebootBootsTheRootLiloChoseInTheAlternateRoot)
{
    up(2);
    run(1, "echo on-a > /root/marker; touch /run/this-boot");
    EXPECT_EQ(run(1, "chroot /altroot /sbin/lilo >/dev/null; echo $?"), "0\n");
    EXPECT_EQ(node_status(1).boot, 'B');
    EXPECT_EQ(node_status(1).root, 'A');

    test_cluster_hold_boot(dir, 1, true);
    EXPECT_EQ(run(0, "rsh node1 /sbin/reboot; echo $?"), "0\n");
    /* From the moment reboot returns the node is out of the cluster: its
     * remote shell refuses, and once it is down nothing answers at all. */
    std::string out, err;
    EXPECT_EQ(test_cluster_exec(dir, 0, "rsh node1 true", &out, &err), 1);
    EXPECT_THAT(err, ::testing::ContainsRegex("node1: (Connection refused|No route to host)"));
    test_node_status gone = node_status(1);
    EXPECT_EQ(gone.online, 0);
    EXPECT_NE(gone.state, "up");

    test_cluster_hold_boot(dir, 1, false);
    ASSERT_TRUE(test_cluster_wait_up(dir, 1));
    test_node_status back = node_status(1);
    EXPECT_EQ(back.root, 'B');
    EXPECT_EQ(back.boot, 'B');
    EXPECT_EQ(node_status(0).root, 'A');
    std::string mounts = run(1, "cat /proc/mounts");
    EXPECT_THAT(mounts, HasSubstr("/dev/hda2 / overlay"));
    EXPECT_THAT(mounts, HasSubstr("/dev/hda1 /altroot overlay"));
    /* The partitions kept their files; /run started empty. */
    EXPECT_EQ(run(1, "cat /altroot/root/marker; ls /root/marker /run/this-boot 2>&1 | wc -l; "
                     "hostname; rsh node0 hostname"),
              "on-a\n2\nnode1\nnode0\n");
}

/* A dpkg fault is undone in the root partition it damaged, also when the
 * node has booted that partition since: the next update that installs
 * into it must find the package's own script. */
TEST_F(Cluster, DpkgFaultIsUndoneInTheRootItDamagedWhereverTheNodeBoots)
{
    up(2);
    const std::string prerm = "/var/lib/dpkg/info/osk.prerm";
    const std::string before = run(1, "cat /altroot" + prerm + " 2>/dev/null; echo .");
    ASSERT_EQ(test_cluster_cli(dir, {"fault", "dpkg-fail", "1", "osk"}).status, 0);
    EXPECT_THAT(run(1, "cat /altroot" + prerm), HasSubstr("may not be touched"));

    EXPECT_EQ(run(1, "chroot /altroot /sbin/lilo >/dev/null; echo $?"), "0\n");
    ASSERT_EQ(test_cluster_reboot(dir, 1), 0);
    ASSERT_TRUE(test_cluster_wait_up(dir, 1));
    ASSERT_EQ(node_status(1).root, 'B');

    run_result r = test_cluster_cli(dir, {"fault", "clear"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(run(1, "cat " + prerm + " 2>/dev/null; echo ."), before);
    EXPECT_EQ(run(1, "dpkg --audit; echo $?"), "0\n");
}

/* A full scratch space belongs to the boot it was armed in: firing it after
 * the node restarted leaves the node's real scratch folder alone. */
TEST_F(Cluster, ScratchFaultFiredAfterARestartFillsNothing)
{
    up(2);
    ASSERT_EQ(
        test_cluster_cli(dir, {"fault", "scratch-full", "1", "--at-log", "1", "fill now"}).status,
        0);
    ASSERT_EQ(test_cluster_reboot(dir, 1), 0);
    ASSERT_TRUE(test_cluster_wait_up(dir, 1));
    run(1, "mkdir -p /var/log/osk && echo 'fill now' >>/var/log/osk/update");
    std::string list;
    ASSERT_TRUE(wait_for_condition(120, 250, [&] {
        list = test_cluster_cli(dir, {"fault", "list"}).out;
        return list.find(": failed") != std::string::npos ||
               list.find(": fired") != std::string::npos;
    })) << list;
    EXPECT_THAT(list, HasSubstr("failed the node restarted since the fault was armed"));
    EXPECT_EQ(run(1, "ls -A /altroot/tmp /tmp | grep -c osk-fault-filler; :"), "0\n");
    EXPECT_EQ(test_cluster_cli(dir, {"fault", "clear"}).status, 0);
}

/* A rebooting node sees its running sessions out, so on a busy machine the
 * reboot request (and whatever its command does after it) still reaches
 * its caller. */
/* Scripts wait for a node's status and then use it: once it says up,
 * exec enters the node and its remote shell answers, every time. */
TEST_F(Cluster, ANodeReportedUpCanBeEnteredAtOnce)
{
    up(2);
    for (int round = 0; round < 8; round++) {
        int n = round % 2, other = 1 - n;
        ASSERT_EQ(test_cluster_reboot(dir, n), 0);
        std::vector<test_node_status> s;
        ASSERT_TRUE(wait_for_condition(
            1200, 50,
            [&] { return test_cluster_status(dir, &s) && s.size() == 2 && s[n].state == "up"; }))
            << "round " << round << ": node" << n << " did not come back";
        std::string out, err;
        EXPECT_EQ(test_cluster_exec(dir, n, "echo in", &out, &err), 0)
            << "round " << round << ": " << err;
        EXPECT_EQ(out, "in\n") << "round " << round;
        out.clear();
        err.clear();
        EXPECT_EQ(
            test_cluster_exec(dir, other, "rsh node" + std::to_string(n) + " echo in", &out, &err),
            0)
            << "round " << round << ": " << err;
        EXPECT_EQ(out, "in\n") << "round " << round << ": " << err;
    }
}

TEST_F(Cluster, RebootUnderLoadStillAnswersItsCaller)
{
    up(1);
    run(0, "touch /run/this-boot");
    std::string out;
    {
        std::vector<std::unique_ptr<background_child>> burners;
        for (long i = 0; i < 2 * sysconf(_SC_NPROCESSORS_ONLN); i++)
            burners.push_back(std::make_unique<background_child>([] {
                for (;;)
                    __asm__ volatile("");
            }));
        out = run(0, "rsh node0 '/sbin/reboot && head -c 200000000 /dev/zero | md5sum "
                     ">/dev/null && echo answered'; echo $?");
    }
    EXPECT_EQ(out, "answered\n0\n");
    ASSERT_TRUE(test_cluster_wait_up(dir, 0));
    EXPECT_EQ(run(0, "ls /run/this-boot 2>/dev/null | wc -l"), "0\n");
}

TEST_F(Cluster, RebootKeepsTheRunningRootWhenLiloRanThere)
{
    up(1);
    /* Without its configuration lilo fails and changes nothing. */
    std::string out, err;
    EXPECT_NE(test_cluster_exec(dir, 0, "rm /altroot/etc/lilo.conf; chroot /altroot /sbin/lilo",
                                &out, &err),
              0);
    EXPECT_THAT(err, HasSubstr("/etc/lilo.conf"));
    EXPECT_EQ(node_status(0).boot, 'A');

    run(0, "chroot /altroot /sbin/lilo 2>/dev/null; /sbin/lilo >/dev/null; touch /run/this-boot "
           "/tmp/this-boot /var/tmp/every-boot /altroot/tmp/other-root");
    EXPECT_EQ(node_status(0).boot, 'A');
    /* The node reboots itself; the supervisor outside completes it. */
    run(0, "/sbin/reboot");
    /* Back up in a new boot: a loaded machine may take a while to begin
     * the reboot, and a poll may miss the moment the node was down. */
    ASSERT_TRUE(wait_for_condition(240, 250, [&] {
        return node_status(0).state == "up" && node_status(0).integrated &&
               test_cluster_exec(dir, 0, "test -e /run/this-boot") != 0;
    }));
    EXPECT_EQ(node_status(0).root, 'A');
    EXPECT_EQ(run(0, "ls /run/this-boot 2>/dev/null | wc -l; grep -c '^/dev/hda1 / ' /proc/mounts"),
              "0\n1\n");
    /* The booted root's /tmp starts empty; /var/tmp and the other root's
     * scratch keep what they hold. */
    EXPECT_EQ(run(0, "ls -A /tmp; ls /var/tmp/every-boot /altroot/tmp/other-root"),
              "/altroot/tmp/other-root\n/var/tmp/every-boot\n");

    /* `osk-cluster reboot` does the same from this machine. */
    ASSERT_EQ(test_cluster_reboot(dir, 0), 0);
    ASSERT_TRUE(test_cluster_wait_up(dir, 0));
    EXPECT_EQ(node_status(0).root, 'A');
}

TEST_F(Cluster, ProcessManagerHonoursStopAndNoStart)
{
    up(1);
    const char *count_pm =
        "for p in /proc/[0-9]*; do readlink $p/exe; done | grep -c '^/opt/osk/bin/pm$'";
    run(0, "echo 'sleeper /bin/sleep 1000' >> /etc/osk/pm.conf");
    ASSERT_TRUE(reboot_and_wait(0));
    ASSERT_TRUE(wait_for_condition(100, 20, [&] { return peek(0, "pgrep -cx sleep") == "1\n"; }));
    EXPECT_THAT(run(0, "/opt/osk/bin/pm --status"), HasSubstr("sleeper running"));
    run(0, "/opt/osk/bin/pm --stop sleeper");
    EXPECT_EQ(run(0, "pgrep -cx sleep", 1), "0\n");
    EXPECT_EQ(run(0, count_pm), "1\n");
    run(0, "/opt/osk/bin/pm --stop");
    EXPECT_EQ(run(0, count_pm, 1), "0\n");

    run(0, "touch /pm_nostart");
    ASSERT_TRUE(reboot_and_wait(0));
    ASSERT_TRUE(wait_for_condition(100, 20, [&] { return peek(0, count_pm) == "1\n"; }));
    EXPECT_EQ(run(0, "pgrep -cx sleep", 1), "0\n");

    EXPECT_EQ(run(0, "/sbin/umount -a -t nfs; echo $?"), "0\n");
    EXPECT_NE(test_cluster_exec(dir, 0, "/sbin/umount /no/such/mount"), 0);
}

TEST_F(Cluster, DownLeavesNothingBehindEvenAfterANodeDied)
{
    up(2);
    /* A node dies in the middle of a command: its caller is told, not hung. */
    auto pending = std::async(std::launch::async, [&] {
        std::string out, err;
        int st = test_cluster_exec(dir, 1, "echo started; sleep 1000", &out, &err);
        return std::make_pair(st, err);
    });
    ASSERT_TRUE(wait_for_condition(200, 20, [&] { return peek(1, "pgrep -cx sleep") == "1\n"; }));
    std::vector<int> pids = test_cluster_pids(dir);
    ASSERT_EQ(pids.size(), 6u);
    ASSERT_EQ(kill(pids.back(), SIGKILL), 0);
    ASSERT_EQ(pending.wait_for(std::chrono::seconds(20)), std::future_status::ready);
    auto [st, err] = pending.get();
    EXPECT_EQ(st, 1);
    EXPECT_THAT(err, HasSubstr("node1"));
    ASSERT_TRUE(wait_for_condition(200, 20, [&] { return node_status(1).state == "down"; }));
    EXPECT_EQ(node_status(1).online, 0);
    EXPECT_EQ(run(0, "hostname"), "node0\n");

    ASSERT_EQ(test_cluster_down(dir), 0);
    for (int pid : pids) {
        char p[64], cmd[16] = "";
        snprintf(p, sizeof p, "/proc/%d/cmdline", pid);
        /* Gone, or a zombie this machine's init has yet to reap. */
        FILE *f = fopen(p, "r");
        if (f) {
            EXPECT_EQ(fread(cmd, 1, sizeof cmd, f), 0u) << "pid " << pid << " still runs";
            fclose(f);
        }
    }
    EXPECT_TRUE(test_cluster_host_mounts(dir).empty());
    struct stat sb;
    EXPECT_NE(stat(dir.c_str(), &sb), 0);
    EXPECT_EQ(test_cluster_down(dir), 0);
}

/* A supervisor that crashed takes the whole cluster with it, network
 * included, and the next `up` starts a fresh one. */
TEST_F(Cluster, UpAfterASupervisorCrashStartsAfresh)
{
    up(2);
    std::vector<int> old = test_cluster_pids(dir);
    ASSERT_EQ(old.size(), 6u);
    /* SIGKILL is sent, not yet taken, when kill() returns: the crash is
     * over once the supervisor has ended, which its pidfd tells. */
    int pfd = (int)syscall(SYS_pidfd_open, old.front(), 0);
    ASSERT_GE(pfd, 0);
    ASSERT_EQ(kill(old.front(), SIGKILL), 0);
    struct pollfd ended = {pfd, POLLIN, 0};
    ASSERT_EQ(poll(&ended, 1, 60000), 1) << "the supervisor outlived SIGKILL";
    close(pfd);
    run_result r = test_cluster_cli(dir, {"up", "--nodes", "2"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    std::vector<int> now = test_cluster_pids(dir);
    for (int pid : old) {
        char p[64], cmd[16] = "";
        snprintf(p, sizeof p, "/proc/%d/cmdline", pid);
        /* Gone, a zombie yet to be reaped, or a pid given to the new cluster. */
        if (FILE *f = fopen(p, "r")) {
            size_t n = fread(cmd, 1, sizeof cmd, f);
            fclose(f);
            EXPECT_TRUE(n == 0 || std::find(now.begin(), now.end(), pid) != now.end())
                << "pid " << pid << " still runs";
        }
    }
    EXPECT_EQ(run(0, "rsh node1 hostname"), "node1\n");
}

/* The daemon runs as root and writes into its callers' memory: nobody else
 * may reach its sockets or the agents'. */
TEST_F(Cluster, FolderAndSocketsAreForRootOnly)
{
    up(1);
    struct {
        const char *name;
        mode_t mode;
    } want[] = {{"", 0700}, {"/run", 0700}, {"/ctl.sock", 0600}, {"/osk0.sock", 0600}};
    for (auto &w : want) {
        struct stat st;
        ASSERT_EQ(stat((dir + w.name).c_str(), &st), 0) << w.name;
        EXPECT_EQ(st.st_mode & 07777, w.mode) << w.name;
    }

    std::string ctl = dir + "/ctl.sock";
    pid_t pid = fork();
    if (pid == 0) {
        struct sockaddr_un a = {};
        a.sun_family = AF_UNIX;
        snprintf(a.sun_path, sizeof a.sun_path, "%s", ctl.c_str());
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (fd < 0 || setgid(65534) != 0 || setuid(65534) != 0)
            _exit(2);
        _exit(connect(fd, (struct sockaddr *)&a, sizeof a) < 0 && errno == EACCES ? 0 : 1);
    }
    int st = -1;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "another user reached " << ctl;
}

/* `up` and `down` remove the cluster folder and unmount what is under it,
 * so they must refuse any folder a cluster did not make. */
TEST(ClusterFolder, UpAndDownRefuseFoldersThatAreNotAClusters)
{
    std::string mine = test_cluster_dir("notmine");
    ASSERT_EQ(mkdir(mine.c_str(), 0755), 0);
    FILE *f = fopen((mine + "/keep").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    for (const char *cmd : {"down", "up"}) {
        std::vector<std::string> args = {cmd};
        if (args[0] == "up")
            args.insert(args.end(), {"--nodes", "1"});
        run_result r = test_cluster_cli(mine, args);
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_THAT(r.err, HasSubstr(mine + " exists and is not a cluster's folder")) << cmd;
        struct stat st;
        EXPECT_EQ(stat((mine + "/keep").c_str(), &st), 0) << cmd << " removed what it found";
    }
    ASSERT_EQ(unlink((mine + "/keep").c_str()), 0);

    /* A marked folder that others may write in, or another user's: they
     * could have planted links and pid files in it. */
    put(mine + "/.osk-cluster", "osk-cluster\n");
    struct {
        mode_t mode;
        uid_t owner;
    } bad[] = {{0755, 0}, {0700, 65534}};
    for (auto &b : bad) {
        ASSERT_EQ(chmod(mine.c_str(), b.mode), 0);
        ASSERT_EQ(chown(mine.c_str(), b.owner, 0), 0);
        for (const char *cmd : {"down", "up"}) {
            run_result r = test_cluster_cli(mine, {cmd});
            EXPECT_EQ(r.status, 1) << cmd;
            EXPECT_THAT(r.err, HasSubstr(mine + " is not root's own folder of mode 0700")) << cmd;
            struct stat st;
            EXPECT_EQ(stat((mine + "/.osk-cluster").c_str(), &st), 0) << cmd;
        }
    }
    ASSERT_EQ(unlink((mine + "/.osk-cluster").c_str()), 0);

    /* Below a folder another user can change, they could swap the cluster's
     * folder for their own between the check and the use. */
    ASSERT_EQ(chown(mine.c_str(), 0, 0), 0);
    const std::string below = mine + "/sub/c";
    for (auto &b : bad) {
        ASSERT_EQ(chmod(mine.c_str(), b.mode | 002), 0);
        ASSERT_EQ(chown(mine.c_str(), b.owner, 0), 0);
        run_result r = test_cluster_cli(below, {"up", "--nodes", "1"});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr(below + " is below " + mine + ", which another user can"));
        EXPECT_NE(access((mine + "/sub").c_str(), F_OK), 0) << "up made a folder there";
    }
    ASSERT_EQ(rmdir(mine.c_str()), 0);

    /* The system's own folders, even if marked; tried in a throw-away copy
     * of this machine, where a failure costs nothing. */
    sandbox sb;
    sandbox_create(&sb);
    sandbox_write(&sb, "/var/.osk-cluster", "osk-cluster\n");
    for (const char *d : {"/", "/var", "/var/tmp/", "/usr/lib", "/var/tmp/../../etc"}) {
        run_result r = sandbox_run(&sb, {"/usr/bin/env", std::string("OSK_CLUSTER_DIR=") + d,
                                         build_program("osk-cluster"), "down"});
        EXPECT_EQ(r.status, 1) << d;
        EXPECT_THAT(r.err, HasSubstr("is a system folder")) << d;
    }
    EXPECT_EQ(sandbox_run(&sb, {"/bin/sh", "-c", "test -e /var/lib/dpkg/status -a -e /etc/passwd"})
                  .status,
              0);
    sandbox_destroy(&sb);
}

/* Pid files outlive a crashed cluster, and the kernel hands their ids to
 * others: a process named like the cluster's programs, or the same program
 * started again, is never what `down`, `up` or a fault signals. */
TEST_F(Cluster, StalePidFilesSignalNoStranger)
{
    up(1);
    std::vector<int> old = test_cluster_pids(dir);
    ASSERT_EQ(old.size(), 5u);
    ASSERT_EQ(kill(old.front(), SIGKILL), 0);
    ASSERT_TRUE(wait_for_condition(100, 100, [&] {
        for (int pid : old)
            if (kill(pid, 0) == 0 && contents("/proc/" + std::to_string(pid) + "/cmdline") != "")
                return false;
        return true;
    }));
    stranger sup("osk-cluster"), node("osk-node"), hub("osk-node"), simd("sleep");
    ASSERT_TRUE(wait_for_condition(100, 20, [&] {
        return contents("/proc/" + std::to_string(simd.pid) + "/cmdline").rfind("sleep", 0) == 0;
    }));
    put(dir + "/supervisor.pid", sup.pidfile(1));
    put(dir + "/node0/pid", node.pidfile(-1));
    put(dir + "/hub.pid", std::to_string(hub.pid) + "\n");
    put(dir + "/osk-simd.pid", simd.pidfile(0)); /* right start, another program */
    run_result r = test_cluster_cli(dir, {"down"});
    EXPECT_EQ(r.status, 0) << r.err;
    for (auto *s : {&sup, &node, &hub, &simd})
        EXPECT_TRUE(s->untouched()) << "down signalled pid " << s->pid;

    /* A folder whose stale supervisor.pid names a stranger is no cluster up. */
    ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
    put(dir + "/.osk-cluster", "osk-cluster\n");
    put(dir + "/supervisor.pid", sup.pidfile(1));
    up(1);
    EXPECT_TRUE(sup.untouched()) << "up signalled the stranger";

    /* A fault at a node whose pid file is stale finds no node. */
    put(dir + "/node0/pid", node.pidfile(1));
    r = test_cluster_cli(dir, {"fault", "crash", "0"});
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_THAT(r.err, HasSubstr("node0 is not running"));
    EXPECT_TRUE(node.untouched()) << "the crash fault signalled the stranger";

    /* A link planted where the cluster writes a file is replaced or refused,
     * never followed. */
    std::string victim = test_cluster_dir("victim");
    put(victim, "precious\n");
    ASSERT_EQ(symlink(victim.c_str(), (dir + "/run/sysmgr.knobs").c_str()), 0);
    r = test_cluster_cli(dir, {"sysmgr", "set", "refuse_shutdown", "1"});
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(contents(victim), "precious\n");
    EXPECT_EQ(unlink(victim.c_str()), 0);
}
