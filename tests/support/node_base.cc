#include <sys/stat.h>

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

std::string node_base_root()
{
    std::string prog = std::string(OSK_BUILD_DIR) + "/bin/osk-cluster";
    child_opts o;
    /* The first base of a build comes from the package archive. */
    o.deadline_ms = 10 * 60 * 1000;
    run_result r = child_run({prog, "base"}, o);
    std::string line = r.out.substr(0, r.out.find('\n'));
    if (r.status != 0 || line.empty()) {
        ADD_FAILURE() << "osk-cluster base failed: " << r.out << r.err;
        return "";
    }
    return line;
}
