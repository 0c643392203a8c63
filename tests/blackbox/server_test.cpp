// daytime_server run for real on port 13, each test in its own network
// namespace.
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
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

// The replies a server in zone tz may give between two clock readings.
std::set<std::string>
replies_between(const char *tz, time_t before, time_t after)
{
	std::set<std::string> expected;

	setenv("TZ", tz, 1);
	tzset();
	for (time_t t = before; t <= after; t++)
		expected.insert(std::string(std::ctime(&t), 24) + "\r\n");
	return expected;
}

std::string
read_file(const char *path)
{
	std::ifstream in(path, std::ios::binary);
	std::stringstream s;

	s << in.rdbuf();
	return s.str();
}

// Makes path hold a zone file's text, with a modification time of its
// own, so that a reader that checks the time sees a new file.
bool
install_zone(const std::string &text, const char *path, time_t mtime)
{
	std::ofstream out(path, std::ios::binary | std::ios::trunc);
	struct timespec times[2] = {{mtime, 0}, {mtime, 0}};

	out << text;
	out.close();
	return out && utimensat(AT_FDCWD, path, times, 0) == 0;
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

		std::set<std::string> expected = replies_between(tz, before, after);
		EXPECT_TRUE(looks_like_daytime(reply)) << reply;
		EXPECT_EQ(expected.count(reply), 1u) << tz << ": " << reply;
		Result r = stop(srv);
		EXPECT_EQ(r.err, "");
	}
}

// With TZ unset the server shows the system's zone file.  Replaced while
// the server runs, the new zone shows from the next second on, although
// the reply is formatted only once a second.
TEST_F(Server, NewZoneFileShowsFromTheNextSecond)
{
	struct {
		const char *file, *tz;
		std::string text;
	} zones[] = {
		{"/usr/share/zoneinfo/Etc/UTC", "UTC0", ""},
		{"/usr/share/zoneinfo/Asia/Kolkata", "IST-5:30", ""},
		{"/usr/share/zoneinfo/Pacific/Honolulu", "HST10", ""},
	};
	// Read them first: /etc/localtime may name one of them.
	for (auto &z : zones)
		ASSERT_FALSE((z.text = read_file(z.file)).empty()) << z.file;
	char zone[] = "/tmp/zoneXXXXXX";
	int fd = mkstemp(zone);
	ASSERT_GE(fd, 0);
	close(fd);
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
		unlink(zone);
		GTEST_SKIP() << "no private mount namespace: " << strerror(errno);
	}
	// The server reads the zone at its first reply, not at start-up.
	ASSERT_EQ(mount(zone, "/etc/localtime", nullptr, MS_BIND, nullptr), 0)
	    << strerror(errno);
	ASSERT_NO_FATAL_FAILURE(start({{"TZ", std::nullopt}}));

	time_t mtime = 1000000000;
	for (const auto &z : zones) {
		SCOPED_TRACE(z.tz);
		ASSERT_TRUE(install_zone(z.text, zone, mtime += 1000));
		// Wait out the second in which the zone changed.
		for (time_t changed = std::time(nullptr); std::time(nullptr) == changed;)
			usleep(10000);
		time_t before = std::time(nullptr);
		std::string reply = query();
		time_t after = std::time(nullptr);
		EXPECT_EQ(replies_between(z.tz, before, after).count(reply), 1u)
		    << reply;
	}
	EXPECT_EQ(stop(srv).err, "");
	umount2("/etc/localtime", MNT_DETACH);
	unlink(zone);
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
