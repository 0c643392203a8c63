// daytime_client run for real, against daytime_server or a scripted peer
// on port 13, each test in its own network namespace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;
using namespace std::string_literals;

namespace {

class Client : public NetnsTest {};

Result
run_client(const std::vector<std::string> &args, const char *out_path = nullptr)
{
	std::vector<std::string> argv = {CLIENT_PATH};
	argv.insert(argv.end(), args.begin(), args.end());
	Proc p = spawn(argv, {}, "", out_path);
	return wait_exit(p);
}

// A scripted server for one exchange on 127.0.0.1:13: it sends `payload`,
// then closes its end, with a reset when asked.
Result
run_against_peer(const std::string &payload, bool reset,
    const char *out_path = nullptr)
{
	struct sockaddr_in sa {};
	int one = 1;
	int lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

	sa.sin_family = AF_INET;
	sa.sin_port = htons(13);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	if (bind(lfd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
	    listen(lfd, 1) != 0) {
		ADD_FAILURE() << "test peer cannot listen on port 13";
		return {};
	}
	Proc p = spawn({CLIENT_PATH, "127.0.0.1"}, {}, "", out_path);

	struct pollfd pfd = {lfd, POLLIN, 0};
	if (poll(&pfd, 1, 10000) == 1) {
		int fd = accept(lfd, nullptr, nullptr);
		EXPECT_EQ(write(fd, payload.data(), payload.size()),
		    static_cast<ssize_t>(payload.size()));
		if (reset) {
			struct linger lg = {1, 0};
			setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
		}
		close(fd);
	} else {
		ADD_FAILURE() << "the client never connected";
	}
	close(lfd);
	return wait_exit(p);
}

}  // namespace

TEST_F(Client, RejectsBadArgumentsAndUnreachableServers)
{
	const std::string usage = "usage: a.out <IPaddress>\n";
	const std::string long_arg(5000, '9');
	struct Case {
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		{{}, usage},
		{{"127.0.0.1", "127.0.0.1"}, usage},
		{{"localhost"}, "inet_pton error for localhost\n"},
		{{"300.1.2.3"}, "inet_pton error for 300.1.2.3\n"},
		{{"::1"}, "inet_pton error for ::1\n"},
		{{long_arg}, ("inet_pton error for " + long_arg).substr(0, 4095) + "\n"},
		{{"127.0.0.1"}, "connect error: Connection refused\n"},
	};

	for (const auto &c : cases) {
		Result r = run_client(c.args);
		EXPECT_TRUE(r.exited);
		EXPECT_EQ(r.code, 1);
		EXPECT_EQ(r.out, "");
		EXPECT_EQ(r.err, c.err);
	}
}

// Which call comes first shows when an earlier one is made to fail.
TEST_F(Client, ChecksInTheRightOrder)
{
	struct Case {
		const char *fault;
		std::vector<std::string> args;
		std::string err;
	} cases[] = {
		// The usage check comes before any socket.
		{"posix/io/net/socket,failinfo=13", {}, "usage: a.out <IPaddress>\n"},
		// The socket comes before the address is parsed.
		{"posix/io/net/socket,failinfo=13", {"localhost"},
		    "socket error: Permission denied\n"},
		// A bad address is never tried.
		{"posix/io/net/connect,failinfo=101", {"localhost"},
		    "inet_pton error for localhost\n"},
		{"posix/io/net/connect,failinfo=101", {"127.0.0.1"},
		    "connect error: Network is unreachable\n"},
	};

	if (std::string why = fiu_unavailable(FIU_RUN); !why.empty())
		GTEST_SKIP() << why;
	for (const auto &c : cases) {
		std::vector<std::string> argv = {FIU_RUN, "-x", "-f", "", "-c",
		    "enable name="s + c.fault, CLIENT_PATH};
		argv.insert(argv.end(), c.args.begin(), c.args.end());
		Proc p = spawn(argv);
		Result r = wait_exit(p);
		EXPECT_EQ(r.code, 1) << c.fault;
		EXPECT_EQ(r.err, c.err) << c.fault;
	}
}

TEST_F(Client, PrintsTheServersReply)
{
	Proc srv = spawn({SERVER_PATH});
	ASSERT_TRUE(wait_listen(srv, 13));

	Result r = run_client({"127.0.0.1"});
	EXPECT_EQ(r.code, 0);
	EXPECT_TRUE(looks_like_daytime(r.out)) << r.out;
	EXPECT_EQ(r.err, "");
	stop(srv);
}

TEST_F(Client, CopiesWhatThePeerSends)
{
	std::string big;
	for (int i = 0; big.size() < 10000; i++)
		big += "line " + std::to_string(i) + "\r\n";
	struct Case {
		const char *name;
		std::string payload;
		bool reset;
		std::string out, err;
		int code;
	} cases[] = {
		{"several chunks", big, false, big, "", 0},
		{"zero byte ends the chunk", "abc\0def"s, false, "abc", "", 0},
		{"nothing sent", "", false, "", "", 0},
		{"reset after text", "partial", true, "partial",
		    "read error: Connection reset by peer\n", 1},
	};

	for (const auto &c : cases) {
		Result r = run_against_peer(c.payload, c.reset);
		EXPECT_EQ(r.code, c.code) << c.name;
		EXPECT_EQ(r.out, c.out) << c.name;
		EXPECT_EQ(r.err, c.err) << c.name;
	}
}

TEST_F(Client, UnwritableOutputIsAnError)
{
	Result r = run_against_peer("Wed Dec  9 04:09:05 2026\r\n", false, "/dev/full");

	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "fflush error: No space left on device\n");
}
