#ifndef NETCOMMON_H
#define NETCOMMON_H

/*
 * Shared by the daytime server and client: their text buffer size, the
 * daytime port and the fatal-error entry points.
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

#endif
