// The inflater against zlib's own inflate, on the real and the generated
// bitstreams at the windows that matter, and on streams that are cut, corrupt
// or need more window than they get; and compressed configurations loaded
// into the FPGA model.
#include <gtest/gtest.h>
#include <zlib.h>

#include <sstream>
#include <string>
#include <vector>

#include "bitstream.h"
#include "configuration.h"
#include "deflate_raw.h"
#include "fpga_model.h"
#include "fpgabits_load.h"
#include "support.h"

namespace {

// A port that only collects what is sent, and answers as a device that
// configures at once.
struct Collector {
    std::string sent;
    bool low = false;
    std::uint32_t now = 0;
};

fpgabits_port collecting(Collector &c) {
    fpgabits_port port{};
    port.context = &c;
    port.prog_b = [](void *context, int level) { static_cast<Collector *>(context)->low = level == 0; };
    port.init_b = [](void *context) { return static_cast<Collector *>(context)->low ? 0 : 1; };
    port.done = [](void *context) { return static_cast<Collector *>(context)->sent.empty() ? 0 : 1; };
    port.send = [](void *context, const unsigned char *bytes, std::size_t count) {
        static_cast<Collector *>(context)->sent.append(reinterpret_cast<const char *>(bytes), count);
    };
    port.micros = [](void *context) { return static_cast<Collector *>(context)->now += 100; };
    return port;
}

// Inflates into the loader with a work area for window bytes and state
// bytes more (at an odd address), and checks the result and what was sent
// against zlib's.
void expect_agrees(const std::string &stream, int window_bits, const std::string &what, std::size_t chunk = 1,
                   std::size_t state = FPGABITS_INFLATE_STATE_SIZE) {
    SCOPED_TRACE(what + ", window " + std::to_string(1 << window_bits));
    std::string want;
    const bool valid = zlib_inflate(stream, -window_bits, want, chunk);
    std::vector<unsigned char> work((1u << window_bits) + state + 1);
    Collector c;
    const fpgabits_port port = collecting(c);
    const int result =
        fpgabits_load_deflate(&port, FPGABITS_SERIAL, stream.data(), stream.size(), work.data() + 1, work.size() - 1);
    if (valid) {
        ASSERT_EQ(result, FPGABITS_OK) << fpgabits_strerror(result);
        // The loader clocks 64 more bits after DONE.
        EXPECT_TRUE(support::same_text(c.sent, want + std::string(8, '\xff')));
    }
    // A stream that only reaches further back than the window is valid
    // with the largest one.
    std::string whole;
    const int error = zlib_inflate(stream, -15, whole, chunk) ? FPGABITS_ERR_WINDOW : FPGABITS_ERR_STREAM;
    if (!valid) {
        EXPECT_EQ(result, error) << fpgabits_strerror(result);
        EXPECT_EQ(c.sent, want.substr(0, c.sent.size()));
    }
    std::size_t size = 0;
    std::uint32_t crc = 0;
    // On an error, the figures are those of what zlib made before it.
    EXPECT_EQ(fpgabits_inflate_check(stream.data(), stream.size(), work.data() + 1, work.size() - 1, &size, &crc),
              valid ? FPGABITS_OK : error);
    EXPECT_EQ(size, want.size());
    EXPECT_EQ(crc, crc32(0, reinterpret_cast<const Bytef *>(want.data()), static_cast<uInt>(want.size())));
}

// A stream written field by field, each "value/bits", first bit first; "h"
// before the value marks a Huffman code, which goes most significant bit
// first: "1/1 1/2 h1/7" is a final block of fixed codes and the code of 257.
std::string deflate_fields(const std::string &fields) {
    std::string out;
    unsigned bit = 0;
    std::istringstream in(fields);
    for (std::string field; in >> field;) {
        const bool huffman = field[0] == 'h';
        const unsigned long value = std::stoul(field.substr(huffman ? 1 : 0));
        const unsigned long bits = std::stoul(field.substr(field.find('/') + 1));
        for (unsigned long i = 0; i < bits; ++i, ++bit) {
            if (bit % 8 == 0)
                out += '\0';
            if ((value >> (huffman ? bits - 1 - i : i) & 1) != 0)
                out.back() = static_cast<char>(out.back() | 1 << bit % 8);
        }
    }
    return out;
}

// Generated ones of three families; those of real toolchains have tests of
// their own below.
struct Bitstream {
    std::string type, data;
};

std::vector<Bitstream> generated() {
    std::vector<Bitstream> all;
    for (const char *type : {"7a35tcsg324", "6slx9tqg144", "3s500evq100"}) {
        fpga_device device{};
        fpga_device_of(type, &device);
        all.push_back({type, bitstream::configuration(device, 300000)});
    }
    return all;
}

// At 512 bytes, with the work area that the first release asked for: the
// window and 1,792 bytes, and smaller tables.
void expect_agrees_at_every_window(const std::string &data, const std::string &name) {
    for (int window_bits : {9, 10, 15})
        expect_agrees(deflate_raw(data, window_bits), window_bits, name, 4096,
                      window_bits == 9 ? 1792 : FPGABITS_INFLATE_STATE_SIZE);
}

// A compressed bitstream configures the model, and a corrupt stream leaves it
// unconfigured. kind: dynamic codes (0), fixed codes, a short end of block (1),
// or stored blocks (2).
void expect_loads_compressed(const std::string &type, const std::string &data, int kind) {
    std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1024));
    std::string stream =
        deflate_raw(data, 10, kind == 2 ? 0 : Z_BEST_COMPRESSION, kind == 1 ? Z_FIXED : Z_DEFAULT_STRATEGY);
    for (bool corrupt : {false, true}) {
        SCOPED_TRACE(corrupt ? "corrupt" : "whole");
        if (corrupt)
            stream[stream.size() / 2] ^= 0x21;
        fpga_model model{};
        ASSERT_TRUE(fpga_model_init(&model, type.c_str(), 1));
        model.dma = 1;
        fpgabits_port port{};
        fpga_model_port(&model, &port);
        const int result =
            fpgabits_load_deflate(&port, FPGABITS_PARALLEL8, stream.data(), stream.size(), work.data(), work.size());
        EXPECT_NE(result == FPGABITS_OK, corrupt) << fpgabits_strerror(result);
        EXPECT_NE(model.done, corrupt);
        EXPECT_EQ(fpga_model_violation(&model), nullptr) << fpga_model_violation(&model);
    }
}

