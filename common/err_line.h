#ifndef ERR_LINE_H
#define ERR_LINE_H

#include <cstdarg>
#include <cstddef>

/*
 * The error module's line builder, apart from its output and exit so
 * that it can be exercised alone.  Not for the programs: they call
 * err_sys and err_quit from netcommon.h.
 *
 * Writes into buf, which holds MAX_TEXT_LINE + 1 bytes, the message cut
 * to MAX_TEXT_LINE - 1 characters, then, when errnoflag is nonzero, ": "
 * and the text for errnum as far as it fits in that limit, then a
 * newline.  Returns the length of the line.
 */
[[gnu::format(printf, 4, 0)]] size_t err_line(char *buf, int errnoflag,
    int errnum, const char *fmt, va_list ap);

#endif
