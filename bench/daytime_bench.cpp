// daytime_bench: a load generator for daytime servers.  Keeps a chosen
// number of connections in flight (non-blocking connect, epoll), reads
// each reply to end of stream, and reports exchanges per second and
// latency percentiles from connect to end of stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "reply_check.h"

namespace {

using Clock = std::chrono::steady_clock;

enum Outcome { GOOD, REFUSED, RESET, TIMED_OUT, SHORT, LONG, BAD, OTHER, OUTCOMES };
const char *const outcome_name[OUTCOMES] = {"good", "refused", "reset",
    "timed_out", "short", "long", "bad", "other"};

struct Options {
	struct sockaddr_in addr {};
	int concurrency = 1;
	double seconds = 5;
	long count = 0;		// 0: run for `seconds`
	int timeout_ms = 5000;
	bool json = false;
	bool allow_remote = false;
};

struct Slot {
	int fd = -1;
	bool connected = false;
	Clock::time_point start;
	char buf[64];
	size_t len = 0;
};

struct Stats {
	long outcome[OUTCOMES] = {};
	std::vector<double> latency_us;
};

[[noreturn]] void
usage()
{
	std::fprintf(stderr,
	    "usage: daytime_bench [-c concurrency] [-d seconds | -n count] "
	    "[-t timeout_ms] [--json] [--allow-remote] address [port]\n");
	std::exit(2);
}

Options
parse(int argc, char *argv[])
{
	Options o;
	std::vector<const char *> pos;

	for (int i = 1; i < argc; i++) {
		std::string a = argv[i];
		auto value = [&]() -> const char * {
			if (i + 1 >= argc)
				usage();
			return argv[++i];
		};
		if (a == "-c")
			o.concurrency = std::atoi(value());
		else if (a == "-d")
			o.seconds = std::atof(value());
		else if (a == "-n")
			o.count = std::atol(value());
		else if (a == "-t")
			o.timeout_ms = std::atoi(value());
		else if (a == "--json")
			o.json = true;
		else if (a == "--allow-remote")
			o.allow_remote = true;
		else if (a.size() > 1 && a[0] == '-')
			usage();
		else
			pos.push_back(argv[i]);
	}
	if (pos.empty() || pos.size() > 2 || o.concurrency < 1 ||
	    o.concurrency > 10000 || o.seconds <= 0 || o.count < 0 ||
	    o.timeout_ms < 1)
		usage();
	o.addr.sin_family = AF_INET;
	if (inet_pton(AF_INET, pos[0], &o.addr.sin_addr) != 1) {
		std::fprintf(stderr, "daytime_bench: not an IPv4 address: %s\n", pos[0]);
		std::exit(2);
	}
	int port = pos.size() == 2 ? std::atoi(pos[1]) : 13;
	if (port < 1 || port > 65535)
		usage();
	o.addr.sin_port = htons(static_cast<uint16_t>(port));
	if ((ntohl(o.addr.sin_addr.s_addr) >> 24) != 127 && !o.allow_remote) {
		std::fprintf(stderr, "daytime_bench: %s is outside the loopback "
		    "range 127.0.0.0/8; pass --allow-remote to load it anyway\n", pos[0]);
		std::exit(2);
	}
	return o;
}

double
percentile(const std::vector<double> &sorted, double p)
{
	if (sorted.empty())
		return 0;
	size_t i = static_cast<size_t>(p / 100 * static_cast<double>(sorted.size() - 1) + 0.5);
	return sorted[std::min(i, sorted.size() - 1)];
}

}  // namespace

