#include <cstdio>

#include "addrdump.h"

/* Show the bytes of an IPv4 socket address record built from stdin. */
int
main()
{
	return addrdump(stdin, stdout, stderr);
}
