// Preloaded into the server by the tests to make its clock fail once: the
// first call of time() returns DAYTIME_TEST_TIME (-1, or a time ctime
// cannot show); every later call reads the real clock.
#include <cstdlib>
#include <ctime>

extern "C" time_t
time(time_t *t)
{
	static const char *first = std::getenv("DAYTIME_TEST_TIME");
	struct timespec now = {};
	time_t v;

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