TEST(Inflate, AgreesWithZlibOnGeneratedBitstreams) {
    for (const Bitstream &b : generated())
        expect_agrees_at_every_window(b.data, b.type);
}

TEST(Inflate, AgreesWithZlibOnEveryKindOfBlock) {
    const std::string random = bitstream::data(100000, 5);
    // Far repeats, to reach back across the whole window.
    const std::string repeats = random.substr(0, 20000) + random.substr(0, 20000) + random.substr(10000, 30000);
    // Dynamic block headers: 257 literal codes and one distance code (HLIT
    // and HDIST 0), then a code-length code of 18, 0 and 1 (lengths 1, 2, 2:
    // codes 0, 10, 11) that makes a literal code of 'A' and the end of the
    // block (codes 0 and 1).
    const std::string code_lengths = " 14/4 0/3 0/3 1/3 2/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3";
    const std::string header = "1/1 2/2 0/5 0/5" + code_lengths + " 2/3";
    const std::string lengths = " h0/1 54/7 h3/2 h0/1 127/7 h0/1 41/7 h3/2";
    const std::string two_a = " h0/1 h0/1 h1/1";
    // A dynamic block with distance codes of 1 to 15 bits, the longest for
    // distances from 24577 (13 extra bits): 32,767 bytes ('A' and 127
    // repeats of 258), then eight such distances at other bit positions.
    // Code lengths 1 to 15 and 18 (zeros) have codes of 4 bits, in order.
    const auto length = [](int n) { return " h" + std::to_string(n == 18 ? 15 : n - 1) + "/4"; };
    const auto zeros = [&length](int n) {
        std::string fields;
        for (; n > 0; n -= 138)
            fields += length(18) + " " + std::to_string(std::min(n, 138) - 11) + "/7";
        return fields;
    };
    std::string far = "1/1 2/2 29/5 29/5 15/4 0/3 0/3 4/3 0/3";
    for (int i = 0; i < 15; ++i)
        far += " 4/3";
    // 'A' 00, 'B' 110, the end of the block 01, lengths 3 (111) and 258 (10).
    far += zeros(65) + length(2) + length(3) + zeros(189) + length(2) + length(3) + zeros(27) + length(2);
    for (int i = 1; i <= 14; ++i)
        far += length(i);
    far += length(15) + zeros(14) + length(15) + " h0/2";
    for (int i = 0; i < 127; ++i)
        far += " h2/2 h0/1";
    for (int i = 0; i < 8; ++i) {
        for (int b = 0; b <= i; ++b)
            far += " h6/3";
        far += " h7/3 h32767/15 " + std::to_string(i * 1000) + "/13";
    }
    far += " h1/2";
    struct Case {
        const char *what;
        std::string stream;
        int window_bits;
    };
    const Case cases[] = {
        {"far distances of long codes", deflate_fields(far), 15},
        {"stored blocks", deflate_raw(random, 15, 0), 15},
        {"stored blocks, cut", deflate_raw(random, 15, 0).substr(0, 5000), 15},
        {"a block of type 3", deflate_fields("1/1 3/2 0/5 0/16 65535/16"), 15},
        {"fixed codes", deflate_raw(repeats, 15, 9, Z_FIXED), 15},
        {"dynamic codes, literals only", deflate_raw(repeats, 15, 9, Z_HUFFMAN_ONLY), 15},
        {"far repeats", deflate_raw(repeats, 15), 15},
        {"far repeats with too small a window", deflate_raw(repeats, 15), 10},
        {"a repeat just past the window", deflate_raw(random.substr(0, 600) + random.substr(0, 600), 15), 9},
        {"a window and one byte", deflate_raw(random.substr(0, 1025), 9), 9},
        {"a distance before the first byte", deflate_fields("1/1 1/2 h1/7 h0/5"), 15},
        // 'A' and 'B', then 4 bytes from 2 back.
        {"a repeat of the last two bytes", deflate_fields("1/1 1/2 h113/8 h114/8 h2/7 h1/5 h0/7"), 15},
        // 'A', then 3 bytes from 1 back, and no end of the block but its first bit.
        {"a repeat of the first byte, cut in the end of the block", deflate_fields("1/1 1/2 h113/8 h1/7 h0/5"), 15},
        {"literal 286 of the fixed code", deflate_fields("1/1 1/2 h198/8"), 15},
        {"literal 287 of the fixed code", deflate_fields("1/1 1/2 h199/8"), 15},
        {"a stored block whose length does not match", deflate_fields("1/1 0/2 0/5 5/16 0/16 0/32 0/8"), 15},
        {"a stored block with ones in its padding", deflate_fields("1/1 0/2 31/5 2/16 65533/16 65/8 65/8"), 15},
        {"287 literal codes",
         deflate_fields("1/1 2/2 30/5 0/5" + code_lengths + " 2/3" + lengths + " h0/1 19/7 h2/2" + two_a), 15},
        {"31 distance codes",
         deflate_fields("1/1 2/2 0/5 30/5" + code_lengths + " 2/3" + lengths + " h0/1 20/7" + two_a), 15},
        {"repeat 16 first", deflate_fields("1/1 2/2 0/5 0/5 0/4 1/3 1/3 0/3 0/3 h0/1 0/2 0/32"), 15},
        {"a repeat past the last length", deflate_fields(header + lengths + " h0/1 0/7" + two_a), 15},
        // The code of 1 is 110 instead of 11.
        {"an incomplete code-length code",
         deflate_fields("1/1 2/2 0/5 0/5" + code_lengths + " 3/3 h0/1 54/7 h6/3 h0/1 127/7 h0/1 41/7 h6/3 h2/2" +
                        two_a),
         15},
        {"a dynamic block cut in its code lengths", deflate_fields(header + " h1/1"), 15},
        {"no distance code", deflate_fields(header + lengths + " h2/2" + two_a), 15},
        {"a single distance code", deflate_fields(header + lengths + " h3/2" + two_a), 15},
        {"a literal code with no end of the block",
         deflate_fields(header + " h0/1 54/7 h3/2 h0/1 127/7 h0/1 42/7 h2/2" + two_a), 15},
        {"a literal code with three codes of one bit",
         deflate_fields(header + " h0/1 54/7 h3/2 h3/2 h0/1 126/7 h0/1 41/7 h3/2 h2/2" + two_a), 15},
        // A code-length code of 18, 2, 0 and 1 (codes 0, 10, 110, 111), and
        // a literal code of 'A' (code 0) and the end of the block (10).
        {"an incomplete literal code of two lengths",
         deflate_fields("1/1 2/2 0/5 0/5 14/4 0/3 0/3 1/3 3/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 0/3 2/3 0/3 3/3"
                        " h0/1 54/7 h7/3 h0/1 127/7 h0/1 41/7 h2/2 h6/3 h0/1 h0/1 h2/2"),
         15},
    };
    // Each again with bytes after it, for the loop that reads words ahead.
    for (const Case &c : cases) {
        expect_agrees(c.stream, c.window_bits, c.what);
        expect_agrees(c.stream + std::string(16, '\0'), c.window_bits, std::string(c.what) + ", and more");
    }
}

