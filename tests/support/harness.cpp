#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char **environ;

namespace harness {

namespace {

std::string
program(const char *dir, const char *name, const char *built)
{
	const char *prefix = std::getenv("DAYTIME_TEST_PREFIX");

	return prefix != nullptr ? std::string(prefix) + dir + name : built;
}

std::string
slurp(int fd)
{
	std::string s;
	char buf[4096];
	ssize_t n;

	lseek(fd, 0, SEEK_SET);
	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	return s;
}

int
temp_fd()
{
	char name[] = "/tmp/harnessXXXXXX";
	int fd = mkostemp(name, O_CLOEXEC);

	if (fd >= 0)
		unlink(name);
	return fd;
}

}  // namespace

const std::string server_path = program("/sbin/", "daytime_server", SERVER_BUILT);
const std::string client_path = program("/bin/", "daytime_client", CLIENT_BUILT);
const std::string addrdump_path = program("/bin/", "addrdump", ADDRDUMP_BUILT);

namespace {

// Brings lo up in this network namespace; why not, or "".
std::string
lo_up()
{
	int s = socket(AF_INET, SOCK_DGRAM, 0);
	struct ifreq ifr {};
	std::strcpy(ifr.ifr_name, "lo");
	bool up = s >= 0 && ioctl(s, SIOCGIFFLAGS, &ifr) == 0 &&
	    (ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP),
	    ioctl(s, SIOCSIFFLAGS, &ifr) == 0);
	int e = errno;

	if (s >= 0)
		close(s);
	return up ? "" : std::string("cannot bring lo up: ") + strerror(e);
}

}  // namespace

std::string
new_netns()
{
	if (unshare(CLONE_NEWNET) != 0)
		return std::string("network namespace: ") + strerror(errno);
	return lo_up();
}

std::vector<std::string>
fiu(const std::string &name, int error, bool once)
{
#if defined(__SANITIZE_ADDRESS__)
	return {""};
#endif
	std::string fault = "enable name=" + name;
	if (error != 0)
		fault += ",failinfo=" + std::to_string(error);
	if (once)
		fault += ",onetime";
	return {FIU_RUN, "-x", "-f", "", "-c", fault};
}

bool
launched()
{
	return std::getenv("DAYTIME_TEST_LAUNCHER") != nullptr;
}

bool
can_run(const std::vector<std::string> &wrap, unsigned closed)
{
	return !(!wrap.empty() && wrap[0].empty()) && !(closed != 0 && launched());
}

Proc
spawn(const std::vector<std::string> &argv, const std::vector<EnvVar> &env,
    const Io &io)
{
	Proc p;
	int in_fd = temp_fd(), pipe_fds[2] = {-1, -1};

	p.out_fd = temp_fd();
	p.err_fd = temp_fd();
	if (write(in_fd, io.input.data(), io.input.size()) < 0)
		std::abort();
	lseek(in_fd, 0, SEEK_SET);
	// No reader is left before the child starts: its writes fail at once.
	if (io.unread && (pipe2(pipe_fds, O_CLOEXEC) != 0 || close(pipe_fds[0]) != 0))
		std::abort();

	std::vector<std::string> envs;
	for (char **e = environ; *e; e++) {
		std::string kv(*e);
		std::string name = kv.substr(0, kv.find('='));
		bool replaced = false;
		for (const auto &[n, v] : env)
			replaced = replaced || n == name;
		if (!replaced)
			envs.push_back(kv);
	}
	for (const auto &[n, v] : env)
		if (v)
			envs.push_back(n + "=" + *v);

	const char *launch = std::getenv("DAYTIME_TEST_LAUNCHER");
	std::vector<std::string> words;
	std::istringstream launcher(launch != nullptr ? launch : "");
	for (std::string w; launcher >> w;)
		words.push_back(w);
	std::vector<std::string> args;
	for (const auto &a : argv) {
		if (a == server_path || a == client_path || a == addrdump_path)
			args.insert(args.end(), words.begin(), words.end());
		args.push_back(a);
	}

	std::vector<char *> av, ev;
	for (const auto &a : args)
		av.push_back(const_cast<char *>(a.c_str()));
	av.push_back(nullptr);
	for (const auto &e : envs)
		ev.push_back(const_cast<char *>(e.c_str()));
	ev.push_back(nullptr);

	std::fflush(nullptr);
	p.pid = fork();
	if (p.pid == 0) {
		dup2(in_fd, 0);
		dup2(io.unread ? pipe_fds[1] : io.out ? open(io.out, O_WRONLY) :
		    p.out_fd, 1);
		dup2(p.err_fd, 2);
		for (int fd = 0; fd <= 2; fd++)
			if ((io.closed & (1u << fd)) != 0)
				close(fd);
		execvpe(av[0], av.data(), ev.data());
		_exit(127);
	}
	close(in_fd);
	if (pipe_fds[1] >= 0)
		close(pipe_fds[1]);
	return p;
}

