// Preloaded into the server by the tests to set its clock once: the first
// call of time() returns DAYTIME_TEST_TIME (a reading in seconds, or
// "fail" for a clock that cannot be read: -1 with an error number); every
// later call reads the real clock.
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

extern "C" time_t
time(time_t *t)
{
	static const char *first = std::getenv("DAYTIME_TEST_TIME");
	struct timespec now = {};
	time_t v;

	if (first != nullptr && std::strcmp(first, "fail") == 0) {
		first = nullptr;
		errno = EOVERFLOW;
		return -1;
	}
	if (first != nullptr) {
		v = std::strtoll(first, nullptr, 10);
		first = nullptr;
	} else {
		clock_gettime(CLOCK_REALTIME, &now);
		v = now.tv_sec;
	}
	if (t != nullptr)
		*t = v;
	return v;
}
