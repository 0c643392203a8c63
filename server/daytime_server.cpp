#include <sys/socket.h>

#include <netinet/in.h>

#include <csignal>
#include <cstring>
#include <ctime>

#include "netcommon.h"
#include "socket_wrappers.h"

/* Listen backlog unless LISTENQ says otherwise. */
constexpr int DEFAULT_BACKLOG = 1024;

/*
 * Put the reply for a ctime text into buf: its first 24 characters (the
 * date and time without ctime's newline) and CR LF.  The same bytes as
 * snprintf(buf, size, "%.24s\r\n", text), without a second pass through
 * printf's machinery for every connection.  Returns the reply's length.
 */
static size_t
format_reply(char *buf, const char *text)
{
	size_t n = strnlen(text, 24);

	std::memcpy(buf, text, n);
	buf[n] = '\r';
	buf[n + 1] = '\n';
	return n + 2;
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
	char buff[MAX_TEXT_LINE];
	const char *text;
	time_t ticks, shown = 0;
	size_t len = 0;		/* of the reply in buff; 0 while there is none */
	int listenfd, connfd;

	open_std_fds();

	/*
	 * A peer that goes away before its reply is written must cost only
	 * that reply: let write fail with EPIPE instead of killing us.
	 */
	std::signal(SIGPIPE, SIG_IGN);

	listenfd = Socket(AF_INET, SOCK_STREAM, 0);

	std::memset(&servaddr, 0, sizeof(servaddr));
	servaddr.sin_family = AF_INET;
	servaddr.sin_addr.s_addr = htonl(INADDR_ANY);
	servaddr.sin_port = htons(DAYTIME_PORT);

	Bind(listenfd, reinterpret_cast<const struct sockaddr *>(&servaddr),
	    sizeof(servaddr));
	Listen(listenfd, DEFAULT_BACKLOG);

	for (;;) {
		connfd = Accept(listenfd, nullptr, nullptr);
		/*
		 * The reply changes once a second, so it is formatted only
		 * when the clock shows a new second; connections within the
		 * same second get the same bytes.  ctime also looks for a
		 * new zone file then, so a change of time zone shows from
		 * the next second on.  Should the clock be unreadable or its
		 * reading not showable, close the connection without a reply
		 * rather than send a wrong time, and keep no reply for later.
		 */
		ticks = std::time(nullptr);
		if (ticks == static_cast<time_t>(-1))
			len = 0;
		else if (len == 0 || ticks != shown) {
			text = std::ctime(&ticks);
			len = text == nullptr ? 0 : format_reply(buff, text);
			shown = ticks;
		}
		if (len != 0)
			Write(connfd, buff, len);
		Close(connfd);
	}
}
