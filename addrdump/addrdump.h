#ifndef ADDRDUMP_H
#define ADDRDUMP_H

#include <cstdio>

/*
 * Prompt on `out` for a port and an IPv4 address, read them from `in`,
 * fill an IPv4 socket address record from them and print its 16 bytes in
 * hex, four to a line.  Returns the exit status: 0 once the dump is
 * written, whatever the input; 1, with a line on `err`, when `out` could
 * not be written.
 */
int addrdump(FILE *in, FILE *out, FILE *err);

#endif
