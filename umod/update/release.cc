/*
 * The release this build of update belongs to, from the build's one
 * setting (build_release.h); a program linking the driver's library may
 * bring its own copy of this file, compiled against another release's
 * header, and the library's is then left out. No build date goes in: two
 * builds of one tree make the same bytes.
 */
#include "release.h"

#include "build_release.h"

#include "osk_banned.h"

const char update_release[] = OSK_RELEASE;
const char update_build_ident[] = OSK_RELEASE " (built with the osk toolchain)";
