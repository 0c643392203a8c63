#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netcommon.h"

int daemon_proc;

/*
 * Build the line: the message cut to MAX_TEXT_LINE - 1 characters, then,
 * when errnoflag is nonzero, ": " and the text for the errno saved on
 * entry as far as it fits in that limit, then a newline.  Send it to the
 * logger at the given level while daemon_proc is set, else to standard
 * error after flushing standard output.  Returns to the caller.
 */
[[gnu::format(printf, 3, 0)]] static void
err_doit(int errnoflag, int level, const char *fmt, va_list ap)
{
	int errno_save = errno;
	char buf[MAX_TEXT_LINE + 1];
	size_t n;

	if (std::vsnprintf(buf, MAX_TEXT_LINE, fmt, ap) < 0)
		buf[0] = '\0';
	n = std::strlen(buf);
	if (errnoflag != 0)
		std::snprintf(buf + n, MAX_TEXT_LINE - n, ": %s",
		    std::strerror(errno_save));
	/* At most MAX_TEXT_LINE - 1 characters so far: the newline fits. */
	n = std::strlen(buf);
	buf[n] = '\n';
	buf[n + 1] = '\0';
	if (daemon_proc != 0) {
		syslog(level, "%s", buf);
	} else {
		std::fflush(stdout);
		std::fputs(buf, stderr);
		std::fflush(stderr);
	}
}

void
err_sys(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	err_doit(1, LOG_ERR, fmt, ap);
	va_end(ap);
	std::exit(1);
}

void
err_quit(const char *fmt, ...)
{
	va_list ap;

	va_start(ap, fmt);
	err_doit(0, LOG_ERR, fmt, ap);
	va_end(ap);
	std::exit(1);
}
