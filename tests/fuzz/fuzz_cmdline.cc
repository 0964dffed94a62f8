/*
 * Fuzz target: the command line of `update`, run in-process: the parser and
 * the checks of the request, never a flow. The input is split at NUL bytes
 * into arguments; exit() leads back here while an input runs.
 * Options that act on the machine at once (--verify, --dumpvluns) are
 * swapped for harmless ones.
 */
#include <dlfcn.h>
#include <fcntl.h>
#include <setjmp.h>
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cmdline.h"
#include "driver_log.h"
#include "modes.h"
#include "ulog.h"

static jmp_buf back;
static int running;

/* Takes the place of the C library's exit() in this program. */
extern "C" void exit(int status) noexcept
{
    if (running)
        longjmp(back, 1);
    auto real = (void (*)(int))dlsym(RTLD_NEXT, "exit");
    real(status);
    _exit(status);
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    /* Help and version texts go nowhere; libFuzzer reports on stderr. */
    int nul = open("/dev/null", O_WRONLY);
    dup2(nul, 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::vector<std::string> args = {"update"};
    std::string cur;
    for (size_t i = 0; i < size && args.size() < 64; i++) {
        if (data[i] == '\0') {
            args.push_back(cur);
            cur.clear();
        } else {
            cur += (char)data[i];
        }
    }
    if (!cur.empty())
        args.push_back(cur);
    for (std::string &a : args)
        if (a == "--verify" || a == "--dumpvluns")
            a = "--child";
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    /* Every run starts from the defaults, with no log file. */
    package_source = SOURCE_INVALID;
    ulog_settings.use_log = 0;
    ulog_settings.quiet = 1;
    update_log_settings();
    running = 1;
    if (setjmp(back) == 0) {
        update_parse_command_line((int)args.size(), argv.data());
        update_check_request();
    }
    running = 0;
    return 0;
}
