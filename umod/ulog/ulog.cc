/*
 * The run log and the console: every message of a run goes through
 * updtlog_message(), which writes the console text first and then a
 * time-stamped record into the run log, opened on first use.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "ulog.h"

#include "osk_banned.h"

ulog_settings_t ulog_settings = {
    .use_log = 1,
    .quiet = 0,
    .do_dots = 0,
    .logfilename = NULL,
    .fallbackname = NULL,
    .dotspeed = 250,
    .cmdline = "",
    .ident = "",
    .propellerp = 0,
};
static FILE *logfile;

static const char propeller[] = "-\\|/";

/* The record stamp, formatted again only when the second changes. */
static const char *ulog_stamp(void)
{
    static char stamp[256];
    static time_t stamped = -1;
    time_t now = time(NULL);

    if (now != stamped) {
        struct tm tm;
        localtime_r(&now, &tm);
        if (strftime(stamp, sizeof(stamp), "{%a %b %d %H:%M:%S %Z %Y} ", &tm) == 0)
            stamp[0] = '\0';
        stamped = now;
    }
    return stamp;
}

void log_init(void)
{
    if (logfile || !ulog_settings.use_log)
        return;

    if (ulog_settings.logfilename)
        logfile = fopen(ulog_settings.logfilename, "a");
    if (!logfile && ulog_settings.fallbackname)
        logfile = fopen(ulog_settings.fallbackname, "a");
    if (!logfile) {
        printf("Unable to create log file (reason %d); proceeding without logging.\n", errno);
        ulog_settings.use_log = 0;
        return;
    }
    setvbuf(logfile, NULL, _IONBF, 0);

    fprintf(logfile, "\n\n\n\n\n");
    fprintf(logfile, "%s%s\n", ULOG_SEPARATOR, ULOG_SEPARATOR);
    fprintf(logfile, "= CMD: %-61s pid: %4ld =\n", ulog_settings.cmdline, (long)getpid());
    fprintf(logfile, "%s%s\n", ULOG_SEPARATOR, ULOG_SEPARATOR);
    fprintf(logfile, "\n\n%s\n\n", ulog_settings.ident);
}

void updtlog_message(int console, const char *format, va_list ap)
{
    if (console) {
        va_list cp;
        va_copy(cp, ap);
        vprintf(format, cp);
        va_end(cp);
        putchar('\n');
    }

    log_init();
    if (!ulog_settings.use_log || !logfile)
        return;

    /* One write per record: the stream is unbuffered. */
    const char *stamp = ulog_stamp();

    char record[8192];
    size_t n = strlen(stamp);
    memcpy(record, stamp, n);
    va_list cp;
    va_copy(cp, ap);
    int len = vsnprintf(record + n, sizeof(record) - n, format, cp);
    va_end(cp);
    if (len >= 0 && n + (size_t)len + 1 < sizeof(record)) {
        record[n + (size_t)len] = '\n';
        fwrite(record, 1, n + (size_t)len + 1, logfile);
        return;
    }
    fputs(stamp, logfile); /* too long for one buffer: written in pieces, never cut */
    vfprintf(logfile, format, ap);
    fputc('\n', logfile);
}

void ulog_message(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    updtlog_message(!ulog_settings.quiet, format, ap);
    va_end(ap);
}

void ulog_message_logonly(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    updtlog_message(0, format, ap);
    va_end(ap);
}

void goodbye(void)
{
    ulog_message_logonly("%s", ULOG_SEPARATOR);
    ulog_message_logonly("= update ending pid: %5d             =", (int)getpid());
    ulog_message_logonly("%s", ULOG_SEPARATOR);
}

void do_dotty(void)
{
    int ticks_per_sec = 1000 / ulog_settings.dotspeed;

    fprintf(stderr, "%c\b", propeller[ulog_settings.propellerp % 4]);
    int p = ++ulog_settings.propellerp;

    if (p % (ticks_per_sec * 300) == 0)
        fputs("|\n", stderr);
    else if (p % (ticks_per_sec * 60) == 0)
        fputs("|", stderr);
    else if (p % (ticks_per_sec * 30) == 0)
        fputs(":", stderr);
    else if (p % (ticks_per_sec * 6) == 0)
        fputs(".", stderr);
}

void clear_dotty(void)
{
    if (ulog_settings.propellerp == 0)
        return;
    int n = ulog_settings.propellerp / (1000 / ulog_settings.dotspeed) + 1;
    ulog_settings.propellerp = 0;
    for (int i = 0; i < n; i++)
        fputc('\b', stderr);
    fprintf(stderr, "%*s", n, "");
    for (int i = 0; i < n; i++)
        fputc('\b', stderr);
}

/*
 * A whole read of a child's output becomes its records in one write: a
 * write per line costs more than the rest of the relay together. Nothing is
 * held back between calls, so a process killed after a call has logged
 * every line it was given.
 */
void ulog_log_lines(int console, const char *prefix, const char *text, size_t n)
{
    static char block[ULOG_BLOCK_LEN];
    size_t used = 0;
    size_t plen = strlen(prefix);

    if (console) {
        for (const char *line = text, *end = text + n; line < end;) {
            const char *nl = (const char *)memchr(line, '\n', (size_t)(end - line));
            size_t len = strnlen(line, (size_t)((nl != NULL ? nl : end) - line));
            if (len > 0)
                printf("%s%.*s\n", prefix, (int)len, line);
            line = nl != NULL ? nl + 1 : end;
        }
    }
    log_init();
    if (!ulog_settings.use_log || !logfile)
        return;

    const char *stamp = ulog_stamp();
    size_t slen = strlen(stamp);
    for (const char *start = text, *end = text + n; start < end;) {
        const char *nl = (const char *)memchr(start, '\n', (size_t)(end - start));
        /* A record is a text: a line stops at a null byte, as printf would stop. */
        size_t len = strnlen(start, (size_t)((nl != NULL ? nl : end) - start));
        const char *line = start;
        start = nl != NULL ? nl + 1 : end;
        if (len == 0)
            continue;
        size_t rec = slen + plen + len + 1;
        if (used + rec > sizeof(block)) {
            fwrite(block, 1, used, logfile);
            used = 0;
        }
        if (rec > sizeof(block)) { /* longer than the block: in pieces, never cut */
            fprintf(logfile, "%s%s%.*s\n", stamp, prefix, (int)len, line);
            continue;
        }
        char *at = block + used;
        memcpy(at, stamp, slen);
        memcpy(at + slen, prefix, plen);
        memcpy(at + slen + plen, line, len);
        at[rec - 1] = '\n';
        used += rec;
    }
    if (used > 0)
        fwrite(block, 1, used, logfile);
}
