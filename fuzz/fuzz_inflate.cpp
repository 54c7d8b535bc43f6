// Fuzz target: inflates arbitrary bytes with the loader's inflater and with
// zlib, and checks that they agree: the same verdict, the same size and
// CRC-32 of the output, and on an error no more output than zlib made before
// it, which is a window error where zlib goes further with the largest
// window. The first byte chooses the window (512 to 32768 bytes) and how the work
// area is misaligned; the work area is allocated to its exact size, so that
// the sanitizer sees any access outside it.
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "deflate_raw.h"
#include "fpgabits_load.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    if (size == 0)
        return 0;
    const int window_bits = 9 + bytes[0] % 7;
    const std::size_t misalignment = bytes[0] >> 3 & 7;
    const std::vector<std::uint8_t> stream(bytes + 1, bytes + size);
    std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1u << window_bits) + misalignment);

    std::size_t inflated = 0;
    std::uint32_t crc = 0;
    const int result = fpgabits_inflate_check(stream.data(), stream.size(), work.data() + misalignment,
                                              work.size() - misalignment, &inflated, &crc);
    check(result == FPGABITS_OK || result == FPGABITS_ERR_STREAM || result == FPGABITS_ERR_WINDOW,
          "the result is OK or a stream or window error");

    std::string want;
    std::string whole;
    const std::string_view input(reinterpret_cast<const char *>(stream.data()), stream.size());
    const bool valid = zlib_inflate(input, -window_bits, want);
    check(valid == (result == FPGABITS_OK), "zlib and the inflater agree on the stream");
    zlib_inflate(input, -15, whole);
    check((result == FPGABITS_ERR_WINDOW) == (!valid && whole.size() > want.size()),
          "a window error where the largest window goes further");
    check(inflated <= want.size(), "no more output than zlib makes");
    check(crc == crc32(0, reinterpret_cast<const Bytef *>(want.data()), static_cast<uInt>(inflated)),
          "the same output as zlib");
    check(!valid || inflated == want.size(), "all of the output");
    return 0;
}
