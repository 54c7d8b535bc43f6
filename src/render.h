// Rendering of configuration data as array items, shared by the converter,
// its tests and its benchmark.
#ifndef FPGABITS_RENDER_H
#define FPGABITS_RENDER_H

#include <cstddef>

namespace render {

constexpr std::size_t items_per_line = 8;
constexpr std::size_t line_size = 42; // "\t" + 8 * "0xNN," + "\n"

// Largest output that n input bytes can render to.
constexpr std::size_t max_output(std::size_t n) {
    return (n + items_per_line - 1) / items_per_line * line_size;
}

// Writes n bytes as items, starting at the start of a line, into out, which
// holds at least max_output(n) bytes. Full lines end in a line feed; a last
// partial line is left open. Returns the number of bytes written.
std::size_t lines(const unsigned char *in, std::size_t n, char *out);

} // namespace render

#endif
