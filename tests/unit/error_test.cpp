// The error module: the exact line of each entry point, on standard error
// or to the logger, the cut at the buffer's limit, and the order of output.
#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "harness.h"
#include "netcommon.h"

using harness::run_in_child;

// Stand-ins for the system logger: they print what they were handed, so
// a test can see whether the line went through as data or as a format.
static void
log_seen(int pri, const char *fmt, va_list ap)
{
	std::fprintf(stderr, "pri=%d fmt=[%s]", pri, fmt);
	if (std::strcmp(fmt, "%s") == 0)
		std::fprintf(stderr, " arg=[%s]", va_arg(ap, const char *));
}

extern "C" void
syslog(int pri, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_seen(pri, fmt, ap);
	va_end(ap);
}

extern "C" void
__syslog_chk(int pri, int, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	log_seen(pri, fmt, ap);
	va_end(ap);
}

TEST(ErrorLine, EachEntryPointWritesItsExactLine)
{
	struct Case {
		const char *name;
		void (*call)();
		const char *line;
	} cases[] = {
		{"err_sys adds the errno text",
		    [] { errno = EACCES; err_sys("socket error"); },
		    "socket error: Permission denied\n"},
		{"err_quit never adds errno text",
		    [] { errno = EACCES; err_quit("inet_pton error for %s", "300.1.2.3"); },
		    "inet_pton error for 300.1.2.3\n"},
		{"err_quit keeps a trailing newline and adds its own",
		    [] { err_quit("usage\n"); }, "usage\n\n"},
		{"err_sys puts the suffix on a line of its own",
		    [] { errno = EBADF; err_sys("close error\n"); },
		    "close error\n: Bad file descriptor\n"},
		// A message that cannot be formatted (a wide character the C
		// locale cannot encode) leaves no half-built text behind.
		{"unformattable message gives an empty message",
		    [] { err_quit("bad %ls", L"\u00e9t\u00e9"); }, "\n"},
		// With daemon_proc set, the logger gets the line as data, at
		// LOG_ERR (3), from either entry point.
		{"err_sys logs",
		    [] { daemon_proc = 1; errno = EPIPE; err_sys("%s", "100%s %n done"); },
		    "pri=3 fmt=[%s] arg=[100%s %n done: Broken pipe\n]"},
		{"err_quit logs",
		    [] { daemon_proc = 1; errno = EPIPE; err_quit("%s", "100%s %n"); },
		    "pri=3 fmt=[%s] arg=[100%s %n\n]"},
	};

	for (const auto &c : cases) {
		auto r = run_in_child(c.call);
		EXPECT_TRUE(r.exited) << c.name;
		EXPECT_EQ(r.code, 1) << c.name;
		EXPECT_EQ(r.err, c.line) << c.name;
		EXPECT_EQ(r.out, "") << c.name;
	}
}

TEST(ErrorLine, LongMessagesAreCutAtTheBufferLimit)
{
	struct Case {
		size_t len;
		std::string tail;	// what follows the message's own text
		size_t kept;		// characters of the message kept
	} cases[] = {
		{4093, ": \n", 4093},	// only the errno text is lost
		{4094, ":\n", 4094},	// suffix cut to the colon
		{4095, "\n", 4095},	// no room for any suffix
		{5000, "\n", 4095},	// message itself cut
	};

	for (const auto &c : cases) {
		std::string msg(c.len, 'm');
		auto r = run_in_child([&] { errno = ENOENT; err_sys("%s", msg.c_str()); });
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.err, std::string(c.kept, 'm') + c.tail) << "length " << c.len;
	}
}

TEST(ErrorLine, PendingStandardOutputComesFirst)
{
	auto r = run_in_child([] {
		// One file behind both streams shows the order of the writes.
		dup2(1, 2);
		std::fputs("half a line", stdout);
		err_quit("bad input");
	});

	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.out, "half a linebad input\n");
}
