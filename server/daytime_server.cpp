#include <sys/socket.h>

#include <netinet/in.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "netcommon.h"
#include "socket_wrappers.h"

/* Listen backlog unless LISTENQ says otherwise. */
constexpr int DEFAULT_BACKLOG = 1024;

/* A ctime text: "Wed Dec  9 04:09:05 2026\n". */
constexpr size_t CTIME_LEN = 25;

/* Where a service manager puts the first socket it passes. */
constexpr int PASSED_FD = 3;

/*
 * The listening socket that a service manager passed to this process by
 * the socket activation protocol (LISTEN_PID is our process id and
 * LISTEN_FDS is 1: the socket is descriptor 3), or -1 when none was
 * passed to us.  The protocol's variables are removed from the
 * environment so that nothing inherits them.  Anything but one listening
 * IPv4 or IPv6 stream socket (IPv6 only, or taking IPv4 too) ends the
 * process.  Non-blocking or with a time-out, it is served all the same
 * (Accept waits for it).
 */
static int
passed_socket()
{
	const char *pid = std::getenv("LISTEN_PID");
	const char *fds = std::getenv("LISTEN_FDS");
	char *end;
	int domain, type, listens;
	socklen_t n = sizeof(int);

	if (pid == nullptr || std::strtol(pid, &end, 10) != getpid() ||
	    *end != '\0')
		return -1;
	if (fds == nullptr || std::strcmp(fds, "1") != 0)
		err_quit("LISTEN_FDS error");
	unsetenv("LISTEN_PID");
	unsetenv("LISTEN_FDS");
	unsetenv("LISTEN_FDNAMES");

	if (getsockopt(PASSED_FD, SOL_SOCKET, SO_DOMAIN, &domain, &n) < 0 ||
	    getsockopt(PASSED_FD, SOL_SOCKET, SO_TYPE, &type, &n) < 0 ||
	    getsockopt(PASSED_FD, SOL_SOCKET, SO_ACCEPTCONN, &listens, &n) < 0)
		err_sys("getsockopt error");
	if ((domain != AF_INET && domain != AF_INET6) || type != SOCK_STREAM ||
	    listens == 0)
		err_quit("passed socket error");
	return PASSED_FD;
}

/*
 * The reply for the current time: the 24 characters of its ctime text
 * and CR LF.  It changes once a second, so it is formatted only when the
 * clock shows a new second.  Sets *reply and returns the length; 0, with
 * nothing kept, when the clock cannot be read or its text is not the
 * 25 characters of a four-digit year (before 1000 or after 9999), so
 * that no wrong or malformed time is sent.  The reading -1 is a real
 * second, 1969-12-31 23:59:59 UTC: only an error number says it failed.
 */
static size_t
daytime_reply(const char **reply)
{
	static char buff[MAX_TEXT_LINE];
	static time_t shown;
	static size_t len;
	time_t ticks;
	const char *text;

	errno = 0;
	ticks = std::time(nullptr);
	if (len == 0 || ticks != shown) {
		shown = ticks;
		len = 0;
		if ((ticks != static_cast<time_t>(-1) || errno == 0) &&
		    (text = std::ctime(&ticks)) != nullptr &&
		    std::strlen(text) == CTIME_LEN &&
		    text[CTIME_LEN - 1] == '\n')
			len = static_cast<size_t>(std::snprintf(buff,
			    sizeof(buff), "%.24s\r\n", text));
	}
	*reply = buff;
	return len;
}

/*
 * Iterative daytime server (RFC 867): answer each connection on TCP
 * port 13 with the local date and time as one 26-byte line, then close
 * it.  Never returns; fatal errors end the process with status 1.
 */
int
main()
{
	struct sockaddr_in servaddr;
	const char *reply;
	size_t len;
	int listenfd, connfd;

	open_std_fds();

	/*
	 * A peer that goes away before its reply is written must cost only
	 * that reply: let write fail with EPIPE instead of killing us.
	 */
	std::signal(SIGPIPE, SIG_IGN);

	/*
	 * Run by hand, bind port 13 ourselves; activated through a socket
	 * that a service manager holds, take that one with the backlog its
	 * manager gave it, unless LISTENQ asks for another.
	 */
	if ((listenfd = passed_socket()) < 0) {
		listenfd = Socket(AF_INET, SOCK_STREAM, 0);

		std::memset(&servaddr, 0, sizeof(servaddr));
		servaddr.sin_family = AF_INET;
		servaddr.sin_addr.s_addr = htonl(INADDR_ANY);
		servaddr.sin_port = htons(DAYTIME_PORT);

		Bind(listenfd,
		    reinterpret_cast<const struct sockaddr *>(&servaddr),
		    sizeof(servaddr));
		Listen(listenfd, DEFAULT_BACKLOG);
	} else if (std::getenv("LISTENQ") != nullptr) {
		Listen(listenfd, DEFAULT_BACKLOG);
	}

	for (;;) {
		connfd = Accept(listenfd, nullptr, nullptr);
		if ((len = daytime_reply(&reply)) != 0)
			Write(connfd, reply, len);
		Close(connfd);
	}
}
