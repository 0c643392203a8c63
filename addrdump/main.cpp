#include <csignal>
#include <cstdio>

#include "addrdump.h"

/*
 * Show the bytes of an IPv4 socket address record built from stdin.  A
 * reader that has gone away is a failed write like any other: status 1
 * and a line saying so, not a silent death by SIGPIPE.
 */
int
main()
{
	std::signal(SIGPIPE, SIG_IGN);
	return addrdump(stdin, stdout, stderr);
}
