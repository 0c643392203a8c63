// addrdump run for real, comparing its whole output byte for byte.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;
using namespace std::string_literals;

namespace {

// The full output for a record whose bytes 2 to 7 are `port_addr`
// ("pp pp aa aa aa aa"), on a little-endian host.
std::string
dump(const std::string &port_addr)
{
	return "port : address : 02 00 " + port_addr.substr(0, 6) + "\n" +
	    port_addr.substr(6) + " \n00 00 00 00 \n00 00 00 00 ";
}

}  // namespace

// Whatever the input, the dump and status 0; status 1 and a line saying
// why when any part of the dump cannot be written.
TEST(Addrdump, DumpsTheRecordForAnyInput)
{
	// Standard output flushed at each newline, its first write failing.
	const std::vector<std::string> first_write_fails = {"stdbuf", "-oL",
	    STRACE, "-o", "/dev/null", "-e", "inject=write:error=EIO:when=1"};
	struct Case {
		std::string input;
		const char *bytes;
		Io io = {};
		const char *err = "";
		std::vector<std::string> wrap = {};
	} cases[] = {
		{"13\n127.0.0.1\n", "00 0d 7f 00 00 01"},
		{"13\n127.0.0.1", "00 0d 7f 00 00 01"},	// no final newline
		{"0 0.0.0.0\n", "00 00 00 00 00 00"},
		{"65535 255.255.255.255\n", "ff ff ff ff ff ff"},
		{"70000 1.2.3.4\n", "11 70 01 02 03 04"},	// low 16 bits
		{"-1 10.0.0.1\n", "ff ff 0a 00 00 01"},
		// Past the range of int the number stops at its bound.
		{"99999999999 1.2.3.4\n", "ff ff 01 02 03 04"},
		{"-99999999999 1.2.3.4\n", "00 00 01 02 03 04"},
		{"18446744073709551629 1.2.3.4\n", "ff ff 01 02 03 04"},
		// No number: what stopped it becomes the address word.
		{"abc\n", "00 00 00 00 00 00"},
		{"1.2.3.4.5\n", "00 01 00 00 00 00"},	// ".2.3.4.5" does not parse
		{"13x127.0.0.1\n", "00 0d 00 00 00 00"},
		{"+ 9.8.7.6\n", "00 00 09 08 07 06"},	// the sign is consumed
		{"", "00 00 00 00 00 00"},
		{"13\n", "00 0d 00 00 00 00"},
		{"13 localhost\n", "00 0d 00 00 00 00"},
		// Too long for the buffer: never parsed, not even in part.
		{"13 255.255.255.2551\n", "00 0d 00 00 00 00"},
		{"13 255.255.255.255\0\n"s, "00 0d 00 00 00 00"},
		{"13 " + std::string(100000, '7'), "00 0d 00 00 00 00"},
		{"13 1.1.1.1", "00 0d 01 01 01 01"},
		{"13 127.0.0.1\n", nullptr, {.out = "/dev/full"},
		    "fflush error: No space left on device\n"},
		{"13 127.0.0.1\n", nullptr, {.unread = true},
		    "fflush error: Broken pipe\n"},
		{"13 127.0.0.1\n", nullptr, {}, "write error: Input/output error\n",
		    first_write_fails},
	};

	// A build root may forbid tracing: then the rows that trace skip,
	// as they do under a launcher, which they would trace instead, and
	// in a sanitizer build, whose leak check cannot run traced.
	Proc probe = spawn({STRACE, "-o", "/dev/null", "true"});
	bool can_trace = wait_exit(probe).status() == 0;
	if (!can_trace && std::getenv("DAYTIME_TESTS_MAY_SKIP") == nullptr)
		ADD_FAILURE() << "strace cannot trace here (DAYTIME_TESTS_MAY_SKIP=1 skips)";
#if defined(__SANITIZE_ADDRESS__)
	can_trace = false;
#endif

	for (const auto &c : cases) {
		if (!c.wrap.empty() && (!can_trace || launched()))
			continue;
		std::vector<std::string> argv = c.wrap;
		argv.push_back(addrdump_path);
		Io io = c.io;
		io.input = c.input;
		Proc p = spawn(argv, {}, io);
		Result r = wait_exit(p);
		SCOPED_TRACE(c.input.substr(0, 30) + " " + c.err);
		EXPECT_EQ(r.status(), c.err[0] != '\0' ? 1 : 0);
		if (c.bytes != nullptr)
			EXPECT_EQ(r.out, dump(c.bytes));
		EXPECT_EQ(r.err, c.err);
	}
}
