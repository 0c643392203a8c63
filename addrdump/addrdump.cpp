#include <netinet/in.h>
#include <arpa/inet.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>

/* Longest dotted-decimal IPv4 address, "255.255.255.255", and a NUL. */
constexpr int ADDR_WORD_SIZE = 16;

/* Skip white space, as "%d" and "%s" do; returns the next character. */
static int
skip_blanks()
{
	int c;

	while ((c = std::getchar()) != EOF && std::isspace(c) != 0)
		;
	return c;
}

/*
 * Read a decimal int as "%d" does: blanks skipped, an optional sign, then
 * digits; the first character that is not a digit stays in the input.
 * A number past the range of int stops at its bound.  Leaves *value
 * alone when there are no digits.
 */
static void
read_int(int *value)
{
	long long v = 0;
	bool negative = false, any = false;
	int c = skip_blanks();

	if (c == '+' || c == '-') {
		negative = c == '-';
		c = std::getchar();
	}
	for (; c != EOF && std::isdigit(c) != 0; c = std::getchar()) {
		any = true;
		if (v <= static_cast<long long>(INT_MAX) + 1)
			v = v * 10 + (c - '0');
	}
	if (c != EOF)
		std::ungetc(c, stdin);
	if (!any)
		return;
	if (negative)
		v = -v;
	*value = static_cast<int>(std::clamp<long long>(v, INT_MIN, INT_MAX));
}

/*
 * Read one whitespace-delimited word as "%s" does, into a buffer of
 * `size` bytes.  A word that does not fit is read to its end and comes
 * back empty, so that it can never parse as an address.
 */
static void
read_word(char *buf, size_t size)
{
	size_t n = 0;
	bool too_long = false;
	int c = skip_blanks();

	for (; c != EOF && std::isspace(c) == 0; c = std::getchar()) {
		if (n + 1 < size)
			buf[n++] = static_cast<char>(c);
		else
			too_long = true;
	}
	if (c != EOF)
		std::ungetc(c, stdin);
	buf[too_long ? 0 : n] = '\0';
}

/*
 * Note the error number of the first failed write to standard output,
 * whether a call of ours failed or a flush that reading standard input
 * set off.
 */
static void
note_failure(int *saved)
{
	if (*saved == 0 && std::ferror(stdout) != 0)
		*saved = errno != 0 ? errno : EIO;
}

/*
 * Prompt for a port and an IPv4 address, read them from standard input,
 * fill an IPv4 socket address record from them and print its 16 bytes in
 * hex, four to a line.  Status 0 once the dump is written, whatever the
 * input.  A reader that has gone away is a failed write like any other:
 * status 1 and a line saying so, not a silent death by SIGPIPE.
 */
int
main()
{
	struct sockaddr_in addr;
	char word[ADDR_WORD_SIZE] = "";
	const unsigned char *p;
	int port = 0;
	int failed = 0;

	std::signal(SIGPIPE, SIG_IGN);
	/* Every byte printed is defined: what the input leaves unset is 0. */
	std::memset(&addr, 0, sizeof(addr));

	std::fputs("port : ", stdout);
	read_int(&port);
	note_failure(&failed);
	std::fputs("address : ", stdout);
	read_word(word, sizeof(word));
	note_failure(&failed);

	addr.sin_family = AF_INET;
	addr.sin_port = htons(static_cast<uint16_t>(port));
	inet_pton(AF_INET, word, &addr.sin_addr);

	p = reinterpret_cast<const unsigned char *>(&addr);
	for (size_t i = 0; i < sizeof(addr); i++) {
		if (i % 4 == 0 && i != 0)
			std::fputs("\n", stdout);
		std::printf("%02x ", p[i]);
	}
	note_failure(&failed);

	/*
	 * A dump that never reached its reader, even in part, must not pass
	 * for success.
	 */
	if (std::fflush(stdout) == EOF && failed == 0) {
		failed = errno;
		std::fprintf(stderr, "fflush error: %s\n",
		    std::strerror(failed));
		return 1;
	}
	if (failed != 0) {
		std::fprintf(stderr, "write error: %s\n",
		    std::strerror(failed));
		return 1;
	}
	return 0;
}
