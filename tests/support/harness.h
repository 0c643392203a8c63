// Helpers for the black-box tests: private network namespaces, child
// processes with captured output, and small TCP clients.
#ifndef HARNESS_H
#define HARNESS_H

#include <sys/socket.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "reply_check.h"

namespace harness {

using namespace std::chrono_literals;

// Ends a test that cannot run on this machine, saying why: a failure,
// so that a run that tested nothing does not pass, unless the user asked
// for skipping with DAYTIME_TESTS_MAY_SKIP=1.
#define CANNOT_RUN(why)							\
	do {								\
		if (std::getenv("DAYTIME_TESTS_MAY_SKIP") != nullptr)	\
			GTEST_SKIP() << (why);				\
		FAIL() << (why) << " (DAYTIME_TESTS_MAY_SKIP=1 skips)";	\
	} while (0)

// Moves this process into a fresh network namespace with lo up.  Every
// test program runs under scripts/netns (the test launcher CTest gives
// it), where this process may always make one.  Returns an empty string
// on success, else why it could not.
std::string new_netns();

// A test that runs in a fresh network namespace of its own.
class NetnsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (std::string why = new_netns(); !why.empty())
			CANNOT_RUN("no private network namespace: " + why +
			    "; run the test under scripts/netns, as ctest does");
	}
};

// The command that runs a program with a libfiu failure point enabled,
// such as "posix/io/net/accept", failing with `error` (when not 0) at
// every call, or at the first only when `once`; in a sanitizer build,
// where libfiu's preload library crashes, one empty word instead.
std::vector<std::string> fiu(const std::string &name, int error = 0,
    bool once = false);

// The programs under test: the build's, or with DAYTIME_TEST_PREFIX set
// (such as /usr), the ones installed there.
extern const std::string server_path, client_path, addrdump_path;

// A name and value to set in a child's environment; no value unsets it.
using EnvVar = std::pair<std::string, std::optional<std::string>>;

struct Proc {
	pid_t pid = -1;
	int out_fd = -1;	// temporary files holding stdout and stderr
	int err_fd = -1;
};

struct Result {
	bool exited = false;	// false: killed by a signal or by the deadline
	int code = -1;		// exit status, or the signal number
	std::string out;
	std::string err;

	// As a shell shows it: 128 plus the number of a killing signal.
	int status() const { return exited ? code : 128 + code; }
};

// A child's standard streams: stdin holds `input`; stdout and stderr are
// captured, but stdout goes to the file `out` when one is named, or to a
// pipe that no one reads; bit n of `closed` starts it with descriptor n
// closed.
struct Io {
	std::string input;
	const char *out = nullptr;
	bool unread = false;
	unsigned closed = 0;
};

// Whether DAYTIME_TEST_LAUNCHER runs the programs (see spawn): then their
// descriptors and memory are the launcher's too.
bool launched();

// Whether a case run by `wrap` with the descriptors `closed` (as in Io)
// can run here: not with libfiu in a sanitizer build, nor with closed
// descriptors under a launcher, which takes them for its own.
bool can_run(const std::vector<std::string> &wrap, unsigned closed = 0);

// Starts argv[0] with the given environment changes and streams.  With
// DAYTIME_TEST_LAUNCHER set (such as "valgrind -q"), its words go before
// the program under test, wherever it stands in argv.
Proc spawn(const std::vector<std::string> &argv,
    const std::vector<EnvVar> &env = {}, const Io &io = {});

// Waits for the child to end, killing it once the deadline passes.
Result wait_exit(Proc &p, std::chrono::milliseconds deadline = 10s);

// Signals the child to stop and collects it.
Result stop(Proc &p, int sig = 15);

// True while the child has not ended.
bool alive(const Proc &p);

// Runs fn in a forked child with stdout and stderr captured; fn is
// expected to end the process.
Result run_in_child(const std::function<void()> &fn);

// Waits until something listens on port of every address (0.0.0.0 or
// [::]) in this namespace, or the child ends, or the deadline passes.
// Returns whether it listens.
bool wait_listen(const Proc &p, int port, std::chrono::milliseconds deadline = 10s);

// Connects to 127.0.0.1:port, or to [::1]:port for AF_INET6; -1 on
// failure.  Reads time out after 10s.
int connect_local(int port, int family = AF_INET);

// Reads until end of stream, an error or the time-out.  errno_out gets
// the read error, 0 at a clean end of stream.
std::string read_all(int fd, int *errno_out = nullptr);

// Connect, read the whole reply, close; "" when no connection is made.
std::string query(int port = 13, int family = AF_INET);

// Serves n connections on 127.0.0.1:13, one after the other, from a
// thread: sends `reply` to each, then closes at once with a reset when
// `reset`, else ends its output and waits for the client to close,
// appending what the client sent to *received.  `hold` keeps its output
// open too, for a client that must give up by itself.
std::thread scripted_peer(int n, std::string reply, bool reset = false,
    bool hold = false, std::string *received = nullptr);

// The 26-byte reply layout: "Www Mmm dd hh:mm:ss yyyy\r\n".
inline bool
looks_like_daytime(const std::string &s)
{
	return is_daytime_line(s.data(), s.size());
}

}  // namespace harness

#endif
