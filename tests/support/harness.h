// Helpers for the black-box tests: private network namespaces, child
// processes with captured output, and small TCP clients.
#ifndef HARNESS_H
#define HARNESS_H

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace harness {

using namespace std::chrono_literals;

// Moves this process into a fresh network namespace with lo up (first
// into a user namespace when not root).  Returns an empty string on
// success, else why it could not.
std::string enter_netns();

// A test that runs in a fresh network namespace of its own; skipped, with
// the reason, where none can be made.
class NetnsTest : public ::testing::Test {
protected:
	void SetUp() override
	{
		if (std::string why = enter_netns(); !why.empty())
			GTEST_SKIP() << "no private network namespace: " << why;
	}
};

// Why fiu-run (libfiu) cannot inject failures here, or "" when it can.
std::string fiu_unavailable(const std::string &fiu_run);

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
};

// Starts argv[0] with stdin from `input` and stdout/stderr captured;
// stdout goes to stdout_path instead when one is given.
Proc spawn(const std::vector<std::string> &argv,
    const std::vector<EnvVar> &env = {}, const std::string &input = "",
    const char *stdout_path = nullptr);

// Waits for the child to end, killing it once the deadline passes.
Result wait_exit(Proc &p, std::chrono::milliseconds deadline = 10s);

// Signals the child to stop and collects it.
Result stop(Proc &p, int sig = 15);

// True while the child has not ended.
bool alive(const Proc &p);

// Runs fn in a forked child with stdout and stderr captured; fn is
// expected to end the process.
Result run_in_child(const std::function<void()> &fn);

// Waits until something listens on 0.0.0.0:port in this namespace, or the
// child ends, or the deadline passes.  Returns whether it listens.
bool wait_listen(const Proc &p, int port, std::chrono::milliseconds deadline = 10s);

// Connects to 127.0.0.1:port; -1 on failure.  Reads time out after 10s.
int connect_local(int port);

// Reads until end of stream, an error or the time-out.  errno_out gets
// the read error, 0 at a clean end of stream.
std::string read_all(int fd, int *errno_out = nullptr);

// Connect, read the whole reply, close.
std::string query(int port = 13);

// The 26-byte reply layout: "Www Mmm dd hh:mm:ss yyyy\r\n".
bool looks_like_daytime(const std::string &s);

}  // namespace harness

#endif
