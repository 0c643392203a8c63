// The thinnest server of the daytime design, to measure against: the same
// socket set-up and loop (blocking accept, one write, close) with a fixed
// line instead of the clock.  Not for use as a service.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>

int
main()
{
	static const char line[] = "Thu Jan  1 00:00:00 1970\r\n";
	struct sockaddr_in sa;
	int fd, conn;

	std::signal(SIGPIPE, SIG_IGN);
	std::memset(&sa, 0, sizeof(sa));
	sa.sin_family = AF_INET;
	sa.sin_addr.s_addr = htonl(INADDR_ANY);
	sa.sin_port = htons(13);
	if ((fd = socket(AF_INET, SOCK_STREAM, 0)) < 0 ||
	    bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)) < 0 ||
	    listen(fd, 1024) < 0) {
		std::perror("ceiling_server");
		return 1;
	}
	for (;;) {
		if ((conn = accept(fd, nullptr, nullptr)) < 0)
			continue;
		if (write(conn, line, sizeof(line) - 1) < 0) {
			// The client has gone; nothing to do but close.
		}
		close(conn);
	}
}
