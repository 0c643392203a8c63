// daytime_server run for real on port 13, each test in its own network
// namespace.
#include <dirent.h>
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
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

	// Starts the server, run by `wrap` when given, and waits for port 13.
	void start(const std::vector<EnvVar> &env = {},
	    std::vector<std::string> wrap = {}, unsigned closed = 0)
	{
		wrap.push_back(server_path);
		srv = spawn(wrap, env, {.closed = closed});
		ASSERT_TRUE(wait_listen(srv, 13)) << wait_exit(srv, 1s).err;
	}

	Proc srv;
};

// The server started by systemd's activation helper, as by a socket unit,
// on the first connection.
const std::vector<std::string> activated = {"/usr/bin/env",
    "SYSTEMD_LOG_LEVEL=warning", "systemd-socket-activate", "-l", "0.0.0.0:13"};

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

// The exact line, in the zone the server is given, to each loopback
// address the socket takes: IPv4 when it binds itself; both when a
// manager passes it a dual-stack socket; ::1 only for an IPv6-only one.
TEST_F(Server, RepliesWithCtimeLineToEachAddressItServes)
{
	struct Case {
		const char *tz;
		bool activate, v6only, v4, v6;
	} cases[] = {
		{"UTC0", false, false, true, false},
		{"IST-5:30", true, false, true, true},
		{"HST10", true, true, false, true},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(std::string(c.tz) + (c.activate ? ", passed" : "") +
		    (c.v6only ? ", IPv6 only" : ""));
		fresh_namespace();
		ASSERT_TRUE(std::ofstream("/proc/sys/net/ipv6/bindv6only") << c.v6only);
		std::vector<std::string> wrap;
		if (c.activate) {
			wrap = activated;
			wrap.back() = "13";
			wrap.insert(wrap.end(), {"-E", std::string("TZ=") + c.tz});
		}
		ASSERT_NO_FATAL_FAILURE(start({{"TZ", c.tz}}, wrap));

		for (auto [family, served] : {std::pair {AF_INET6, c.v6},
		    std::pair {AF_INET, c.v4}}) {
			time_t before = std::time(nullptr);
			std::string reply = query(13, family);
			time_t after = std::time(nullptr);

			if (served)
				EXPECT_EQ(replies_between(c.tz, before, after)
				    .count(reply), 1u) << family << ": " << reply;
			else
				EXPECT_EQ(reply, "") << family;
		}
		EXPECT_EQ(stop(srv).err, "");
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
	for (auto &z : zones) {
		std::ifstream in(z.file, std::ios::binary);
		std::stringstream text;
		text << in.rdbuf();
		ASSERT_FALSE((z.text = text.str()).empty()) << z.file;
	}
	char zone[] = "/tmp/zoneXXXXXX";
	int fd = mkstemp(zone);
	ASSERT_GE(fd, 0);
	close(fd);
	if (unshare(CLONE_NEWNS) != 0 ||
	    mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
		unlink(zone);
		CANNOT_RUN(std::string("no private mount namespace: ") + strerror(errno));
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

// LISTENQ is read as atoi reads it, saturated at the bounds of int (the
// kernel takes a negative backlog as its cap, 4096).  A socket passed by
// a service manager keeps the manager's backlog (this one's is the cap)
// unless LISTENQ is set.
TEST_F(Server, ListenqSetsTheBacklog)
{
	struct Case {
		std::optional<std::string> listenq;
		int backlog;
		bool activate;
	} cases[] = {
		{std::nullopt, 1024, false}, {"5", 5, false}, {"64", 64, false},
		{"", 0, false}, {"letters", 0, false}, {"  +7x", 7, false},
		{"010", 10, false}, {"0x40", 0, false},
		{"4294967301", 4096, false}, {"-4294967291", 4096, false},
		{std::nullopt, 4096, true}, {"5", 5, true}, {"", 0, true},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE("LISTENQ=" + c.listenq.value_or("(unset)") +
		    (c.activate ? ", activated" : ""));
		// The activation helper passes on only what it is told to.
		std::vector<std::string> wrap;
		if (c.activate)
			wrap = activated;
		if (c.activate && c.listenq)
			wrap.insert(wrap.end(), {"-E", "LISTENQ=" + *c.listenq});
		fresh_namespace();
		ASSERT_NO_FATAL_FAILURE(start({{"LISTENQ", c.listenq}}, wrap));
		// The first connection starts an activated server.
		EXPECT_TRUE(looks_like_daytime(query()));
		EXPECT_EQ(listen_backlog(), c.backlog);
		EXPECT_EQ(stop(srv).err, "");
	}
}

TEST_F(Server, RestartRightAfterServingCannotBind)
{
	ASSERT_NO_FATAL_FAILURE(start());
	ASSERT_TRUE(looks_like_daytime(query()));
	stop(srv);

	srv = spawn({server_path});
	Result r = wait_exit(srv);
	EXPECT_EQ(r.status(), 1);
	EXPECT_EQ(r.err, "bind error: Address already in use\n");
}

// Each way of starting the server, a failing call among them: what the
// first client gets, and whether the server serves on (the next client
// gets its line) or stops with an error line.
TEST_F(Server, StartsServesOrStopsAsTold)
{
	const std::vector<std::string> none;
	auto passed = [](const char *fds, const char *fd3) {
		return std::vector<std::string> {"/bin/bash", "-c", "LISTEN_FDS=" +
		    std::string(fds) + " LISTEN_PID=$$ exec \"$@\" " + fd3, "bash"};
	};
	// A listening socket on port 13, set up by `how`, passed as a
	// manager passes it ($^F: descriptor 3 is kept open across exec).
	auto listening = [](const std::string &how) {
		return std::vector<std::string> {"perl", "-MSocket", "-MFcntl",
		    "-MPOSIX=dup2", "-e", "$^F = 3; socket(S, AF_INET, SOCK_STREAM, 0) && "
		    "bind(S, pack_sockaddr_in(13, INADDR_ANY)) && listen(S, 16) && " +
		    how + " && dup2(fileno(S), 3) or die $!; $ENV{LISTEN_FDS} = 1; "
		    "$ENV{LISTEN_PID} = $$; exec @ARGV or die $!"};
	};
	auto clock = [](const char *reading) {
		return std::vector<EnvVar> {{"LD_PRELOAD", CLOCK_SHIM},
		    {"DAYTIME_TEST_TIME", reading}, {"TZ", "UTC0"}};
	};
	struct Case {
		std::vector<std::string> wrap;
		std::vector<EnvVar> env;
		unsigned closed;	// bit n: started with descriptor n closed
		const char *first;	// "daytime", or exactly what it gets
		const char *line;	// the error line's start; nullptr: serves on
		bool idle = false;	// idle a while before the second client
	} cases[] = {
		{none, {}, 0, "daytime", nullptr},
		{activated, {}, 0, "daytime", nullptr},
		// Another process's variables are not ours.
		{none, {{"LISTEN_PID", "1"}, {"LISTEN_FDS", "1"}}, 0, "daytime", nullptr},
		{passed("2", ""), {}, 0, "", "LISTEN_FDS error\n"},
		{passed("1", "3<&-"), {}, 0, "",
		    "getsockopt error: Bad file descriptor\n"},
		{passed("1", "3</dev/null"), {}, 0, "",
		    "getsockopt error: Socket operation on non-socket\n"},
		{passed("1", "3<>/dev/udp/127.0.0.1/9"), {}, 0, "", "passed socket error\n"},
		// A standard descriptor closed: no socket takes its place, so
		// a client gets its line and never an error line.
		{none, {}, 7, "daytime", nullptr},
		{fiu("posix/io/oc/close", EIO), {}, 5, "daytime", ""},
		// Every second with a four-digit year is shown, -1 among them;
		// a clock that cannot be read, or a year ctime shows in other
		// than four digits, gets no reply rather than a wrong one.
		{none, clock("-1"), 0, "Wed Dec 31 23:59:59 1969\r\n", nullptr},
		{none, clock("253402300799"), 0, "Fri Dec 31 23:59:59 9999\r\n", nullptr},
		{none, clock("-30610224000"), 0, "Wed Jan  1 00:00:00 1000\r\n", nullptr},
		{none, clock("253402300800"), 0, "", nullptr},
		{none, clock("-30610224001"), 0, "", nullptr},
		{none, clock("100000000000000000"), 0, "", nullptr},
		{none, clock("fail"), 0, "", nullptr},
		// A passed socket waits for clients whatever its settings:
		// non-blocking, or with a receive time-out that runs out
		// before the second client comes.
		{listening("fcntl(S, F_SETFL, O_NONBLOCK)"), {}, 0, "daytime", nullptr},
		{listening("setsockopt(S, SOL_SOCKET, SO_RCVTIMEO, pack('l!l!', 0, 1000))"),
		    {}, 0, "daytime", nullptr, true},
		// Transient failures cost at most that one reply: a pending
		// connection aborted, failed in the protocol or in the network.
		{fiu("posix/io/net/accept", ECONNABORTED, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", EPROTO, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", ENETDOWN, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", ENOPROTOOPT, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", EHOSTDOWN, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", ENONET, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", EHOSTUNREACH, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", EOPNOTSUPP, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/net/accept", ENETUNREACH, true), {}, 0, "daytime", nullptr},
		{fiu("posix/io/rw/write", EPIPE, true), {}, 0, "", nullptr},
		{fiu("posix/io/rw/write", ECONNRESET, true), {}, 0, "", nullptr},
		{fiu("posix/io/net/accept", EINTR), {}, 0, "",
		    "accept error: Interrupted system call\n"},
		{fiu("posix/io/net/accept", ENFILE), {}, 0, "",
		    "accept error: Too many open files in system\n"},
		{fiu("posix/io/net/socket", EACCES), {}, 0, "",
		    "socket error: Permission denied\n"},
		{fiu("posix/io/net/listen", EADDRINUSE), {}, 0, "",
		    "listen error: Address already in use\n"},
		{fiu("posix/io/rw/write", EIO, true), {}, 0, "",
		    "write error: Input/output error\n"},
		// A short write (of a random length, which may be all of it)
		// sets no error number of its own.
		{fiu("posix/io/rw/write/reduce"), {}, 0, nullptr,
		    "write error: Input/output error\n"},
		{fiu("posix/io/oc/close", EIO), {}, 0, "daytime",
		    "close error: Input/output error\n"},
	};
	int skipped = 0;

	for (const auto &c : cases) {
		std::vector<std::string> argv = c.wrap;
		std::string trace = std::to_string(c.closed);
		if (!can_run(c.wrap, c.closed)) {
			skipped++;
			continue;
		}
		argv.push_back(server_path);
		for (const auto &a : argv)
			trace += " " + a;
		for (const auto &[name, value] : c.env)
			trace += " " + name + "=" + value.value_or("");
		SCOPED_TRACE(trace);
		fresh_namespace();
		srv = spawn(argv, c.env, {.closed = c.closed});

		std::string first = wait_listen(srv, 13, 5s) ? query() : "";
		if (c.first != nullptr && std::string(c.first) == "daytime")
			EXPECT_TRUE(looks_like_daytime(first)) << first;
		else if (c.first != nullptr)
			EXPECT_EQ(first, c.first);
		if (c.line != nullptr) {
			for (int i = 0; i < 20 && alive(srv); i++)
				query();
			Result r = wait_exit(srv);
			EXPECT_EQ(r.status(), 1);
			EXPECT_EQ(r.err.substr(0, std::strlen(c.line)), c.line);
			EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'),
			    c.line[0] != '\0' ? 1 : 0) << r.err;
			continue;
		}
		// Past a time-out of 1 ms, which the kernel rounds up to one
		// tick (at most 10 ms).
		if (c.idle)
			std::this_thread::sleep_for(50ms);
		EXPECT_TRUE(looks_like_daytime(query()));
		EXPECT_EQ(stop(srv).err, "");
	}
	if (skipped != 0)
		std::printf("%d cases not run in this build or launcher\n", skipped);
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
	EXPECT_EQ(stop(srv).err, "");
}

namespace {

// What the server holds: open descriptors and resident memory in KiB.
std::pair<int, long>
usage_of(pid_t pid)
{
	std::string dir = "/proc/" + std::to_string(pid);
	std::pair<int, long> u = {0, -1};

	if (DIR *d = opendir((dir + "/fd").c_str())) {
		while (struct dirent *e = readdir(d))
			u.first += e->d_name[0] != '.';
		closedir(d);
	}
	std::ifstream status(dir + "/status");
	for (std::string key; status >> key;)
		if (key == "VmRSS:")
			status >> u.second;
	return u;
}

}  // namespace

// Many clients at once, one in ten resetting at once, one in twenty
// sending data first and one in twenty reading only after a second: each
// that reads gets its line, and the server holds no more descriptors or
// memory at the end than after its first hundred connections.  The soak
// test runs this with DAYTIME_SOAK_CONNECTIONS=50000.
TEST_F(Server, ManyClientsSomeMisbehaving)
{
	const char *soak = std::getenv("DAYTIME_SOAK_CONNECTIONS");
	const int connections = soak != nullptr ? std::atoi(soak) : 2000;
	const int clients = soak != nullptr ? 128 : 64;
	std::atomic<int> next {0}, served {0}, failed {0};

	// Room for every client port without reuse.
	std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << "1024 65535";
	ASSERT_NO_FATAL_FAILURE(start());
	for (int i = 0; i < 100; i++)
		ASSERT_TRUE(looks_like_daytime(query()));
	auto before = usage_of(srv.pid);

	auto t0 = std::chrono::steady_clock::now();
	std::vector<std::thread> threads;
	for (int c = 0; c < clients; c++)
		threads.emplace_back([&] {
			for (int i; (i = next++) < connections;) {
				int fd = connect_local(13), err = 0;
				struct linger lg = {1, 0};
				if (fd < 0) {
					failed++;
					continue;
				}
				if (i % 10 == 0) {
					setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
					close(fd);
					served++;
					continue;
				}
				if (i % 20 == 1 && write(fd, "hello\r\n", 7) != 7)
					failed++;
				if (i % 20 == 2)
					std::this_thread::sleep_for(1s);
				std::string reply = read_all(fd, &err);
				close(fd);
				// Data left unread makes the server's close
				// a reset, after the line.
				bool ok = err == 0 || (i % 20 == 1 && err == ECONNRESET);
				(ok && looks_like_daytime(reply) ? served : failed)++;
			}
		});
	for (auto &t : threads)
		t.join();
	double secs = std::chrono::duration<double>(
	    std::chrono::steady_clock::now() - t0).count();
	auto after = usage_of(srv.pid);

	std::printf("%d connections from %d clients in %.1f s (%.0f/s): %d "
	    "served, %d failed; server %d fds, %ld KiB after 100, %d fds, %ld "
	    "KiB at the end\n", connections, clients, secs, connections / secs,
	    served.load(), failed.load(), before.first, before.second,
	    after.first, after.second);
	EXPECT_EQ(served, connections);
	EXPECT_EQ(after.first, before.first);
#if !defined(__SANITIZE_ADDRESS__)	// whose runtime's memory drifts
	if (!launched())
		EXPECT_EQ(after.second, before.second);
#endif
	EXPECT_TRUE(looks_like_daytime(query()));
	EXPECT_EQ(stop(srv).err, "");
}
