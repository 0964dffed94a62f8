/*
 * Installation into the target root (the alternate root, or this one when
 * install_altroot is clear): the package lists, apt and dpkg. A step that
 * fails ends the process with the banner and its status.
 */
#ifndef UPDATE_INSTALL_H
#define UPDATE_INSTALL_H

void do_prescript(const char *script, const char *failmsg);
void sources_list_localfile(const char *source);
void sources_list_revert(void);
void apt_update(void);
void install_woody_if_needed(void);
void dpkg_upgrade_osk(const char *dirname); /* only when the release holds packages */
void dpkg_install_dir(const char *dirname); /* unconditionally */
void remove_obsoleted(void);

#endif
