/*
 * The release this build of update belongs to. The build sets it in one
 * place (OSK_RELEASE); a program linking the driver's library may bring
 * its own copy of this file, compiled with another release, and the
 * library's is then left out.
 */
#include "release.h"

#include "osk_banned.h"

const char update_release[] = OSK_RELEASE;
const char update_build_ident[] =
    OSK_RELEASE " (built " __DATE__ " " __TIME__ " with the osk toolchain)";
