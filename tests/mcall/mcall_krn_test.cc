/*
 * Management calls over the simulated kernel IPC against the system
 * manager stand-in (osk-sysmgr) on a two-node module daemon: opening,
 * dispatch without a server, replies larger than the request, version
 * checks, and the manager following the master.
 */
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "krn_util.h"
#include "mcall_client.h"
#include "osk_errcode.h"
#include "osk_runtime.h"
#include "test_cluster.h"

namespace
{

struct Mcall : testing::Test {
    simd s;
    std::string run;
    std::vector<pid_t> managers;

    void SetUp() override
    {
        ASSERT_TRUE(simd_start(&s, 2));
        for (int n : {0, 1})
            ASSERT_EQ(simd_ctl(&s, "join " + std::to_string(n)), "ok\n");
        run = s.dir + "/run";
        std::string cmd = "mkdir -p " + run + " && { echo nodes 2; cat " +
                          shell_quote(OSK_SOURCE_DIR "/sim/sysmgr/default.conf") + "; } > " + run +
                          "/sysmgr.conf";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void TearDown() override
    {
        for (pid_t p : managers) {
            kill(p, SIGKILL);
            waitpid(p, nullptr, 0);
        }
        simd_stop(&s);
    }
    void start_manager(int node)
    {
        pid_t pid = fork();
        if (pid == 0) {
            setenv("OSK_DEVICE_PATH", simd_sock(&s, node).c_str(), 1);
            execl(OSK_BUILD_DIR "/bin/osk-sysmgr", "osk-sysmgr", run.c_str(), (char *)nullptr);
            _exit(127);
        }
        managers.push_back(pid);
    }
    bool manager_on(int node)
    {
        std::string want = "name OSKMCAL handle";
        return wait_for_condition(250, 20, [&] {
            std::string ipc = simd_ctl(&s, "ipc");
            size_t at = ipc.find(want);
            return at != std::string::npos &&
                   ipc.compare(ipc.find("primary ", at) + 8, 2, std::to_string(node) + ":") == 0;
        });
    }
    void knob(const std::string &line)
    {
        std::string cmd = "echo '" + line + "' >> " + run + "/sysmgr.knobs";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
};

std::string open_result()
{
    return std::to_string(oskopen("kivosys", 1));
}

} // namespace

TEST_F(Mcall, WithoutAServerTheRecordKeepsItsStatus)
{
    EXPECT_EQ(run_as(simd_sock(&s, 1), open_result), std::to_string(BRIPC_NOPHANDLE));
    EXPECT_EQ(run_as(simd_sock(&s, 1),
                     [] {
                         std::string out;
                         for (uint32_t op : {0u, 385u, 306u, (uint32_t)MC_PING}) {
                             mcall_t *rec = mcall_alloc(op, sizeof(mcall_t));
                             rec->mc_status = 77;
                             snprintf(rec->mc_ertxt, sizeof rec->mc_ertxt, "before");
                             int rc = oskmcall(&rec);
                             out += std::to_string(rc) + " " + std::to_string(rec->mc_status) +
                                    " " + rec->mc_ertxt + "\n";
                             mcall_free(rec);
                         }
                         return out;
                     }),
              "1 77 before\n"
              "1 77 before\n"
              "129 77 Could not find request handler: " +
                  std::string(findtext(texlat, 129)) +
                  "\n129 77 Could not find request handler: " + findtext(texlat, 129) + "\n");
}

TEST_F(Mcall, ALargeReplyArrivesWholeInAGrownRecord)
{
    start_manager(0);
    ASSERT_TRUE(manager_on(0));
    EXPECT_EQ(run_as(simd_sock(&s, 1),
                     [] {
                         if (oskopen("kivosys", 1) != 0)
                             return std::string("open failed");
                         /* A second open on the thread does nothing. */
                         if (oskopen("other", 1) != 0)
                             return std::string("reopen failed");
                         mcall_t *rec = mcall_alloc(MCVL_SHOW, sizeof(showvlun_t));
                         showvlun_t *q = (showvlun_t *)rec;
                         q->showvlun_lun = (uint32_t)-5;
                         q->showvlun_nmap = q->showvlun_smap = q->showvlun_pmap = 0xFF;
                         q->showvlun_active = 1;
                         int rc = oskcall(&rec);
                         showvlun_t *a = (showvlun_t *)rec;
                         char buf[256];
                         snprintf(buf, sizeof buf, "rc=%d bufsize=%u count=%u size=%u last=%s", rc,
                                  rec->mc_bufsize, a->showvlun_count, rec->mc_size,
                                  a->showvlun_vluns[a->showvlun_count - 1].vli_vname);
                         mcall_free(rec);
                         return std::string(buf);
                     }),
              /* 708 + 24 * 1880 bytes, grown to whole 64-byte units */
              "rc=0 bufsize=45888 count=24 size=45828 last=vol11");
}

TEST_F(Mcall, VersionMismatches)
{
    start_manager(0);
    ASSERT_TRUE(manager_on(0));
    knob("ping_version 404");
    EXPECT_EQ(run_as(simd_sock(&s, 1), open_result), std::to_string(TE_INVALID));
    /* A manager that refuses our version stops the caller: the two sides
     * were not built for each other. */
    knob("mcall_version 402");
    EXPECT_EQ(run_as(simd_sock(&s, 1), open_result), "exit 255");
}

TEST_F(Mcall, TheManagerFollowsTheMaster)
{
    start_manager(0);
    start_manager(1);
    ASSERT_TRUE(manager_on(0));
    /* Node 0 goes down, and its processes with it. */
    kill(managers[0], SIGKILL);
    ASSERT_EQ(simd_ctl(&s, "leave 0"), "ok\n");
    ASSERT_TRUE(manager_on(1));
    EXPECT_EQ(run_as(simd_sock(&s, 1), open_result), "0");
}
