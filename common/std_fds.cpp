#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "netcommon.h"

/*
 * Make sure descriptors 0, 1 and 2 are open before the program makes any
 * socket, so that no socket can take the place of a standard stream and
 * receive its output.  A closed one is opened on /dev/null, read-only:
 * writes to a standard output or error that the caller closed still fail
 * (EBADF) instead of passing for success.  Ends the process with status 1
 * when /dev/null cannot be opened.
 */
void
open_std_fds()
{
	int fd;

	for (fd = 0; fd <= 2; fd++) {
		if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
			continue;
		/* The lowest free descriptor: fd itself. */
		if (open("/dev/null", O_RDONLY) != fd)
			err_sys("open error");
	}
}
