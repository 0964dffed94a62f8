/*
 * The machine the suite ran on, as the suite leaves it: the nodes' remote
 * shell and whatever else they run live in their own systems, so nothing of
 * it is enabled in this machine's init system or listens in its network
 * namespace. Registered to run after every end-to-end test (a ctest
 * fixture's cleanup), so it judges the machine after the clusters are gone.
 */
#include <dirent.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "child_run.h"

#include "osk_banned.h"

using ::testing::IsEmpty;

namespace
{

/* Service names of what a simulated node runs. */
const char *const SERVICES[] = {"inetd", "rsh", "rlogin", "rexec", "osk"};

bool names_a_service(const std::string &name)
{
    for (const char *s : SERVICES)
        if (name.find(s) != std::string::npos)
            return true;
    return false;
}

TEST(Machine, NothingOfTheNodesIsEnabledOrListensHere)
{
    /* The init scripts' links of every runlevel. */
    std::string links;
    for (const char *rc : {"/etc/rc2.d", "/etc/rc3.d", "/etc/rc4.d", "/etc/rc5.d", "/etc/rcS.d"})
        if (DIR *d = opendir(rc)) {
            while (struct dirent *e = readdir(d))
                if (e->d_name[0] == 'S' && names_a_service(e->d_name))
                    links += std::string(rc) + "/" + e->d_name + "\n";
            closedir(d);
        }
    EXPECT_THAT(links, IsEmpty());

    /* The init system's enabled units, where there is one to ask. */
    run_result units = child_run({"/bin/sh", "-c",
                                  "command -v systemctl >/dev/null || exit 0; systemctl "
                                  "list-unit-files --state=enabled --no-legend 2>/dev/null | "
                                  "grep -E 'inetd|rsh|rlogin|rexec|osk' || :"});
    EXPECT_THAT(units.out, IsEmpty());

    /* No superserver line here, and nothing on the remote shell's ports. */
    run_result conf =
        child_run({"/bin/sh", "-c",
                   "grep -E '^(shell|login|exec)[[:space:]]' /etc/inetd.conf 2>/dev/null || :"});
    EXPECT_THAT(conf.out, IsEmpty());
    run_result ports =
        child_run({"/bin/ss", "-ltnH", "( sport = :512 or sport = :513 or sport = :514 )"});
    EXPECT_EQ(ports.status, 0) << ports.err;
    EXPECT_THAT(ports.out, IsEmpty());

    /* No node's sshd outlived its cluster. The machine may run an sshd of
     * its own; a node's runs in the node's PID namespace. */
    auto pidns = [](const std::string &proc) {
        char ns[64];
        ssize_t n = readlink((proc + "/ns/pid").c_str(), ns, sizeof ns - 1);
        return std::string(ns, n > 0 ? (size_t)n : 0);
    };
    std::string strays, ours = pidns("/proc/self");
    if (DIR *d = opendir("/proc")) {
        while (struct dirent *e = readdir(d)) {
            std::string p = std::string("/proc/") + e->d_name, comm;
            std::ifstream(p + "/comm") >> comm;
            if (comm == "sshd" && pidns(p) != ours)
                strays += p + "\n";
        }
        closedir(d);
    }
    EXPECT_THAT(strays, IsEmpty());
}

} // namespace
