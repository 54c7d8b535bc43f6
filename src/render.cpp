#include "render.h"

#include <array>
#include <cstring>

#ifdef FPGABITS_HAVE_SSSE3_PATH
#include <tmmintrin.h>
#endif

namespace render {

namespace {

// "00" to "ff", two characters for each byte value.
constexpr std::array<char, 512> hex_pairs = [] {
    std::array<char, 512> pairs{};
    const char digits[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 256; ++i) {
        pairs[2 * i] = digits[i >> 4];
        pairs[2 * i + 1] = digits[i & 15];
    }
    return pairs;
}();

constexpr char line_template[] = "\t0x00,0x00,0x00,0x00,0x00,0x00,0x00,0x00,\n";
static_assert(sizeof line_template - 1 == line_size);

// Fills in the hex digits of n items of a line that starts at out.
void digits(const unsigned char *in, std::size_t n, char *out) {
    for (std::size_t i = 0; i < n; ++i)
        std::memcpy(out + 3 + 5 * i, &hex_pairs[2 * std::size_t{in[i]}], 2);
}

} // namespace

std::size_t lines_portable(const unsigned char *in, std::size_t n, char *out) {
    char *const start = out;
    for (; n >= items_per_line; n -= items_per_line, in += items_per_line) {
        std::memcpy(out, line_template, line_size);
        digits(in, items_per_line, out);
        out += line_size;
    }
    // A last line of fewer items: the start of the template, left open.
    if (n > 0) {
        std::memcpy(out, line_template, 1 + 5 * n);
        digits(in, n, out);
        out += 1 + 5 * n;
    }
    return static_cast<std::size_t>(out - start);
}

#ifdef FPGABITS_HAVE_SSSE3_PATH

bool ssse3_supported() {
    return __builtin_cpu_supports("ssse3");
}

// Each line is three 16-byte stores: the fixed characters of the line, with
// the sixteen hex digits of its eight bytes shuffled into their places.
__attribute__((target("ssse3"))) std::size_t lines_ssse3(const unsigned char *in, std::size_t n, char *out) {
    char *const start = out;
    const __m128i digits =
        _mm_setr_epi8('0', '1', '2', '3', '4', '5', '6', '7', '8', '9', 'a', 'b', 'c', 'd', 'e', 'f');
    const __m128i low_nibbles = _mm_set1_epi8(15);
    // The line in three parts, zero where a digit goes; -1 in a shuffle
    // selects a zero byte.
    const __m128i fixed0 = _mm_setr_epi8('\t', '0', 'x', 0, 0, ',', '0', 'x', 0, 0, ',', '0', 'x', 0, 0, ',');
    const __m128i fixed1 = _mm_setr_epi8('0', 'x', 0, 0, ',', '0', 'x', 0, 0, ',', '0', 'x', 0, 0, ',', '0');
    const __m128i fixed2 = _mm_setr_epi8('x', 0, 0, ',', '0', 'x', 0, 0, ',', '\n', 0, 0, 0, 0, 0, 0);
    const __m128i place0 = _mm_setr_epi8(-1, -1, -1, 0, 1, -1, -1, -1, 2, 3, -1, -1, -1, 4, 5, -1);
    const __m128i place1 = _mm_setr_epi8(-1, -1, 6, 7, -1, -1, -1, 8, 9, -1, -1, -1, 10, 11, -1, -1);
    const __m128i place2 = _mm_setr_epi8(-1, 12, 13, -1, -1, -1, 14, 15, -1, -1, -1, -1, -1, -1, -1, -1);
    // The last store of a line writes six bytes past it: keep the last line
    // for the portable code, which writes none.
    for (; n > items_per_line; n -= items_per_line, in += items_per_line) {
        const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i *>(in));
        const __m128i high = _mm_and_si128(_mm_srli_epi16(bytes, 4), low_nibbles);
        const __m128i low = _mm_and_si128(bytes, low_nibbles);
        const __m128i hex = _mm_shuffle_epi8(digits, _mm_unpacklo_epi8(high, low));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_or_si128(fixed0, _mm_shuffle_epi8(hex, place0)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_or_si128(fixed1, _mm_shuffle_epi8(hex, place1)));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 32), _mm_or_si128(fixed2, _mm_shuffle_epi8(hex, place2)));
        out += line_size;
    }
    return static_cast<std::size_t>(out - start) + lines_portable(in, n, out);
}

// Asking costs a load of a flag the runtime sets at start-up, so it is asked
// for every block rather than cached in a static that would need a guard.
std::size_t lines(const unsigned char *in, std::size_t n, char *out) {
    return ssse3_supported() ? lines_ssse3(in, n, out) : lines_portable(in, n, out);
}

#else

std::size_t lines(const unsigned char *in, std::size_t n, char *out) {
    return lines_portable(in, n, out);
}

#endif

} // namespace render
