// Builds bitstream files in memory, for the tests and the sample generator.
#ifndef FPGABITS_TESTS_BITSTREAM_H
#define FPGABITS_TESTS_BITSTREAM_H

#include <cstdint>
#include <string>
#include <string_view>

namespace bitstream {

// The nine bytes that real files carry behind the leading length.
inline constexpr std::string_view lead("\x0f\xf0\x0f\xf0\x0f\xf0\x0f\xf0\x00", 9);

inline void put16(std::string &out, std::uint32_t value) {
    out += static_cast<char>(value >> 8 & 0xff);
    out += static_cast<char>(value & 0xff);
}

inline void put32(std::string &out, std::uint32_t value) {
    put16(out, value >> 16);
    put16(out, value & 0xffff);
}

// A field as real toolchains write it: the text and a terminating zero byte.
inline std::string text(const std::string &s) {
    return s + '\0';
}

// The header up to and including the 'e' tag, from the raw bytes of the four
// fields.
inline std::string header(const std::string &name, const std::string &device, const std::string &date,
                          const std::string &time) {
    std::string out;
    put16(out, 9);
    out += lead;
    put16(out, 1);
    const char tags[] = "abcd";
    const std::string *fields[] = {&name, &device, &date, &time};
    for (int i = 0; i < 4; ++i) {
        out += tags[i];
        put16(out, static_cast<std::uint32_t>(fields[i]->size()));
        out += *fields[i];
    }
    out += 'e';
    return out;
}

// Configuration data that looks like the real thing: padding, the sync word,
// then pseudo-random bytes.
inline std::string data(std::size_t size, std::uint32_t seed = 1) {
    static const std::string start("\xff\xff\xff\xff\xff\xff\xff\xff\xaa\x99\x55\x66", 12);
    std::string out = start.substr(0, size);
    std::uint32_t state = seed * 2654435761u + 1;
    while (out.size() < size) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        out += static_cast<char>(state >> 24);
    }
    return out;
}

// A complete file: header, length word and data.
inline std::string file(const std::string &head, const std::string &bytes) {
    std::string out = head;
    put32(out, static_cast<std::uint32_t>(bytes.size()));
    return out + bytes;
}

} // namespace bitstream

#endif
