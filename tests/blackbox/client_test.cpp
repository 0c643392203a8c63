// daytime_client run for real, against daytime_server or a scripted peer
// on port 13, each test in its own network namespace.
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;
using namespace std::string_literals;

namespace {

class Client : public NetnsTest {};

// Runs the client with `args`, run by `wrap` when given.
Result
run_client(const std::vector<std::string> &args, const Io &io = {},
    std::vector<std::string> wrap = {})
{
	wrap.push_back(client_path);
	wrap.insert(wrap.end(), args.begin(), args.end());
	Proc p = spawn(wrap, {}, io);
	return wait_exit(p);
}

}  // namespace

// Usage and address errors come before any socket or connection: a
// failing socket shows only for a well-formed command line, a failing
// connect only for a valid address.
TEST_F(Client, RejectsBadArgumentsAndUnreachableServers)
{
	const std::string usage = "usage: a.out <IPaddress>\n";
	const std::string long_arg(5000, '9');
	const auto no_socket = fiu("posix/io/net/socket", EACCES);
	const auto no_route = fiu("posix/io/net/connect", ENETUNREACH);
	struct Case {
		std::vector<std::string> args;
		std::string err;
		std::vector<std::string> wrap;
		unsigned closed;
	} cases[] = {
		{{}, usage, {}, 0},
		{{"127.0.0.1", "127.0.0.1"}, usage, {}, 0},
		{{"localhost"}, "inet_pton error for localhost\n", {}, 0},
		{{"300.1.2.3"}, "inet_pton error for 300.1.2.3\n", {}, 0},
		{{"::1"}, "inet_pton error for ::1\n", {}, 0},
		// One line, whatever the argument holds: control characters
		// and bytes past ASCII shown escaped.
		{{"1.2.3.4\nconnect error: Connection refused"},
		    "inet_pton error for 1.2.3.4\\nconnect error: Connection refused\n", {}, 0},
		{{"\033[2J\r\tcaf\xc3\xa9\x7f\\"},
		    "inet_pton error for \\x1b[2J\\r\\tcaf\\xc3\\xa9\\x7f\\\n", {}, 0},
		{{long_arg}, ("inet_pton error for " + long_arg).substr(0, 4095) + "\n", {}, 0},
		{{"127.0.0.1"}, "connect error: Connection refused\n", {}, 0},
		// Standard error closed: the line is lost, the status is not.
		{{"127.0.0.1"}, "", {}, 4},
		{{}, usage, no_socket, 0},
		{{"localhost"}, "socket error: Permission denied\n", no_socket, 0},
		{{"localhost"}, "inet_pton error for localhost\n", no_route, 0},
		{{"127.0.0.1"}, "connect error: Network is unreachable\n", no_route, 0},
	};

	for (const auto &c : cases) {
		if (!can_run(c.wrap, c.closed))
			continue;
		Result r = run_client(c.args, {.closed = c.closed}, c.wrap);
		SCOPED_TRACE(c.args.empty() ? "(none)" : c.args[0].substr(0, 20));
		EXPECT_EQ(r.status(), 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}
}

TEST_F(Client, PrintsTheServersReply)
{
	Proc srv = spawn({server_path});
	ASSERT_TRUE(wait_listen(srv, 13));

	Result r = run_client({"127.0.0.1"});
	EXPECT_EQ(r.code, 0);
	EXPECT_TRUE(looks_like_daytime(r.out)) << r.out;
	EXPECT_EQ(r.err, "");
	stop(srv);
}

// What a scripted server sends, to where the client's output goes; the
// server never gets anything back.
TEST_F(Client, CopiesWhatThePeerSends)
{
	const std::string line = "Wed Dec  9 04:09:05 2026\r\n";
	std::string big;
	for (int i = 0; big.size() < 10000; i++)
		big += "line " + std::to_string(i) + "\r\n";
	struct Case {
		const char *name;
		std::string payload;
		bool reset;
		Io io;
		std::string out, err;
		int status;
	} cases[] = {
		{"several chunks", big, false, {}, big, "", 0},
		{"zero byte ends the chunk", "abc\0def"s, false, {}, "abc", "", 0},
		{"nothing sent", "", false, {}, "", "", 0},
		{"reset after text", "partial", true, {}, "partial",
		    "read error: Connection reset by peer\n", 1},
		{"full disk, short reply", line, false, {.out = "/dev/full"}, "",
		    "fflush error: No space left on device\n", 1},
		{"full disk, long reply", big, false, {.out = "/dev/full"}, "",
		    "fputs error: No space left on device\n", 1},
		{"output closed", line, false, {.closed = 2}, "",
		    "fflush error: Bad file descriptor\n", 1},
		// Quietly ended by SIGPIPE, as any filter.
		{"reader gone", line, false, {.unread = true}, "", "", 128 + 13},
	};

	for (const auto &c : cases) {
		if (!can_run({}, c.io.closed))
			continue;
		SCOPED_TRACE(c.name);
		std::string received;
		std::thread peer = scripted_peer(1, c.payload, c.reset, false,
		    &received);
		Result r = run_client({"127.0.0.1"}, c.io);
		peer.join();
		EXPECT_EQ(r.status(), c.status);
		EXPECT_EQ(r.out, c.out);
		EXPECT_EQ(r.err, c.err);
		EXPECT_EQ(received, "");
	}
}
