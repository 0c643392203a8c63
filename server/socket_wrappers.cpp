#include <sys/socket.h>

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

#include "netcommon.h"
#include "socket_wrappers.h"

int
Socket(int family, int type, int protocol)
{
	int fd;

	if ((fd = socket(family, type, protocol)) < 0)
		err_sys("socket error");
	return fd;
}

void
Bind(int fd, const struct sockaddr *sa, socklen_t salen)
{
	if (bind(fd, sa, salen) < 0)
		err_sys("bind error");
}

/*
 * Read a backlog the way atoi does (leading blanks, a sign, digits up to
 * the first non-digit, 0 when there are none), but saturate at the
 * bounds of int instead of overflowing.
 */
static int
backlog_from(const char *s)
{
	long v = std::strtol(s, nullptr, 10);

	if (v > INT_MAX)
		return INT_MAX;
	if (v < INT_MIN)
		return INT_MIN;
	return static_cast<int>(v);
}

/* LISTENQ, when present, replaces the caller's backlog at every call. */
void
Listen(int fd, int backlog)
{
	const char *ptr;

	if ((ptr = std::getenv("LISTENQ")) != nullptr)
		backlog = backlog_from(ptr);
	if (listen(fd, backlog) < 0)
		err_sys("listen error");
}

/*
 * Whether a failed accept failed for the pending connection alone: it was
 * aborted (ECONNABORTED), failed in the protocol (EPROTO), or Linux
 * passed on a network error of its handshake, which accept(2) says to
 * retry as well.  The listening socket is as good as before.
 */
static bool
pending_connection_failed(int e)
{
	switch (e) {
	case ECONNABORTED:
	case EPROTO:
	case ENETDOWN:
	case ENOPROTOOPT:
	case EHOSTDOWN:
	case ENONET:
	case EHOSTUNREACH:
	case EOPNOTSUPP:
	case ENETUNREACH:
		return true;
	default:
		return false;
	}
}

/*
 * Accept the next connection, retrying at once when the pending one
 * failed before it could be taken.  A socket that does not wait by
 * itself (one passed non-blocking, as a socket unit's NonBlocking=yes
 * passes it, or with a receive time-out) is waited on until a connection
 * is pending, so that no setting of the socket stops the server.  Any
 * other failure is fatal.
 */
int
Accept(int fd, struct sockaddr *sa, socklen_t *salenptr)
{
	struct pollfd pfd = {fd, POLLIN, 0};
	int n;

	for (;;) {
		if ((n = accept(fd, sa, salenptr)) >= 0)
			return n;
		if (errno == EAGAIN || errno == EWOULDBLOCK) {
			if (poll(&pfd, 1, -1) < 0)
				err_sys("poll error");
		} else if (!pending_connection_failed(errno)) {
			err_sys("accept error");
		}
	}
}

/*
 * Write all nbytes in one call.  A peer that has closed or reset its end
 * (EPIPE, ECONNRESET) ends only its own exchange, so that no client can
 * stop the service for the others; any other failure is fatal.  A short
 * count sets no error number of its own: it is reported as EIO.
 */
void
Write(int fd, const void *ptr, size_t nbytes)
{
	ssize_t n = write(fd, ptr, nbytes);

	if (n < 0 && (errno == EPIPE || errno == ECONNRESET))
		return;
	if (n >= 0 && static_cast<size_t>(n) != nbytes)
		errno = EIO;
	if (n < 0 || static_cast<size_t>(n) != nbytes)
		err_sys("write error");
}

void
Close(int fd)
{
	if (close(fd) == -1)
		err_sys("close error");
}
