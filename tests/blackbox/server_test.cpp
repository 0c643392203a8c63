// daytime_server run for real on port 13, each test in its own network
// namespace.
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

class Server : public NetnsTest {
protected:

	void TearDown() override
	{
		if (srv.pid > 0)
			stop(srv);
	}

	// A new namespace within one test: no TIME-WAIT from the last case.
	void fresh_namespace() { NetnsTest::SetUp(); }

	// Starts the server and waits for its port; argv may wrap it.
	void start(const std::vector<EnvVar> &env = {},
	    std::vector<std::string> argv = {})
	{
		argv.push_back(SERVER_PATH);
		srv = spawn(argv, env);
		ASSERT_TRUE(wait_listen(srv, 13)) << wait_exit(srv, 1s).err;
	}

	Proc srv;
};

// The backlog of the listening socket on port 13, as ss shows it.
int
listen_backlog()
{
	FILE *f = popen(SS_PROGRAM " -ltnH 'sport = :13'", "r");
	char state[32];
	int recvq = -1, sendq = -1;

	if (f == nullptr)
		return -1;
	if (std::fscanf(f, "%31s %d %d", state, &recvq, &sendq) != 3)
		sendq = -1;
	pclose(f);
	return sendq;
}

}  // namespace

TEST_F(Server, RepliesWithCtimeLineInItsTimeZone)
{
	for (const char *tz : {"UTC0", "IST-5:30", "HST10"}) {
		fresh_namespace();
		ASSERT_NO_FATAL_FAILURE(start({{"TZ", tz}}));

		time_t before = std::time(nullptr);
		std::string reply = query();
		time_t after = std::time(nullptr);

		setenv("TZ", tz, 1);
		tzset();
		std::set<std::string> expected;
		for (time_t t = before; t <= after; t++)
			expected.insert(std::string(std::ctime(&t), 24) + "\r\n");
		EXPECT_TRUE(looks_like_daytime(reply)) << reply;
		EXPECT_EQ(expected.count(reply), 1u) << tz << ": " << reply;
		Result r = stop(srv);
		EXPECT_EQ(r.err, "");
	}
}

TEST_F(Server, ListenqSetsTheBacklog)
{
	struct Case {
		std::optional<std::string> listenq;
		int backlog;
	} cases[] = {
		{std::nullopt, 1024}, {"5", 5}, {"64", 64}, {"", 0},
		{"letters", 0}, {"  +7x", 7},
		// Past INT_MAX: saturates (and the kernel caps it), never wraps to 5.
		{"4294967301", 4096},
	};

	if (std::string(SS_PROGRAM).find("NOTFOUND") != std::string::npos)
		GTEST_SKIP() << "ss (iproute2) is not installed";
	for (const auto &c : cases) {
		ASSERT_NO_FATAL_FAILURE(start({{"LISTENQ", c.listenq}}));
		EXPECT_EQ(listen_backlog(), c.backlog)
		    << "LISTENQ=" << c.listenq.value_or("(unset)");
		stop(srv);
	}
}

TEST_F(Server, RestartRightAfterServingCannotBind)
{
	ASSERT_NO_FATAL_FAILURE(start());
	ASSERT_TRUE(looks_like_daytime(query()));
	stop(srv);

	srv = spawn({SERVER_PATH});
	Result r = wait_exit(srv);
	EXPECT_TRUE(r.exited);
	EXPECT_EQ(r.code, 1);
	EXPECT_EQ(r.err, "bind error: Address already in use\n");
}

TEST_F(Server, ClientDataIsIgnored)
{
	ASSERT_NO_FATAL_FAILURE(start());
	int fd = connect_local(13);
	ASSERT_GE(fd, 0);
	ASSERT_EQ(write(fd, "what time is it?\r\n", 18), 18);
	std::string reply = read_all(fd);
	close(fd);

	EXPECT_TRUE(looks_like_daytime(reply)) << reply;
	EXPECT_TRUE(looks_like_daytime(query()));
	EXPECT_TRUE(alive(srv));
}

TEST_F(Server, ConcurrentClientsAreServedInTurn)
{
	ASSERT_NO_FATAL_FAILURE(start());
	std::vector<int> fds;
	for (int i = 0; i < 40; i++)
		fds.push_back(connect_local(13));
	for (int fd : fds) {
		ASSERT_GE(fd, 0);
		int err = -1;
		EXPECT_TRUE(looks_like_daytime(read_all(fd, &err)));
		EXPECT_EQ(err, 0);
		close(fd);
	}
}

TEST_F(Server, ResettingClientsDoNotStopTheService)
{
	ASSERT_NO_FATAL_FAILURE(start());
	// Hold the server so that every reset lands before its reply.
	kill(srv.pid, SIGSTOP);
	std::vector<int> patient;
	for (int i = 0; i < 60; i++) {
		int fd = connect_local(13);
		ASSERT_GE(fd, 0);
		if (i % 6 == 5) {
			patient.push_back(fd);
			continue;
		}
		// Half of them close their side first, so that the reset
		// finds the server's end in CLOSE-WAIT: its write then
		// fails with EPIPE rather than ECONNRESET.
		if (i % 2 == 0)
			shutdown(fd, SHUT_WR);
		struct linger lg = {1, 0};
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
		close(fd);
	}
	kill(srv.pid, SIGCONT);

	for (int fd : patient) {
		EXPECT_TRUE(looks_like_daytime(read_all(fd)));
		close(fd);
	}
	EXPECT_TRUE(looks_like_daytime(query()));
	ASSERT_TRUE(alive(srv));
	EXPECT_EQ(stop(srv).err, "");
}

// Failures of the calls the server makes, injected with libfiu.
TEST_F(Server, InjectedFailures)
{
	struct Case {
		const char *fault;
		bool fatal;
		const char *line;
	} cases[] = {
		{"posix/io/net/accept,failinfo=103,onetime", false, ""},  // ECONNABORTED
		{"posix/io/net/accept,failinfo=71,onetime", false, ""},	  // EPROTO
		{"posix/io/rw/write,failinfo=32,onetime", false, ""},	  // EPIPE
		{"posix/io/rw/write,failinfo=104,onetime", false, ""},	  // ECONNRESET
		{"posix/io/net/accept,failinfo=4", true,
		    "accept error: Interrupted system call\n"},
		{"posix/io/net/socket,failinfo=13", true,
		    "socket error: Permission denied\n"},
		{"posix/io/rw/write,failinfo=5,onetime", true,
		    "write error: Input/output error\n"},
	};

	if (std::string why = fiu_unavailable(FIU_RUN); !why.empty())
		GTEST_SKIP() << why;
	for (const auto &c : cases) {
		SCOPED_TRACE(c.fault);
		fresh_namespace();
		srv = spawn({FIU_RUN, "-x", "-f", "", "-c",
		    std::string("enable name=") + c.fault, SERVER_PATH});

		if (c.fatal) {
			if (wait_listen(srv, 13, 5s))
				query();
			Result r = wait_exit(srv);
			EXPECT_TRUE(r.exited);
			EXPECT_EQ(r.code, 1);
			EXPECT_EQ(r.err, c.line);
			continue;
		}
		ASSERT_TRUE(wait_listen(srv, 13));
		std::string first = query();
		if (std::string(c.fault).find("write") != std::string::npos)
			EXPECT_EQ(first, "");	// the failed reply ends that exchange only
		else
			EXPECT_TRUE(looks_like_daytime(first)) << first;
		EXPECT_TRUE(looks_like_daytime(query()));
		ASSERT_TRUE(alive(srv));
		EXPECT_EQ(stop(srv).err, "");
	}
}
