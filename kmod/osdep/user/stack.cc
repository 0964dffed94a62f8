/*
 * Call-stack capture. The unwinder gives the same return addresses as a
 * frame-pointer walk but also gets through library frames built without
 * frame pointers, and it knows where the stack ends.
 */
#include <dlfcn.h>
#include <execinfo.h>
#include <stdio.h>
#include <string.h>

#include "osk_runtime.h"
#include "osk_banned.h"

#define STACK_MAX_DEPTH 64

/*
 * Fills out[0..max-1] with return addresses, starting `up` frames above the
 * function that called stack_walk (up 1: the address inside that function's
 * caller). Returns how many it stored.
 */
static __attribute__((noinline)) int stack_walk(void **out, int max, int up)
{
    void *all[STACK_MAX_DEPTH];
    int got = backtrace(all, STACK_MAX_DEPTH);

    /* Find our caller's entry by address rather than by position: an
     * interposed backtrace (as under a sanitizer) adds frames of its own. */
    void *here = __builtin_return_address(0);
    int base = 1;
    for (int i = 0; i < got; i++) {
        if (all[i] == here) {
            base = i;
            break;
        }
    }
    int n = 0;
    for (int i = base + up; i < got && n < max; i++)
        out[n++] = all[i];
    return n;
}

/* From a public entry, two frames up is where its own caller returns to. */
#define UP_TO_CALLERS_RETURN 2

__attribute__((noinline)) void *osk_get_caller(void)
{
    void *pc = NULL;
    if (stack_walk(&pc, 1, UP_TO_CALLERS_RETURN) != 1)
        return NULL;
    return pc;
}

__attribute__((noinline)) void *osk_get_callern(int n)
{
    void *pc = NULL;
    if (n < 1)
        return NULL;
    if (stack_walk(&pc, 1, UP_TO_CALLERS_RETURN + n - 1) != 1)
        return NULL;
    return pc;
}

__attribute__((noinline)) void osk_pcstack(int n, void **pcstk)
{
    OSK_ASSERT(n >= 1);
    int got = stack_walk(pcstk, n, UP_TO_CALLERS_RETURN);
    for (int i = got; i < n; i++)
        pcstk[i] = NULL;
}

#define GETSTACK_DEPTH 20

__attribute__((noinline)) void osk_getstack(char *buffer, size_t max_size, const char *sep,
                                            int start_stacknum)
{
    void *pcs[GETSTACK_DEPTH];
    size_t used = 0;

    if (max_size == 0)
        return;
    memset(buffer, 0, max_size);
    osk_pcstack(GETSTACK_DEPTH, pcs);
    for (int i = start_stacknum < 0 ? 0 : start_stacknum; i < GETSTACK_DEPTH; i++) {
        Dl_info info;
        int w;

        if (pcs[i] == NULL)
            break;
        if (dladdr(pcs[i], &info) == 0) {
            osk_print("osk_getstack: invalid address %p\n", pcs[i]);
            break;
        }
        if (info.dli_sname != NULL)
            w = snprintf(buffer + used, max_size - used, "%s%s", info.dli_sname, sep);
        else
            w = snprintf(buffer + used, max_size - used, "%p%s", pcs[i], sep);
        if (w <= 0 || (size_t)w >= max_size - used)
            break;
        used += (size_t)w;
    }
    buffer[max_size - 1] = '\0';
}

void osk_printstack_str(const char *prefix)
{
    char text[1024];
    osk_getstack(text, sizeof(text), ":", 1);
    osk_print("%s%s\n", prefix, text);
}

void osk_printstack(void)
{
    osk_printstack_str("");
}
