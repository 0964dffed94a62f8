/*
 * The release a build of update belongs to, and the version of the tool
 * itself that children see in OSK_UPDATE_VERSION.
 */
#ifndef UPDATE_RELEASE_H
#define UPDATE_RELEASE_H

#define UPDATE_TOOL_MAJOR 3
#define UPDATE_TOOL_MINOR 0
#define UPDATE_TOOL_PATCH 0

/* The release this update belongs to ("OSK version %s"), and the run log
 * header's text: the release, then who built it and how. */
extern const char update_release[];
extern const char update_build_ident[];

#endif
