/* The order of oskopen and the socket transport's installation. A binary
 * of its own: the versions and the client library's flags are process-wide,
 * and the kernel hook here is a stand-in that registers every process. */
#include <gtest/gtest.h>

#include "krn_hook.h"
#include "mcall_client.h"
#include "strcnv.h"

int osk_krn_hook(int, uintptr_t, uintptr_t, uintptr_t, uintptr_t)
{
    return 0;
}

namespace
{

std::string text(const strcnv_version &v)
{
    char buf[40];
    return strcnv_snprintf_version(&v, buf, sizeof buf) ? buf : "(did not fit)";
}

TEST(InitOrder, KernelIpcFirstThenSocketTransport)
{
    ASSERT_EQ(oskopen("test", 0), 0);
    EXPECT_EQ(text(STRCNV_CURRENT_VERSION), "0");
    mcsocket_install();
    EXPECT_EQ(text(STRCNV_CURRENT_VERSION), "3.115");
    EXPECT_EQ(text(STRCNV_CURRENT_JSTRUCT_VERSION), "1.68");
    EXPECT_EQ(strcnv_is_big_endian(), 0);
}

} // namespace