int
main(int argc, char *argv[])
{
	Options o = parse(argc, argv);
	Stats st;
	std::vector<Slot> slots(static_cast<size_t>(o.concurrency));
	int ep = epoll_create1(EPOLL_CLOEXEC);
	long started = 0, finished = 0;
	bool progress = isatty(2) != 0 && !o.json;
	auto t0 = Clock::now();
	auto stop_starting = t0 + std::chrono::duration_cast<Clock::duration>(
	    std::chrono::duration<double>(o.seconds));
	auto timeout = std::chrono::milliseconds(o.timeout_ms);
	// With a count, the duration is only a bound: it always stops.
	if (o.count > 0)
		stop_starting = t0 + std::chrono::hours(1);
	auto hard_stop = stop_starting + timeout;
	auto next_report = t0 + std::chrono::seconds(1);

	if (ep < 0) {
		std::perror("daytime_bench: epoll_create1");
		return 1;
	}

	auto more = [&] {
		return Clock::now() < stop_starting && (o.count == 0 || started < o.count);
	};
	auto finish = [&](Slot &s, Outcome out) {
		epoll_ctl(ep, EPOLL_CTL_DEL, s.fd, nullptr);
		close(s.fd);
		s.fd = -1;
		st.outcome[out]++;
		if (out == GOOD)
			st.latency_us.push_back(std::chrono::duration<double, std::micro>(
			    Clock::now() - s.start).count());
		finished++;
	};
	auto begin = [&](Slot &s, size_t idx) {
		s.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
		s.start = Clock::now();
		s.len = 0;
		s.connected = false;
		started++;
		if (s.fd < 0) {
			st.outcome[OTHER]++;
			finished++;
			return;
		}
		int r = connect(s.fd, reinterpret_cast<struct sockaddr *>(&o.addr), sizeof o.addr);
		if (r < 0 && errno != EINPROGRESS) {
			finish(s, errno == ECONNREFUSED ? REFUSED : OTHER);
			return;
		}
		struct epoll_event ev {};
		ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP;
		ev.data.u64 = idx;
		epoll_ctl(ep, EPOLL_CTL_ADD, s.fd, &ev);
	};
	// Reads what is there; finishes the exchange at end of stream.
	auto on_ready = [&](Slot &s) {
		if (!s.connected) {
			int err = 0;
			socklen_t len = sizeof err;
			getsockopt(s.fd, SOL_SOCKET, SO_ERROR, &err, &len);
			if (err != 0) {
				finish(s, err == ECONNREFUSED ? REFUSED :
				    err == ECONNRESET ? RESET : OTHER);
				return;
			}
			s.connected = true;
		}
		for (;;) {
			char tmp[512];
			ssize_t n = read(s.fd, tmp, sizeof tmp);
			if (n > 0) {
				// Keep the first bytes; count them all.
				if (s.len < sizeof s.buf)
					std::memcpy(s.buf + s.len, tmp, std::min(
					    static_cast<size_t>(n), sizeof s.buf - s.len));
				s.len += static_cast<size_t>(n);
				continue;
			}
			if (n == 0) {
				finish(s, s.len < 26 ? SHORT : s.len > 26 ? LONG :
				    is_daytime_line(s.buf, s.len) ? GOOD : BAD);
			} else if (errno != EAGAIN) {
				finish(s, errno == ECONNRESET ? RESET :
				    errno == ECONNREFUSED ? REFUSED : OTHER);
			}
			return;
		}
	};

	for (size_t i = 0; i < slots.size() && more(); i++)
		begin(slots[i], i);

	std::vector<struct epoll_event> events(slots.size());
	for (;;) {
		bool busy = false;
		for (const Slot &s : slots)
			busy = busy || s.fd >= 0;
		if (!busy && !more())
			break;
		auto now = Clock::now();
		if (now > hard_stop)
			break;

		int n = epoll_wait(ep, events.data(), static_cast<int>(events.size()), 100);
		for (int i = 0; i < n; i++) {
			size_t idx = events[static_cast<size_t>(i)].data.u64;
			if (slots[idx].fd >= 0)
				on_ready(slots[idx]);
		}
		now = Clock::now();
		for (size_t i = 0; i < slots.size(); i++) {
			Slot &s = slots[i];
			if (s.fd >= 0 && now - s.start > timeout)
				finish(s, TIMED_OUT);
			if (s.fd < 0 && more())
				begin(s, i);
		}
		if (progress && now >= next_report) {
			double el = std::chrono::duration<double>(now - t0).count();
			std::fprintf(stderr, "\r%5.0f s  %ld good  %.0f/s  %ld failed   ",
			    el, st.outcome[GOOD], static_cast<double>(st.outcome[GOOD]) / el,
			    finished - st.outcome[GOOD]);
			next_report += std::chrono::seconds(1);
		}
	}
	// Whatever is still in flight at the hard stop has timed out.
	for (Slot &s : slots)
		if (s.fd >= 0)
			finish(s, TIMED_OUT);
	if (progress)
		std::fputs("\n", stderr);

	double elapsed = std::chrono::duration<double>(Clock::now() - t0).count();
	std::sort(st.latency_us.begin(), st.latency_us.end());
	double rate = static_cast<double>(st.outcome[GOOD]) / elapsed;
	const auto &l = st.latency_us;
	double p50 = percentile(l, 50), p90 = percentile(l, 90),
	    p99 = percentile(l, 99), pmax = l.empty() ? 0 : l.back();

	if (o.json) {
		std::printf("{\"concurrency\": %d, \"seconds\": %.3f, \"exchanges\": %ld, "
		    "\"exchanges_per_s\": %.1f, \"latency_us\": {\"p50\": %.1f, "
		    "\"p90\": %.1f, \"p99\": %.1f, \"max\": %.1f}, \"outcomes\": {",
		    o.concurrency, elapsed, finished, rate, p50, p90, p99, pmax);
		for (int k = 0; k < OUTCOMES; k++)
			std::printf("%s\"%s\": %ld", k != 0 ? ", " : "", outcome_name[k],
			    st.outcome[k]);
		std::printf("}}\n");
	} else {
		std::printf("%ld exchanges in %.2f s at concurrency %d: %ld good, "
		    "%.0f good/s\n", finished, elapsed, o.concurrency,
		    st.outcome[GOOD], rate);
		std::printf("latency us: p50 %.0f  p90 %.0f  p99 %.0f  max %.0f\n",
		    p50, p90, p99, pmax);
		std::printf("failures:");
		for (int k = 1; k < OUTCOMES; k++)
			std::printf(" %s %ld", outcome_name[k], st.outcome[k]);
		std::printf("\n");
	}
	return st.outcome[GOOD] == finished ? 0 : 1;
}
