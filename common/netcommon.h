#ifndef NETCOMMON_H
#define NETCOMMON_H

/*
 * Shared by the daytime server and client: their text buffer size, the
 * daytime port, the fatal-error entry points and the guard of the
 * standard descriptors.
 */

/* Capacity of every text buffer; error lines are cut to one less. */
constexpr int MAX_TEXT_LINE = 4096;

/* TCP port of the daytime exchange. */
constexpr int DAYTIME_PORT = 13;

/* Nonzero sends error lines to the system logger instead of stderr. */
extern int daemon_proc;

/*
 * Print the formatted message, ": ", the text for errno and a newline on
 * standard error, then exit with status 1.
 */
[[noreturn, gnu::format(printf, 1, 2)]] void err_sys(const char *fmt, ...);

/* Print the formatted message and a newline, then exit with status 1. */
[[noreturn, gnu::format(printf, 1, 2)]] void err_quit(const char *fmt, ...);

/*
 * Open /dev/null, read-only, on whichever of descriptors 0, 1 and 2 is
 * closed, so that no socket made later takes its place.  Called first.
 */
void open_std_fds();

#endif
