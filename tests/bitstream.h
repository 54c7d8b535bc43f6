// Builds bitstream files in memory, for the tests and the sample generator,
// and reads them with a parser of its own, to check the converter against.
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

// What a correct converter makes of a file.
struct Parsed {
    bool recognised = false;
    bool complete = false; // the length word and all the data it announces are there
    std::string texts[4];  // name, device, date, time, cut as the buffers cut them
    std::string_view data; // as much of the data as the file holds
};

// A header text as a buffer of size bytes keeps it: whole when it fits with
// its terminating zero; otherwise up to the last ';' among its first size
// bytes, if there is one after the first byte; otherwise its first size-1 bytes.
inline std::string kept_text(std::string_view field, std::size_t size) {
    const std::string_view whole = field.substr(0, field.find('\0'));
    if (whole.size() < size)
        return std::string(whole);
    const std::size_t semicolon = whole.substr(0, size).rfind(';');
    return std::string(whole.substr(0, semicolon != std::string_view::npos && semicolon > 0 ? semicolon : size - 1));
}

inline Parsed parse(std::string_view in) {
    Parsed p;
    std::size_t at = 0;
    const auto has = [&](std::size_t n) { return at + n <= in.size(); };
    const auto byte = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(in[i])); };
    if (!has(13) || byte(0) != 0 || byte(1) != 9 || byte(11) != 0 || byte(12) != 1)
        return p;
    at = 13;
    const std::size_t sizes[4] = {32, 32, 16, 16};
    for (int i = 0; i < 4; ++i) {
        if (!has(3) || in[at] != "abcd"[i])
            return p;
        const std::size_t length = byte(at + 1) << 8 | byte(at + 2);
        at += 3;
        if (!has(length))
            return p;
        p.texts[i] = kept_text(in.substr(at, length), sizes[i]);
        at += length;
    }
    if (!has(1) || in[at] != 'e')
        return p;
    p.recognised = true;
    ++at;
    if (!has(4))
        return p;
    const std::uint32_t length = byte(at) << 24 | byte(at + 1) << 16 | byte(at + 2) << 8 | byte(at + 3);
    at += 4;
    p.data = in.substr(at, length);
    p.complete = p.data.size() == length;
    return p;
}

} // namespace bitstream

#endif
