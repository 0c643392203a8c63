#include <sys/socket.h>

#include <netinet/in.h>
#include <arpa/inet.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "netcommon.h"

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
	char recvline[MAX_TEXT_LINE + 1];
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
		err_quit("inet_pton error for %s", argv[1]);

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
