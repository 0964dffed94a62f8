#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "child_run.h"
#include "node_base.h"

#include "osk_banned.h"

std::string test_cache_dir()
{
    std::string dir = std::string(OSK_BUILD_DIR) + "/test-cache";
    (void)mkdir(dir.c_str(), 0755);
    return dir;
}

static std::string from_cluster()
{
    std::string prog = std::string(OSK_BUILD_DIR) + "/bin/osk-cluster";
    if (access(prog.c_str(), X_OK) != 0)
        return "";
    child_opts o;
    o.deadline_ms = 10 * 60 * 1000;
    run_result r = child_run({prog, "base"}, o);
    std::string line = r.out.substr(0, r.out.find('\n'));
    return r.status == 0 && !line.empty() ? line : "";
}

/* Debian 12 minbase with what a node runs; its network sources go, as a
 * node has none. */
static std::string from_mmdebstrap()
{
    std::string root = test_cache_dir() + "/node-root";
    std::string lock_path = root + ".lock";
    int lock = open(lock_path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (lock < 0 || flock(lock, LOCK_EX) != 0) {
        ADD_FAILURE() << "cannot lock " << lock_path;
        if (lock >= 0)
            close(lock);
        return "";
    }
    if (access((root + "/var/lib/dpkg/status").c_str(), F_OK) != 0) {
        std::string tmp = root + ".tmp";
        (void)child_run({"/bin/rm", "-rf", tmp});
        child_opts o;
        o.deadline_ms = 5 * 60 * 1000;
        run_result r = child_run(
            {"/usr/bin/mmdebstrap", "--variant=minbase",
             "--include=openbsd-inetd,rsh-server,rsh-client,perl,iproute2,netbase,libssl3,psmisc",
             "--aptopt=Acquire::Check-Valid-Until \"false\"",
             "--aptopt=Acquire::Check-Date \"false\"", "bookworm", tmp,
             "/etc/apt/sources.list.d/debian.sources"},
            o);
        if (r.status != 0 ||
            unlink((tmp + "/etc/apt/sources.list.d/0000debian.sources").c_str()) != 0 ||
            rename(tmp.c_str(), root.c_str()) != 0) {
            ADD_FAILURE() << "mmdebstrap failed: " << r.err;
            root.clear();
        }
    }
    close(lock);
    return root;
}

std::string node_base_root()
{
    std::string root = from_cluster();
    return root.empty() ? from_mmdebstrap() : root;
}
