/*
 * The kernel hook entry: one ioctl on "/dev/osk" carrying a hook number and
 * four arguments (osk_hook.h). The device is opened on the first call and
 * stays open, close-on-exec, for the life of the process; make the first
 * call before starting threads. A device that cannot be opened, or an ioctl
 * that fails, ends the process with status 255: the kernel interface is
 * not optional for the programs that use it.
 */
#ifndef KRN_HOOK_H
#define KRN_HOOK_H

#include <stdint.h>

#include "osk_hook.h"

int osk_krn_hook(int hook, uintptr_t arg1, uintptr_t arg2, uintptr_t arg3, uintptr_t arg4);

/* Casts for pointer and integer arguments. */
#define HK_ARG(x) ((uintptr_t)(x))

#endif
