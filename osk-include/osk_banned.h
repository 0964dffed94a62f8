/*
 * Unbounded string functions do not build: fixed buffers are cut with
 * snprintf, never overrun. Include this last, after every system header.
 */
#ifndef OSK_BANNED_H
#define OSK_BANNED_H

#define BANNED(func) sorry_##func##_is_a_banned_function

#undef strcpy
#define strcpy(x, y) BANNED(strcpy)
#undef strcat
#define strcat(x, y) BANNED(strcat)
#undef sprintf
#define sprintf(...) BANNED(sprintf)
#undef vsprintf
#define vsprintf(...) BANNED(vsprintf)
#undef gets
#define gets(x) BANNED(gets)

#endif
