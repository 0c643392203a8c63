// Fuzzes addrdump as a user reaches it: any bytes on its standard input,
// and always the two prompts and a 16-byte dump on its standard output,
// with status 0.  addrdump.cpp is built into this target with its main
// renamed addrdump_main (fuzz/CMakeLists.txt); its standard streams are
// streams over this input and a buffer for each run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

int addrdump_main();

extern "C" int
LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const char prompts[] = "port : address : ";
	char out[256];
	FILE *in = size != 0 ?
	    fmemopen(const_cast<uint8_t *>(data), size, "r") :
	    std::tmpfile();
	FILE *o = fmemopen(out, sizeof out, "w");
	FILE *saved_in = stdin, *saved_out = stdout;

	if (in == nullptr || o == nullptr)
		std::abort();
	stdin = in;
	stdout = o;
	int status = addrdump_main();
	stdin = saved_in;
	stdout = saved_out;
	long len = std::ftell(o);
	std::fclose(o);
	std::fclose(in);

	// Prompts, 16 bytes as "xx ", three newlines, no final newline.
	if (status != 0 || len != 68 || std::memcmp(out, prompts, 17) != 0)
		std::abort();
	int newlines = 0;
	for (long i = 17; i < len; i++)
		newlines += out[i] == '\n';
	if (newlines != 3 || out[len - 1] != ' ' ||
	    std::memcmp(out + 17, "02 00 ", 6) != 0)
		std::abort();
	return 0;
}