static Result
collect(Proc &p, int status)
{
	Result r;

	r.exited = WIFEXITED(status);
	r.code = r.exited ? WEXITSTATUS(status) :
	    WIFSIGNALED(status) ? WTERMSIG(status) : -1;
	r.out = slurp(p.out_fd);
	r.err = slurp(p.err_fd);
	close(p.out_fd);
	close(p.err_fd);
	p.pid = -1;
	return r;
}

Result
wait_exit(Proc &p, std::chrono::milliseconds deadline)
{
	auto end = std::chrono::steady_clock::now() + deadline;
	int status = 0;

	if (p.pid <= 0)
		return Result{};
	while (waitpid(p.pid, &status, WNOHANG) == 0) {
		if (std::chrono::steady_clock::now() > end) {
			kill(p.pid, SIGKILL);
			waitpid(p.pid, &status, 0);
			Result r = collect(p, status);
			r.exited = false;
			r.code = -1;
			return r;
		}
		std::this_thread::sleep_for(2ms);
	}
	return collect(p, status);
}

Result
stop(Proc &p, int sig)
{
	if (p.pid <= 0)
		return Result{};
	kill(p.pid, SIGCONT);
	kill(p.pid, sig);
	return wait_exit(p);
}

bool
alive(const Proc &p)
{
	siginfo_t info {};

	return p.pid > 0 &&
	    waitid(P_PID, static_cast<id_t>(p.pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
	    info.si_pid == 0;
}

Result
run_in_child(const std::function<void()> &fn)
{
	Proc p;

	p.out_fd = temp_fd();
	p.err_fd = temp_fd();
	std::fflush(nullptr);
	p.pid = fork();
	if (p.pid == 0) {
		dup2(p.out_fd, 1);
		dup2(p.err_fd, 2);
		fn();
		std::fflush(nullptr);
		_exit(99);
	}
	return wait_exit(p);
}

bool
wait_listen(const Proc &p, int port, std::chrono::milliseconds deadline)
{
	char v4[32], v6[48];
	auto end = std::chrono::steady_clock::now() + deadline;

	std::snprintf(v4, sizeof v4, "%08X:%04X", 0, port);
	std::snprintf(v6, sizeof v6, "%032X:%04X", 0, port);
	while (std::chrono::steady_clock::now() < end && alive(p)) {
		for (const char *table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
			std::ifstream tcp(table);
			std::string line;
			while (std::getline(tcp, line)) {
				std::istringstream fields(line);
				std::string sl, local, remote, st;
				fields >> sl >> local >> remote >> st;
				if ((local == v4 || local == v6) && st == "0A")
					return true;
			}
		}
		std::this_thread::sleep_for(2ms);
	}
	return false;
}

int
connect_local(int port, int family)
{
	struct sockaddr_storage ss {};
	auto *sin = reinterpret_cast<struct sockaddr_in *>(&ss);
	auto *sin6 = reinterpret_cast<struct sockaddr_in6 *>(&ss);
	struct timeval tv = {10, 0};
	int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);

	if (family == AF_INET6) {
		sin6->sin6_family = AF_INET6;
		sin6->sin6_port = htons(static_cast<uint16_t>(port));
		sin6->sin6_addr = in6addr_loopback;
	} else {
		sin->sin_family = AF_INET;
		sin->sin_port = htons(static_cast<uint16_t>(port));
		sin->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	}
	setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
	socklen_t len = family == AF_INET6 ? sizeof *sin6 : sizeof *sin;

	if (connect(fd, reinterpret_cast<struct sockaddr *>(&ss), len) != 0) {
		close(fd);
		return -1;
	}
	return fd;
}

std::string
read_all(int fd, int *errno_out)
{
	std::string s;
	char buf[8192];
	ssize_t n;

	while ((n = read(fd, buf, sizeof buf)) > 0)
		s.append(buf, static_cast<size_t>(n));
	if (errno_out)
		*errno_out = n < 0 ? errno : 0;
	return s;
}

std::string
query(int port, int family)
{
	int fd = connect_local(port, family);

	if (fd < 0)
		return "";
	std::string s = read_all(fd);
	close(fd);
	return s;
}

std::thread
scripted_peer(int n, std::string reply, bool reset, bool hold,
    std::string *received)
{
	struct sockaddr_in sa {};
	int one = 1, lfd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);

	sa.sin_family = AF_INET;
	sa.sin_port = htons(13);
	sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
	setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
	if (bind(lfd, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0 ||
	    listen(lfd, 64) != 0)
		ADD_FAILURE() << "the scripted peer cannot listen on port 13";
	return std::thread([=] {
		struct timeval tv = {10, 0};
		struct linger lg = {1, 0};

		for (int i = 0; i < n; i++) {
			struct pollfd pfd = {lfd, POLLIN, 0};
			if (poll(&pfd, 1, 10000) != 1)
				break;
			int fd = accept(lfd, nullptr, nullptr);
			if (write(fd, reply.data(), reply.size()) < 0)
				break;
			if (reset) {
				setsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
			} else {
				if (!hold)
					shutdown(fd, SHUT_WR);
				setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
				std::string got = read_all(fd);
				if (received != nullptr)
					*received += got;
			}
			close(fd);
		}
		close(lfd);
	});
}

}  // namespace harness
