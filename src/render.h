// Rendering of configuration data as array items: "\t0xNN,0xNN,...,\n", eight
// items a line. Used by the converter, its tests and its benchmark.
#ifndef FPGABITS_RENDER_H
#define FPGABITS_RENDER_H

#include <cstddef>

namespace render {

constexpr std::size_t items_per_line = 8;
constexpr std::size_t line_size = 42; // "\t" + 8 * "0xNN," + "\n"

// The converter reads data in blocks of whole lines, so that every block
// renders from the start of a line.
constexpr std::size_t block_size = std::size_t{256} * 1024;
static_assert(block_size % items_per_line == 0);

// Largest output that n input bytes can render to.
constexpr std::size_t max_output(std::size_t n) noexcept {
    return (n + items_per_line - 1) / items_per_line * line_size;
}

// Writes n bytes as items, starting at the start of a line, into out, which
// holds at least max_output(n) bytes. Full lines end in a line feed; a last
// partial line is left open. Returns the number of bytes written. Uses the
// fastest of the versions below that the processor supports.
std::size_t lines(const unsigned char *in, std::size_t n, char *out);

// The same in standard C++ alone.
std::size_t lines_portable(const unsigned char *in, std::size_t n, char *out);

#if defined(__x86_64__) || defined(__i386__)
#define FPGABITS_HAVE_SSSE3_PATH 1
// The same with SSSE3 byte shuffles; call it only where ssse3_supported().
std::size_t lines_ssse3(const unsigned char *in, std::size_t n, char *out);
bool ssse3_supported();
#endif

} // namespace render

#endif