TEST(Inflate, RefusesCutAndCorruptStreams) {
    fpga_device device{};
    fpga_device_of("7a35tcsg324", &device);
    const std::string stream = deflate_raw(bitstream::configuration(device, 50000), 10);
    // Cuts in every part of a code and its extra bits.
    std::vector<std::size_t> cuts = {0, 1, 2, stream.size() - 1};
    for (std::size_t i = 0; i < 32; ++i)
        cuts.push_back(stream.size() / 2 + i);
    for (std::size_t cut : cuts)
        expect_agrees(stream.substr(0, cut), 10, "cut at " + std::to_string(cut));
    for (std::size_t at = 0; at < stream.size(); at += stream.size() / 40) {
        std::string corrupt = stream;
        corrupt[at] = static_cast<char>(corrupt[at] ^ 0x5a);
        expect_agrees(corrupt, 10, "corrupt at " + std::to_string(at));
    }
    // A work area serves the largest power of two that fits after its state,
    // from 512 bytes, at any alignment; one of the size that the first
    // release asked for, the window and 1,792 bytes, with smaller tables.
    const std::string far = deflate_raw(bitstream::data(3000, 7).substr(0, 1024) + bitstream::data(3000, 7), 15);
    std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1024) + 7);
    std::size_t size = 0;
    std::uint32_t crc = 0;
    struct Case {
        std::size_t offset, size;
        int want;
    };
    for (const Case &c :
         {Case{0, FPGABITS_INFLATE_WORK_SIZE(1024), FPGABITS_OK},
          Case{7, FPGABITS_INFLATE_WORK_SIZE(1024), FPGABITS_OK}, Case{3, 1024 + 1792, FPGABITS_OK},
          Case{3, 1024 + 1791, FPGABITS_ERR_WINDOW}, Case{1, FPGABITS_INFLATE_WORK_SIZE(512), FPGABITS_ERR_WINDOW},
          Case{1, 512 + 1791, FPGABITS_ERR_ARGUMENT}, Case{0, 0, FPGABITS_ERR_ARGUMENT}})
        EXPECT_EQ(fpgabits_inflate_check(far.data(), far.size(), c.size > 0 ? work.data() + c.offset : nullptr, c.size,
                                         &size, &crc),
                  c.want)
            << c.size << " bytes at " << c.offset;
}

