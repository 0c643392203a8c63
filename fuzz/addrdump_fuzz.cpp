// Fuzzes addrdump's handling of its standard input: any bytes in, and
// always the two prompts and a 16-byte dump out, with status 0.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "addrdump.h"

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char prompts[] = "port : address : ";
	char out[256];
	auto *bytes = const_cast<uint8_t *>(data);
	FILE *in = size != 0 ? fmemopen(bytes, size, "r") : std::tmpfile();
	FILE *o = fmemopen(out, sizeof out, "w");
	FILE *err = std::fopen("/dev/null", "w");

	if (in == nullptr || o == nullptr || err == nullptr)
		std::abort();
	if (addrdump(in, o, err) != 0)
		std::abort();
	long len = std::ftell(o);
	std::fclose(o);
	std::fclose(in);
	std::fclose(err);

	// Prompts, 16 bytes as "xx ", three newlines, no final newline.
	if (len != 68 || std::memcmp(out, prompts, 17) != 0)
		std::abort();
	int newlines = 0;
	for (long i = 17; i < len; i++)
		newlines += out[i] == '\n';
	if (newlines != 3 || out[len - 1] != ' ' ||
	    std::memcmp(out + 17, "02 00 ", 6) != 0)
		std::abort();
	return 0;
}
