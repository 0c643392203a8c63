// addrdump run for real, comparing its whole output byte for byte.
#include <string>

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

// Whatever the input, the dump and status 0; status 1 only when the dump
// cannot be written.
TEST(Addrdump, DumpsTheRecordForAnyInput)
{
	struct Case {
		std::string input;
		const char *bytes;
		const char *out = nullptr;
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
		{"13 127.0.0.1\n", nullptr, "/dev/full"},
	};

	for (const auto &c : cases) {
		Proc p = spawn({addrdump_path}, {}, {.input = c.input, .out = c.out});
		Result r = wait_exit(p);
		SCOPED_TRACE(c.input.substr(0, 30));
		EXPECT_EQ(r.status(), c.out != nullptr ? 1 : 0);
		EXPECT_EQ(r.out, c.out != nullptr ? "" : dump(c.bytes));
		EXPECT_EQ(r.err, c.out != nullptr ?
		    "fflush error: No space left on device\n" : "");
	}
}
