// Fuzzes the error module's line building: any message, any error
// number, either entry point's path, lengths around the 4095-character
// limit.  Checks the shape of every line it builds.
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "err_line.h"
#include "netcommon.h"

namespace {

[[gnu::format(printf, 4, 5)]] size_t
build(char *buf, int errnoflag, int errnum, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	size_t n = err_line(buf, errnoflag, errnum, fmt, ap);
	va_end(ap);
	return n;
}

void
check(bool ok)
{
	if (!ok)
		std::abort();
}

}  // namespace

// Input: flag byte, 4 bytes of error number, length byte, message bytes.
extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	if (size < 6)
		return 0;
	int errnoflag = data[0] & 1;
	int errnum;
	std::memcpy(&errnum, data + 1, sizeof errnum);
	std::string msg(reinterpret_cast<const char *>(data + 6), size - 6);
	msg = msg.substr(0, msg.find('\0'));
	// Half the inputs are stretched to land near the buffer's limit.
	if ((data[5] & 1) != 0 && !msg.empty())
		while (msg.size() < 4064u + (data[5] >> 2))
			msg += msg;

	char buf[MAX_TEXT_LINE + 1 + 16];
	std::memset(buf, 0x55, sizeof buf);
	// Both a plain string and a precision-bound one go through vsnprintf.
	size_t n = (data[0] & 2) != 0 ?
	    build(buf, errnoflag, errnum, "%s", msg.c_str()) :
	    build(buf, errnoflag, errnum, "%.*s", static_cast<int>(msg.size()),
		msg.c_str());

	size_t kept = msg.size() < 4095 ? msg.size() : 4095;
	check(n == std::strlen(buf) && n >= 1 && n <= MAX_TEXT_LINE);
	check(buf[n - 1] == '\n');
	check(std::memcmp(buf, msg.data(), kept) == 0);
	check(static_cast<unsigned char>(buf[MAX_TEXT_LINE + 1]) == 0x55);
	if (errnoflag == 0) {
		check(n == kept + 1);
	} else {
		std::string suffix = std::string(": ") + std::strerror(errnum);
		size_t room = 4095 - kept;
		size_t shown = suffix.size() < room ? suffix.size() : room;
		check(n == kept + shown + 1);
		check(std::memcmp(buf + kept, suffix.data(), shown) == 0);
	}
	return 0;
}
