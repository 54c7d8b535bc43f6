// Configuration data as a toolchain lays it out for a device, for the sample,
// the examples and the loader's tests.
#ifndef FPGABITS_TESTS_CONFIGURATION_H
#define FPGABITS_TESTS_CONFIGURATION_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>

#include "bitstream.h"
#include "fpga_model.h"

namespace bitstream {

// The stream of a full configuration, shortened: padding, the sync word, a
// reset of the CRC, the IDCODE, frames (pseudo-random words, most of them
// zero, as in real designs), the CRC checks of the device's family, start-up
// and the end of the session. It has exactly size bytes: the frames fill what
// the packets leave, and 0xff bytes a last part of a word; a size too small
// for the packets cuts the stream. With usr_access, a 32C stream writes it to
// the user-access register (AXSS) after the IDCODE, as a toolchain's option
// does.
inline std::string configuration(const fpga_device &device, std::size_t size, std::uint32_t seed = 1,
                                 std::optional<std::uint32_t> usr_access = std::nullopt) {
    const bool wide = device.group != FPGA_22F && device.group != FPGA_22H;
    const unsigned command = wide ? 4 : 5;
    const std::size_t word_size = wide ? 4 : 2;

    const auto make = [&](std::size_t frame_words) {
        std::string out;
        std::uint32_t crc = 0;
        const auto raw = [&](std::uint32_t word) { wide ? put32(out, word) : put16(out, word); };
        const auto add = [&](unsigned reg, std::uint32_t word) {
            switch (device.group) {
            case FPGA_32C: crc = fpga_crc32c(crc, reg, word); break;
            case FPGA_16A: crc = fpga_crc16(crc, 5, reg, word); break;
            case FPGA_16N: crc = fpga_crc16(crc, 4, reg, word); break;
            default: crc = fpga_crc22(crc, reg, word); break;
            }
        };
        // A type 1 write; a write of 7 to the command register resets the CRC.
        const auto write = [&](unsigned reg, std::initializer_list<std::uint32_t> words) {
            const auto count = static_cast<std::uint32_t>(words.size());
            raw(wide ? 0x30000000u | reg << 13 | count : 0x3000u | reg << 5 | count);
            for (std::uint32_t word : words) {
                raw(word);
                add(reg, word);
            }
            if (reg == command && *words.begin() == 7)
                crc = 0;
        };
        // A write to the CRC register, which the 32-bit streams start again after.
        const auto check = [&] {
            if (wide) {
                raw(0x30000001);
                raw(crc);
                crc = 0;
            } else {
                raw(0x3002);
                raw(crc >> 16);
                raw(crc & 0xffff);
            }
        };

        const std::string pad4(4, '\xff');
        if (device.group == FPGA_22F)
            out = std::string(16, '\xff') + "\xaa\x99\x55\x66";
        else if (device.group == FPGA_22H)
            out = std::string(32, '\xff') + "\xaa\x99";
        else if (device.group != FPGA_32C || device.generation == 0)
            out = pad4 + "\xaa\x99\x55\x66";
        else
            out = std::string(device.generation < 3 ? 32 : 64, '\xff') + std::string("\0\0\0\xbb\x11\x22\0\x44", 8) +
                  pad4 + pad4 + "\xaa\x99\x55\x66";
        if (wide)
            raw(0x20000000);
        write(command, {7});
        if (device.group == FPGA_16A || device.group == FPGA_16N)
            write(0x0b, {0x60});
        if (device.group == FPGA_32C)
            write(0x0c, {device.idcode});
        else if (device.group == FPGA_16A)
            write(0x0e, {device.idcode});
        else if (!wide)
            write(0x0e, {device.idcode >> 16, device.idcode & 0xffff});
        if (usr_access && device.group == FPGA_32C)
            write(0x0d, {*usr_access});
        write(command, {1});
        if (wide)
            write(1, {0});
        else
            write(1, {0, 0});

        const unsigned frames = wide ? 2 : 3;
        if (wide) {
            raw(0x30004000);
            raw(0x50000000u | static_cast<std::uint32_t>(frame_words));
        } else {
            raw(0x5060);
            raw(static_cast<std::uint32_t>(frame_words >> 16));
            raw(static_cast<std::uint32_t>(frame_words & 0xffff));
        }
        std::uint32_t state = seed * 2654435761u + 1;
        const auto next = [&] {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            return state;
        };
        for (std::size_t i = 0; i < frame_words; ++i) {
            const std::uint32_t word = (next() & 7) == 0 ? next() & (wide ? 0xffffffffu : 0xffffu) : 0;
            raw(word);
            add(frames, word);
        }
        // Frame data is followed by a CRC word without a header in one family,
        // by two in another, and by a CRC write in the rest.
        if (device.group == FPGA_16A) {
            raw(crc);
            crc = 0;
        } else if (device.group == FPGA_22F) {
            raw(crc >> 16);
            raw(crc & 0xffff);
        } else {
            check();
        }
        write(command, {5});
        check();
        if (device.group == FPGA_16N)
            out += std::string(16, '\0');
        else
            write(command, {0x0d});
        return out;
    };

    const std::size_t packets = make(0).size();
    std::string out = make(size > packets ? (size - packets) / word_size : 0);
    if (out.size() > size)
        out.resize(size);
    return out + std::string(size - out.size(), '\xff');
}

} // namespace bitstream

#endif
