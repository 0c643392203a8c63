#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netcommon.h"

/*
 * Copy s into buf, of size bytes, as one line of text that a terminal
 * shows as it stands: a control character or a byte that is not
 * printable ASCII becomes \n, \r, \t or \xHH (lower-case hex), every
 * other byte stays itself.  What does not fit is cut off, never half an
 * escape.  Returns buf.
 */
static const char *
printable(const char *s, char *buf, size_t size)
{
	size_t n = 0, len;
	char esc[5];

	for (; *s != '\0'; s++) {
		unsigned char c = static_cast<unsigned char>(*s);

		if (c == '\n')
			std::snprintf(esc, sizeof(esc), "\\n");
		else if (c == '\r')
			std::snprintf(esc, sizeof(esc), "\\r");
		else if (c == '\t')
			std::snprintf(esc, sizeof(esc), "\\t");
		else if (c < 0x20 || c > 0x7e)
			std::snprintf(esc, sizeof(esc), "\\x%02x", c);
		else
			std::snprintf(esc, sizeof(esc), "%c", c);
		if ((len = std::strlen(esc)) >= size - n)
			break;
		std::memcpy(buf + n, esc, len);
		n += len;
	}
	buf[n] = '\0';
	return buf;
}

/*
 * Daytime client: connect to port 13 at the dotted-decimal IPv4 address
 * given, copy what the server sends to standard output until it closes,
 * and exit with status 0.  Every failure ends the process with status 1.
 *
 * SIGPIPE keeps the disposition it was started with: by default a reader
 * that has gone away ends the client quietly, as it does any filter.
 */
int
main(int argc, char *argv[])
{
	struct sockaddr_in servaddr;
	char recvline[MAX_TEXT_LINE + 1], shown[MAX_TEXT_LINE];
	ssize_t n;
	int sockfd;

	open_std_fds();

	if (argc != 2)
		err_quit("usage: a.out <IPaddress>");

	if ((sockfd = socket(AF_INET, SOCK_STREAM, 0)) < 0)
		err_sys("socket error");

	std::memset(&servaddr, 0, sizeof(servaddr));
	servaddr.sin_family = AF_INET;
	servaddr.sin_port = htons(DAYTIME_PORT);
	if (inet_pton(AF_INET, argv[1], &servaddr.sin_addr) <= 0)
		err_quit("inet_pton error for %s",
		    printable(argv[1], shown, sizeof(shown)));

	if (connect(sockfd, reinterpret_cast<struct sockaddr *>(&servaddr),
		sizeof(servaddr)) < 0)
		err_sys("connect error");

	while ((n = read(sockfd, recvline, MAX_TEXT_LINE)) > 0) {
		recvline[n] = '\0';
		if (std::fputs(recvline, stdout) == EOF)
			err_sys("fputs error");
	}
	if (n < 0)
		err_sys("read error");

	/*
	 * A short reply sits in the stdio buffer until here; a failure to
	 * write it out must not pass for success.
	 */
	if (std::fflush(stdout) == EOF)
		err_sys("fflush error");
	std::exit(0);
}