// Each kind of block in turn.
TEST(Inflate, LoadsCompressedBitstreamsIntoTheModel) {
    int kind = 0;
    for (const Bitstream &b : generated()) {
        SCOPED_TRACE(b.type);
        expect_loads_compressed(b.type, b.data, kind++);
    }
    // All the data in stored blocks, none of them final, then a block of the
    // reserved type: the device configured, and reset again by the error.
    const std::string data = generated()[0].data;
    std::string stream;
    for (std::size_t at = 0; at < data.size(); at += 65535) {
        const std::size_t n = std::min<std::size_t>(65535, data.size() - at);
        for (std::size_t byte : {std::size_t{0}, n & 0xff, n >> 8, ~n & 0xff, ~n >> 8 & 0xff})
            stream += static_cast<char>(byte);
        stream += data.substr(at, n);
    }
    stream += '\x07';
    std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1024));
    for (fpgabits_interface interface : {FPGABITS_SERIAL, FPGABITS_JTAG}) {
        fpga_model model{};
        ASSERT_TRUE(fpga_model_init(&model, "7a35tcsg324", 0));
        fpgabits_port port{};
        fpga_model_port(&model, &port);
        EXPECT_EQ(fpgabits_load_deflate(&port, interface, stream.data(), stream.size(), work.data(), work.size()),
                  FPGABITS_ERR_STREAM);
        EXPECT_FALSE(model.done);
        EXPECT_EQ(interface == FPGABITS_JTAG ? model.jprograms : model.prog_b_pulses, 2u);
    }
}

// Each bitstream that a real toolchain made, where the folder of them is
// present, in tests of its own.
class InflateReal : public ::testing::TestWithParam<support::RealBitstream> {};

TEST_P(InflateReal, AgreesWithZlib) {
    if (GetParam().path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    const std::string file = support::read_file(GetParam().path);
    expect_agrees_at_every_window(std::string(bitstream::parse(file).data), GetParam().name);
}

// The files take the kinds of block in turn.
TEST_P(InflateReal, LoadsCompressedIntoTheModel) {
    if (GetParam().path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    const std::string file = support::read_file(GetParam().path);
    const bitstream::Parsed parsed = bitstream::parse(file);
    expect_loads_compressed(parsed.texts[1], std::string(parsed.data), static_cast<int>(GetParam().index % 3));
}

INSTANTIATE_TEST_SUITE_P(Real, InflateReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::light)),
                         support::real_name);
INSTANTIATE_TEST_SUITE_P(Heavy, InflateReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::heavy)),
                         support::real_name);

} // namespace
