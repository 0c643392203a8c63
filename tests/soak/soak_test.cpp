// Soak: tens of thousands of connections from many concurrent clients,
// some of them misbehaving, against one daytime_server.  The server must
// stay up, answer every well-behaved client with exactly one line, and
// hold no more descriptors or memory at the end than after its first
// hundred connections.
#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

constexpr int CONNECTIONS = 50000;
constexpr int CLIENTS = 128;

enum Kind { NORMAL, RESET, SENDS_FIRST, SLOW_READER, KINDS };
const char *const kind_name[KINDS] = {"normal", "reset at once",
    "sends data first", "waits 1 s to read"};

// 10% reset, 5% send first, 5% read after a second, the rest normal.
Kind
kind_of(int i)
{
	switch (i % 20) {
	case 0: case 1: return RESET;
	case 2: return SENDS_FIRST;
	case 3: return SLOW_READER;
	default: return NORMAL;
	}
}

struct Tally {
	std::atomic<int> done[KINDS] {};
	std::atomic<int> connect_failed {}, read_failed {}, bad_reply {};
};

void
one_exchange(Kind kind, Tally &t)
{
	int fd = connect_local(13);
	if (fd < 0) {
		t.connect_failed++;
		return;
	}
	if (kind == RESET) {
		struct linger lg = {1, 0};
		setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
		close(fd);
		t.done[kind]++;
		return;
	}
	if (kind == SENDS_FIRST && write(fd, "hello\r\n", 7) != 7)
		t.read_failed++;
	if (kind == SLOW_READER)
		std::this_thread::sleep_for(std::chrono::seconds(1));

	int err = 0;
	std::string reply = read_all(fd, &err);
	close(fd);
	// The server leaves what a client sent unread, so its close resets
	// such a connection: a reset after the line is expected there.
	if (err != 0 && !(kind == SENDS_FIRST && err == ECONNRESET))
		t.read_failed++;
	else if (!looks_like_daytime(reply))
		t.bad_reply++;
	else
		t.done[kind]++;
}

struct Usage {
	int fds;
	long rss_kib;
};

Usage
usage_of(pid_t pid)
{
	Usage u = {0, -1};
	std::string dir = "/proc/" + std::to_string(pid);
	if (DIR *d = opendir((dir + "/fd").c_str())) {
		while (struct dirent *e = readdir(d))
			u.fds += e->d_name[0] != '.';
		closedir(d);
	}
	std::ifstream status(dir + "/status");
	for (std::string key; status >> key;)
		if (key == "VmRSS:")
			status >> u.rss_kib;
	return u;
}

}  // namespace

TEST(Soak, ManyClientsSomeMisbehaving)
{
	if (std::string why = enter_netns(); !why.empty())
		GTEST_SKIP() << "no private network namespace: " << why;
	// Room for every client port without reuse.
	std::ofstream("/proc/sys/net/ipv4/ip_local_port_range") << "1024 65535";

	Proc srv = spawn({SERVER_PATH});
	ASSERT_TRUE(wait_listen(srv, 13));
	for (int i = 0; i < 100; i++)
		ASSERT_TRUE(looks_like_daytime(query()));
	Usage before = usage_of(srv.pid);

	Tally t;
	std::atomic<int> next {0};
	auto start = std::chrono::steady_clock::now();
	std::vector<std::thread> clients;
	for (int c = 0; c < CLIENTS; c++)
		clients.emplace_back([&] {
			for (int i; (i = next++) < CONNECTIONS;)
				one_exchange(kind_of(i), t);
		});
	for (auto &th : clients)
		th.join();
	double secs = std::chrono::duration<double>(
	    std::chrono::steady_clock::now() - start).count();

	Usage after = usage_of(srv.pid);
	bool answers = looks_like_daytime(query());

	std::printf("soak: %d connections from %d concurrent clients in %.1f s "
	    "(%.0f/s)\n", CONNECTIONS, CLIENTS, secs, CONNECTIONS / secs);
	for (int k = 0; k < KINDS; k++)
		std::printf("  %-18s %6d served\n", kind_name[k], t.done[k].load());
	std::printf("  failures: connect %d, read %d, bad reply %d\n",
	    t.connect_failed.load(), t.read_failed.load(), t.bad_reply.load());
	std::printf("  server after 100 connections: %d fds, %ld KiB RSS\n",
	    before.fds, before.rss_kib);
	std::printf("  server at the end:            %d fds, %ld KiB RSS; %s\n",
	    after.fds, after.rss_kib, answers ? "still answers" : "NOT ANSWERING");

	EXPECT_TRUE(alive(srv));
	EXPECT_TRUE(answers);
	EXPECT_EQ(t.connect_failed, 0);
	EXPECT_EQ(t.read_failed, 0);
	EXPECT_EQ(t.bad_reply, 0);
	int total = 0;
	for (int k = 0; k < KINDS; k++)
		total += t.done[k];
	EXPECT_EQ(total, CONNECTIONS);
	EXPECT_EQ(after.fds, before.fds);
	EXPECT_EQ(after.rss_kib, before.rss_kib);
	EXPECT_EQ(stop(srv).err, "");
}
