/*
 * libFuzzer target of the record decoders: the first byte picks a
 * catalogued type, the rest is what a peer sent after the type name, read
 * through the client library's per-thread record as a socket call reads it.
 */
#include <stdint.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "mcall_client.h"
#include "mcsocket.h"
#include "strcnv.h"

static per_thread_buffer_t *rec;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = -1;
    if (fd < 0) {
        strcnv_initialize();
        (void)init_thread_buffer(&rec, 0);
        fd = memfd_create("stream", 0);
    }
    if (size < 1 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, data + 1, size - 1, 0) != (ssize_t)size - 1 || lseek(fd, 0, SEEK_SET) != 0)
        return 0;
    int id = data[0] % STRCNV_NTYPES;
    rec->fd = -1;
    mc_open(fd, nullptr);
    rec->malloc_called = 0;
    size_t total = 0;
    void *r = js_receive[id](fd, &total);
    if (r != nullptr && total > UINT32_MAX)
        __builtin_trap();
    return 0;
}
