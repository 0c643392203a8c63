// daytime_bench against the real server and scripted peers on port 13 in
// a private network namespace.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "harness.h"

using namespace harness;

namespace {

class Bench : public NetnsTest {};

Result
bench(std::vector<std::string> args)
{
	args.insert(args.begin(), BENCH_PATH);
	Proc p = spawn(args);
	return wait_exit(p, 20s);
}

}  // namespace

TEST_F(Bench, CountsEveryExchangeWithTheRealServer)
{
	Proc srv = spawn({server_path});
	ASSERT_TRUE(wait_listen(srv, 13));

	Result r = bench({"-c", "4", "-n", "300", "--json", "127.0.0.1"});
	EXPECT_EQ(r.code, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("\"exchanges\": 300,"), std::string::npos) << r.out;
	EXPECT_NE(r.out.find("\"good\": 300,"), std::string::npos) << r.out;

	// A duration run stops by itself.
	r = bench({"-c", "2", "-d", "0.3", "127.0.0.1"});
	EXPECT_TRUE(r.exited);
	EXPECT_EQ(r.code, 0) << r.out << r.err;
	EXPECT_NE(r.out.find("at concurrency 2"), std::string::npos) << r.out;
	stop(srv);
}

TEST_F(Bench, ClassifiesFailures)
{
	struct Case {
		const char *name;
		std::string payload;
		bool reset, hold, listen;
		const char *outcome;
	} cases[] = {
		{"refused", "", false, false, false, "\"refused\": 5"},
		{"short", "Thu Jan  1 00:00:00 1970", false, false, true, "\"short\": 5"},
		{"long", "Thu Jan  1 00:00:00 1970\r\n\r\n", false, false, true, "\"long\": 5"},
		{"bad", "Xyz Jan  1 00:00:00 1970\r\n", false, false, true, "\"bad\": 5"},
		{"reset", "", true, false, true, "\"reset\": 5"},
		{"timed out", "", false, true, true, "\"timed_out\": 5"},
	};

	for (const auto &c : cases) {
		SetUp();	// a fresh namespace: no TIME-WAIT from the last case
		std::thread t;
		if (c.listen)
			t = scripted_peer(5, c.payload, c.reset, c.hold);
		Result r = bench({"-n", "5", "-t", "300", "--json", "127.0.0.1"});
		if (t.joinable())
			t.join();
		EXPECT_EQ(r.code, 1) << c.name;
		EXPECT_NE(r.out.find(c.outcome), std::string::npos) << c.name << ": " << r.out;
		EXPECT_NE(r.out.find("\"good\": 0,"), std::string::npos) << c.name << ": " << r.out;
	}
}

TEST_F(Bench, RefusesAddressesOutsideLoopback)
{
	Result r = bench({"-n", "1", "192.0.2.1"});
	EXPECT_EQ(r.code, 2);
	EXPECT_NE(r.err.find("outside the loopback range"), std::string::npos) << r.err;

	for (auto args : std::vector<std::vector<std::string>> {
	    {}, {"-c", "0", "127.0.0.1"}, {"localhost"}, {"127.0.0.1", "70000"}})
		EXPECT_EQ(bench(args).code, 2);
}
