// The daytime reply's layout: "Www Mmm dd hh:mm:ss yyyy\r\n", 26 bytes.
#ifndef REPLY_CHECK_H
#define REPLY_CHECK_H

#include <cstddef>
#include <cstring>

inline bool
is_daytime_line(const char *s, size_t len)
{
	static const char days[] = "SunMonTueWedThuFriSat";
	static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
	auto in = [](const char *list, const char *word) {
		for (const char *p = list; *p != '\0'; p += 3)
			if (std::memcmp(p, word, 3) == 0)
				return true;
		return false;
	};
	auto digits = [&](size_t from, size_t n) {
		for (size_t i = from; i < from + n; i++)
			if (s[i] < '0' || s[i] > '9')
				return false;
		return true;
	};

	return len == 26 && in(days, s) && s[3] == ' ' && in(months, s + 4) &&
	    s[7] == ' ' && (s[8] == ' ' || (s[8] >= '1' && s[8] <= '3')) &&
	    digits(9, 1) && s[10] == ' ' && digits(11, 2) && s[13] == ':' &&
	    digits(14, 2) && s[16] == ':' && digits(17, 2) && s[19] == ' ' &&
	    digits(20, 4) && s[24] == '\r' && s[25] == '\n';
}

#endif
