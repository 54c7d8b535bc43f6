// The image reader against the FPGA model, zlib and the tool's own reading
// of the header: every bitstream as a bitstream file, as gzip files of
// several windows and makers, and as raw data, in chunks of any size, loaded
// over both interfaces and checked; and images that are cut, corrupt or for
// another device, refused, before the reset wherever that can be known.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <random>
#include <string>
#include <vector>

#include "bitstream.h"
#include "configuration.h"
#include "deflate_raw.h"
#include "fpga_model.h"
#include "fpgabits_load.h"
#include "support.h"

namespace {

// A gzip file of data made by zlib at its best level, with every optional
// header field where asked.
std::string gzip(const std::string &data, int window_bits, bool all_fields = false) {
    static unsigned char extra[] = "fb\4\0data";
    static unsigned char name[] = "design.bit";
    static unsigned char comment[] = "a comment";
    gz_header header{};
    header.text = 1;
    header.extra = extra;
    header.extra_len = 8;
    header.name = name;
    header.comment = comment;
    header.hcrc = 1;
    return zlib_deflate(data, 16 + window_bits, Z_BEST_COMPRESSION, Z_DEFAULT_STRATEGY, all_fields ? &header : nullptr);
}

// What the gzip program makes of a file: its name in the header, and a
// window of 32 KiB.
std::string gzip_program(const std::string &data) {
    const support::TempDir dir;
    support::write_file(dir / "design.bit", data);
    EXPECT_EQ(support::shell("gzip -9 '" + (dir / "design.bit").string() + "'"), 0);
    return support::read_file(dir / "design.bit.gz");
}

// What fpgabits_add_image(... COMPRESS WINDOW 512) makes of a file.
std::string gzip_add_image(const std::string &data) {
    const support::TempDir dir;
    support::write_file(dir / "design.bit", data);
    EXPECT_EQ(
        support::run({DEFLATE_EXE, "--gzip", "512", "design.bit", "design.bit.gz", "design.bit"}, dir.path()).status,
        0);
    return support::read_file(dir / "design.bit.gz");
}

std::uint32_t crc32_of(const std::string &data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

enum class Mode { check, serial, parallel };

struct Read {
    int result = 0;
    std::uint64_t begun_ns = 0; // the model's time at the begin
    fpgabits_image_info info{};
    fpga_model model{};
    std::vector<int> writes; // what each write returned
};

// Reads an image in chunks of chunk bytes (0: random sizes), into a model of
// the device type or through the check pass, writing every chunk whatever
// the results, from two buffers in turn: each is filled again as soon as the
// write after the one that took it returns, which the model's check of DMA
// sees. A model may be configured first, for a partial image.
Read read(const std::string &image, const std::string &type, Mode mode, std::size_t chunk, const char *device = nullptr,
          std::uint32_t idcode = 0, bool partial = false, std::size_t window = 32768,
          const std::string *configure_first = nullptr) {
    Read r;
    EXPECT_TRUE(fpga_model_init(&r.model, type.c_str(), mode == Mode::parallel)) << type;
    r.model.dma = 1;
    fpgabits_port port{};
    fpga_model_port(&r.model, &port);
    const fpgabits_interface interface = mode == Mode::parallel ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL;
    if (configure_first != nullptr) {
        EXPECT_EQ(fpgabits_load(&port, interface, configure_first->data(), configure_first->size()), FPGABITS_OK);
    }
    r.begun_ns = r.model.now_ns;
    std::vector<unsigned char> work(FPGABITS_IMAGE_WORK_SIZE(window));
    fpgabits_image reader{};
    const fpgabits_port *with = mode == Mode::check ? nullptr : &port;
    r.result = (partial ? fpgabits_image_begin_partial : fpgabits_image_begin)(&reader, with, interface, device, idcode,
                                                                               work.data(), work.size());
    EXPECT_EQ(r.model.now_ns, r.begun_ns) << "begin called back";
    std::mt19937 random(static_cast<std::uint32_t>(image.size()));
    std::vector<unsigned char> buffers[2];
    for (std::size_t at = 0, turn = 0; at < image.size(); turn ^= 1) {
        std::size_t size = chunk != 0 ? chunk : 1 + random() % (random() % 2 != 0 ? 16 : 70000);
        size = std::min(size, image.size() - at);
        buffers[turn].resize(std::max<std::size_t>(size, 70000));
        std::copy_n(image.data() + at, size, buffers[turn].begin());
        r.writes.push_back(fpgabits_image_write(&reader, buffers[turn].data(), size));
        at += size;
    }
    const int end = fpgabits_image_end(&reader, &r.info);
    if (r.result == FPGABITS_OK)
        r.result = end;
    return r;
}

// The forms of a bitstream file that the image reader takes.
struct Format {
    const char *name; // in a test's name
    const char *what;
    bool raw;           // of the data alone
    std::size_t window; // of the work area
    std::string (*make)(const std::string &file, const std::string &data);
};

constexpr Format formats[] = {
    {"file", "bitstream file", false, 512, [](const std::string &file, const std::string &) { return file; }},
    {"raw", "raw data", true, 512, [](const std::string &, const std::string &data) { return data; }},
    {"gzip_512", "gzip, window 512", false, 512,
     [](const std::string &file, const std::string &) { return gzip(file, 9); }},
    {"gzip_1024_every_field", "gzip, window 1024, every header field", false, 1024,
     [](const std::string &file, const std::string &) { return gzip(file, 10, true); }},
    {"gzip_raw_32768", "gzip of raw data, window 32768", true, 32768,
     [](const std::string &, const std::string &data) { return gzip(data, 15); }},
    {"gzip_program", "gzip -9", false, 32768,
     [](const std::string &file, const std::string &) { return gzip_program(file); }},
    {"deflate_512", "fpgabits-deflate --gzip 512", false, 512,
     [](const std::string &file, const std::string &) { return gzip_add_image(file); }},
};
constexpr std::size_t format_count = sizeof formats / sizeof formats[0];

// Reads a bitstream file in a format through the check pass and loads it
// over both interfaces, in chunks of sizes taken in turn from turn on.
void expect_loads(const std::string &file, const Format &f, std::size_t turn) {
    SCOPED_TRACE(f.what);
    const std::size_t chunks[] = {1, 7, 512, 0};
    const bitstream::Parsed parsed = bitstream::parse(file);
    const std::string data(parsed.data);
    const std::string &type = parsed.texts[1];
    std::uint32_t idcode = 0;
    fpgabits_idcode(data.data(), data.size(), &idcode);
    const std::string image = f.make(file, data);
    unsigned crc_checks = 0;
    for (Mode mode : {Mode::check, Mode::serial, Mode::parallel}) {
        const std::size_t chunk = chunks[turn++ % 4];
        SCOPED_TRACE("mode " + std::to_string(static_cast<int>(mode)) + ", chunk " + std::to_string(chunk));
        const Read r = read(image, type, mode, chunk, nullptr, 0, false, f.window);
        ASSERT_EQ(r.result, FPGABITS_OK) << fpgabits_strerror(r.result);
        EXPECT_EQ(r.info.design, f.raw ? "" : parsed.texts[0]);
        EXPECT_EQ(r.info.device, f.raw ? "" : parsed.texts[1]);
        EXPECT_EQ(r.info.date, f.raw ? "" : parsed.texts[2] + " " + parsed.texts[3]);
        EXPECT_EQ(r.info.config_size, data.size());
        EXPECT_EQ(r.info.crc32, mode == Mode::check ? crc32_of(data) : 0u);
        EXPECT_EQ(r.info.idcode, idcode);
        if (mode == Mode::check) {
            crc_checks = r.info.crc_checks;
        } else {
            EXPECT_TRUE(r.model.done);
            EXPECT_EQ(r.model.idcode_seen, idcode);
            // The check pass counts every check that the device makes.
            EXPECT_EQ(r.model.crc_checks, crc_checks);
            EXPECT_EQ(fpga_model_violation(&r.model), nullptr) << fpga_model_violation(&r.model);
        }
    }
    // A bit flipped in the middle of the data, which every file's checks
    // cover: the check pass refuses it before the reset.
    if (f.make == formats[0].make) {
        std::string flipped = file;
        flipped[file.size() - data.size() / 2] ^= 0x10;
        EXPECT_EQ(read(flipped, type, Mode::check, 512).result, FPGABITS_ERR_CRC);
    }
}

// Generated bitstreams of every family; those of real toolchains have tests
// of their own below.
TEST(Image, LoadsEveryFamilyInEveryFormat) {
    std::size_t turn = 0;
    for (const char *type :
         {"7a35tcsg324", "xc4vfx20ff672", "5vlx110tff1136", "xc6vlx130tff784", "xcku040-ffva1156-2-e",
          "xcau15p-ffvb676", "3s500evq100", "xc2s200fg456", "6slx9tqg144", "3s200avq100"}) {
        SCOPED_TRACE(type);
        fpga_device device{};
        fpga_device_of(type, &device);
        const std::string file = bitstream::file(
            bitstream::header(bitstream::text("top;UserID=0XFFFFFFFF;Version=2024.2"), bitstream::text(type),
                              bitstream::text("2026/12/09"), bitstream::text("10:00:00")),
            bitstream::configuration(device, 30001));
        for (const Format &f : formats) {
            expect_loads(file, f, turn);
            turn += 3;
        }
        // Bits above the check in the last CRC write, which the device ignores.
        if (device.group != FPGA_32C) {
            const bool narrow = device.group == FPGA_22F || device.group == FPGA_22H;
            std::string high = file;
            const std::size_t at =
                narrow ? high.rfind(std::string("\x30\x02", 2)) + 2 : high.rfind(std::string("\x30\0\0\x01", 4)) + 4;
            high[at] = static_cast<char>(static_cast<unsigned char>(high[at]) | (narrow ? 0xfc : 0xab));
            EXPECT_EQ(read(high, type, Mode::check, 512).result, FPGABITS_OK);
        }
        // Raw data whose full sync word ends its first 1 KiB, 16-bit NOPs after it.
        if (device.group == FPGA_22F) {
            const std::string data = bitstream::configuration(device, 30001);
            const std::size_t stream_at = data.find("\xaa\x99\x55\x66") + 4;
            const std::string raw = std::string(1016, '\xff') + data.substr(stream_at - 4, 4) +
                                    std::string("\x20\0\x20\0", 4) + data.substr(stream_at);
            const Read r = read(raw, type, Mode::check, 512);
            EXPECT_EQ(r.result, FPGABITS_OK) << fpgabits_strerror(r.result);
            EXPECT_EQ(r.info.crc_checks, read(file, type, Mode::check, 512).info.crc_checks);
        }
    }
}

// Each bitstream that a real toolchain made, where the folder of them is
// present, in each format in a test of its own.
struct RealImage {
    support::RealBitstream bit;
    std::size_t format;
};

std::vector<RealImage> real_images(support::Weight weight) {
    std::vector<RealImage> all;
    for (const support::RealBitstream &bit : support::real_bitstreams(weight))
        for (std::size_t format = 0; format < (bit.path.empty() ? 1 : format_count); ++format)
            all.push_back({bit, format});
    return all;
}

void PrintTo(const RealImage &image, std::ostream *out) {
    support::PrintTo(image.bit, out);
    if (!image.bit.path.empty())
        *out << ", " << formats[image.format].what;
}

class ImageReal : public ::testing::TestWithParam<RealImage> {};

TEST_P(ImageReal, Loads) {
    const RealImage &image = GetParam();
    if (image.bit.path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    expect_loads(support::read_file(image.bit.path), formats[image.format],
                 (image.bit.index * format_count + image.format) * 3);
}

std::string real_image_name(const ::testing::TestParamInfo<RealImage> &info) {
    return info.param.bit.path.empty() ? info.param.bit.name
                                       : info.param.bit.name + "_" + formats[info.param.format].name;
}

INSTANTIATE_TEST_SUITE_P(Real, ImageReal, ::testing::ValuesIn(real_images(support::Weight::light)), real_image_name);
INSTANTIATE_TEST_SUITE_P(Heavy, ImageReal, ::testing::ValuesIn(real_images(support::Weight::heavy)), real_image_name);

// A CRC-32C stream with its CRC checks made right again after a change: the
// running value from each sync word, each check given it and starting again.
std::string checks_made_right(std::string data) {
    std::size_t at = data.find("\xaa\x99\x55\x66") + 4;
    std::uint32_t crc = 0;
    unsigned reg = 0;
    for (std::uint32_t left = 0; at + 4 <= data.size(); at += 4) {
        std::uint32_t word = 0;
        for (int i = 0; i < 4; ++i)
            word = word << 8 | static_cast<unsigned char>(data[at + i]);
        if (left == 0) {
            reg = word >> 29 == 1 ? word >> 13 & 0x1f : reg;
            left = word >> 27 == 6 ? word & 0x7ff : word >> 27 == 10 ? word & 0x07ffffff : 0;
            continue;
        }
        --left;
        if (reg == 0) {
            for (int i = 0; i < 4; ++i)
                data[at + i] = static_cast<char>(crc >> (24 - 8 * i));
            crc = 0;
        } else {
            crc = reg == 4 && word == 7 ? 0 : fpga_crc32c(crc, reg, word);
        }
    }
    return data;
}

// Words as a stream holds them, most significant byte first.
std::string bytes_of_words(std::initializer_list<std::uint32_t> list) {
    std::string out;
    for (std::uint32_t word : list)
        bitstream::put32(out, word);
    return out;
}

// Packets put into a stream at a byte, its CRC checks made right again.
std::string inserted_into(const std::string &data, std::size_t at, const std::string &more) {
    return checks_made_right(data.substr(0, at) + more + data.substr(at));
}

// A stream for another die, as a write to register 1E carries it: its sync
// word, a write to FAR and one to AXSS (which sets no value of the file's),
// and a CRC check, with the stream of one more die carried in turn where
// depth is above 0, and a DESYNC.
std::vector<std::uint32_t> die_stream(unsigned depth) {
    std::vector<std::uint32_t> words = {0xaa995566, 0x20000000, 0x30002001, 0x00001230 + depth, 0x3001a001, 0x5eed0000};
    std::uint32_t crc = fpga_crc32c(fpga_crc32c(0, 0x01, 0x00001230 + depth), 0x0d, 0x5eed0000);
    if (depth > 0) {
        const std::vector<std::uint32_t> carried = die_stream(depth - 1);
        words.push_back(0x3003c000 | static_cast<std::uint32_t>(carried.size()));
        for (std::uint32_t word : carried) {
            crc = fpga_crc32c(crc, 0x1e, word);
            words.push_back(word);
        }
    }
    words.insert(words.end(), {0x30000001, crc, 0x30008001, 0x0000000d});
    return words;
}

// Images that are cut, corrupt, of no known format or for another device:
// the check pass refuses them, and so does a load, before the reset where
// the header, the format or the IDCODE shows it (then nothing is called back
// at all). What follows the data, or the gzip member, is not read.
TEST(Image, RefusesBadImages) {
    fpga_device device{};
    fpga_device old{};
    fpga_device_of("7a35tcsg324", &device);
    fpga_device_of("2s200fg456", &old);
    const std::string data = bitstream::configuration(device, 30000);
    const auto with_name = [&](const std::string &name, const std::string &bytes) {
        return bitstream::file(bitstream::header(bitstream::text(name), bitstream::text("7a35tcsg324"),
                                                 bitstream::text("2026/12/09"), bitstream::text("10:00:00")),
                               bytes);
    };
    const std::string file = with_name("top;UserID=0XFFFFFFFF", data);
    const std::size_t data_at = file.size() - data.size();
    const std::string gz = gzip(file, 10);
    const std::string partial = with_name("design_1_wrapper;PARTIAL=TRUE;UserID=0XFFFFFFFF", data);
    std::string reversed = data;
    for (char &c : reversed) {
        const unsigned byte = static_cast<unsigned char>(c);
        unsigned bits = 0;
        for (int i = 0; i < 8; ++i)
            bits |= (byte >> i & 1) << (7 - i);
        c = static_cast<char>(bits);
    }
    const auto changed = [](std::string s, std::size_t at, unsigned char value) {
        s[at] = static_cast<char>(value);
        return s;
    };
    const std::string hcrc = gzip(file, 10, true);
    // One byte of the frame data changed: the CRC-32 of a gzip file made of
    // it is right, the device's own check is not.
    const std::string corrupt =
        changed(file, file.size() / 2, static_cast<unsigned char>(file[file.size() / 2] ^ 0x08));
    const std::string sync("\xaa\x99\x55\x66", 4);
    const std::string stream = data.substr(data.find(sync));
    const std::string long_name = "top;UserID=0XFFFFFFFF;Version=2024.2";
    const std::size_t name_at = file.find("top;");
    // After the IDCODE, a write to register 1E of a stream that carries
    // those of three more dies, each in the one before: the loader, as the
    // device, follows the first three and takes the last as data.
    std::string carried;
    const std::vector<std::uint32_t> dies = die_stream(3);
    bitstream::put32(carried, 0x3003c000 | static_cast<std::uint32_t>(dies.size()));
    for (std::uint32_t word : dies)
        bitstream::put32(carried, word);
    const std::size_t after_idcode = data.find(std::string("\x30\x01\x80\x01", 4)) + 8;
    const std::string nested = checks_made_right(data.substr(0, after_idcode) + carried + data.substr(after_idcode));
    const auto inserted = [&](std::size_t at, const std::string &more) { return inserted_into(data, at, more); };
    const std::size_t after_check = data.find(bytes_of_words({0x30000001})) + 8;
    const std::size_t desync_at = data.rfind(bytes_of_words({0x30008001, 0x0000000d}));
    std::string second_session = data;
    for (std::uint32_t word : die_stream(0))
        bitstream::put32(second_session, word);
    // A stream so short that its CRC check comes within the data held back,
    // a byte of its frame data changed.
    std::string short_corrupt = bitstream::configuration(device, 400);
    short_corrupt[short_corrupt.size() / 2] ^= 0x08;
    // Flags 04: an extra field of two bytes, and no other optional field.
    const std::string extra = gz.substr(0, 3) + '\x04' + gz.substr(4, 6) + std::string("\x02\0AB", 4) + gz.substr(10);
    // Flags 04 and an extra field of no bytes: its length alone.
    const std::string empty_extra = gz.substr(0, 3) + '\x04' + gz.substr(4, 6) + std::string(2, '\0') + gz.substr(10);
    struct Case {
        const char *what;
        std::string image;
        int check, load;
        bool before_reset;
        const char *device = nullptr;
        std::uint32_t idcode = 0;
        std::size_t window = 1024;
        bool partial = false;         // begun with fpgabits_image_begin_partial(), into a configured device
        std::size_t chunk = 0;        // 0: random sizes
        const char *design = nullptr; // the design name that the info holds, where given
    };
    const Case cases[] = {
        {"a partial configuration", partial, FPGABITS_OK, FPGABITS_OK, false, nullptr, 0, 1024, true},
        {"a file and padding in chunks of 512 bytes", file + std::string(1536, '\xff'), FPGABITS_OK, FPGABITS_OK, false,
         nullptr, 0, 1024, false, 512},
        {"a file in two gzip members", gzip(file.substr(0, 9999), 10) + gzip(file.substr(9999), 9), FPGABITS_OK,
         FPGABITS_OK, false},
        {"a second gzip member with a reserved flag", gz + changed(gz, 3, 0xe0), FPGABITS_ERR_STREAM,
         FPGABITS_ERR_STREAM, false},
        {"two gzip members a byte at a time, the first ending in the input kept for the inflater",
         gzip(file.substr(0, 9999), 10) + gzip(file.substr(9999), 9), FPGABITS_OK, FPGABITS_OK, false, nullptr, 0, 1024,
         false, 1},
        {"raw data whose sync word ends its first 1 KiB", std::string(1020, '\xff') + stream, FPGABITS_OK, FPGABITS_OK,
         false},
        {"raw data whose sync word ends after its first 1 KiB", std::string(1021, '\xff') + stream, FPGABITS_ERR_FORMAT,
         FPGABITS_ERR_FORMAT, true},
        {"a byte of the frame data changed", corrupt, FPGABITS_ERR_CRC, FPGABITS_ERR_CRC, false},
        {"a gzip file of it", gzip(corrupt, 10), FPGABITS_ERR_CRC, FPGABITS_ERR_CRC, false},
        {"a short stream with a byte of its frame data changed", short_corrupt, FPGABITS_ERR_CRC, FPGABITS_ERR_CRC,
         false},
        {"a partial configuration cut short", partial.substr(0, partial.size() - 5), FPGABITS_ERR_STREAM,
         FPGABITS_ERR_STREAM, false, nullptr, 0, 1024, true},
        {"a full configuration in a partial load", file, FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true, nullptr, 0,
         1024, true},
        {"a header cut in a long design name", with_name(long_name, data).substr(0, name_at + 33), FPGABITS_ERR_FORMAT,
         FPGABITS_ERR_FORMAT, true, nullptr, 0, 1024, false, 0, "top;UserID=0XFFFFFFFF"},
        {"padding after the data", file + std::string(700, '\xff'), FPGABITS_OK, FPGABITS_OK, false},
        {"padding after the gzip member", gz + std::string(700, '\xff'), FPGABITS_OK, FPGABITS_OK, false},
        {"a second gzip member", gz + gzip("other", 10), FPGABITS_OK, FPGABITS_OK, false},
        {"the device type in another case", file, FPGABITS_OK, FPGABITS_OK, false, "7A35T"},
        {"another IDCODE version", file, FPGABITS_OK, FPGABITS_OK, false, nullptr, 0x1362d093},
        {"raw data that starts with its sync word", data.substr(data.find("\xaa\x99\x55\x66")), FPGABITS_OK,
         FPGABITS_OK, false},
        {"gzip with an extra field alone", extra, FPGABITS_OK, FPGABITS_OK, false},
        {"raw data whose stream carries the streams of other dies", nested, FPGABITS_OK, FPGABITS_OK, false},
        {"a user-access value written after the frame data",
         inserted(desync_at, bytes_of_words({0x3001a001, 0x12345678})), FPGABITS_OK, FPGABITS_OK, false},
        {"a user-access value of two words", inserted(after_idcode, bytes_of_words({0x3001a002, 1, 2})), FPGABITS_OK,
         FPGABITS_OK, false},
        {"a word to register 0B after a check, and another check",
         inserted(after_check, bytes_of_words({0x30016001, 0, 0x30000001, 0})), FPGABITS_OK, FPGABITS_OK, false},
        {"a second session after the DESYNC, with a check of its own", second_session, FPGABITS_OK, FPGABITS_OK, false},
        {"an IDCODE asked of data that writes frame data before it",
         inserted(after_idcode - 8, bytes_of_words({0x30004001, 0})), FPGABITS_ERR_DEVICE, FPGABITS_ERR_DEVICE, true,
         nullptr, 0x0362d093},
        {"raw data that ends after a sync word and a NOP", std::string("\xff\xff\xaa\x99\x55\x66\x20\0\0\0", 10),
         FPGABITS_OK, FPGABITS_ERR_NO_DONE, false},
        {"nothing", "", FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"text", "hello, world", FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"raw data with its bits reversed", reversed, FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"raw data without a sync word", std::string(3000, '\xff'), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"a leading length of 10", changed(file, 1, 10), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"a second length of 257", changed(file, 11, 1), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"a tag out of order", changed(file, 13, 'b'), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"a header cut before e", file.substr(0, 40), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"a cut data length", file.substr(0, data_at - 2), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, true},
        {"data cut before its IDCODE", file.substr(0, data_at + 60), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, true},
        {"data cut after its IDCODE", file.substr(0, data_at + 300), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"data cut later", file.substr(0, file.size() - 5), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"another device type", file, FPGABITS_ERR_DEVICE, FPGABITS_ERR_DEVICE, true, "7z010"},
        {"a device type asked of raw data", data, FPGABITS_ERR_DEVICE, FPGABITS_ERR_DEVICE, true, "7a35t"},
        {"another IDCODE", file, FPGABITS_ERR_DEVICE, FPGABITS_ERR_DEVICE, true, nullptr, 0x03727093},
        {"an IDCODE asked of data that writes none", bitstream::configuration(old, 5000), FPGABITS_ERR_DEVICE,
         FPGABITS_ERR_DEVICE, true, nullptr, 0x01234093},
        {"a partial configuration in a full load", partial, FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"gzip with a corrupt stream", changed(gz, gz.size() / 2, static_cast<unsigned char>(gz[gz.size() / 2] ^ 0x10)),
         FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"gzip with a wrong CRC-32", changed(gz, gz.size() - 8, static_cast<unsigned char>(gz[gz.size() - 8] ^ 1)),
         FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"gzip with a wrong size", changed(gz, gz.size() - 1, 1), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"gzip cut in its stream", gz.substr(0, gz.size() / 2), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"gzip cut in its trailer", gz.substr(0, gz.size() - 3), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, false},
        {"gzip cut in its header", hcrc.substr(0, 20), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, true},
        {"gzip with a wrong header CRC", changed(hcrc, 15, 'X'), FPGABITS_ERR_STREAM, FPGABITS_ERR_STREAM, true},
        {"gzip with a reserved flag", changed(gz, 3, 0x20), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"1F, then no gzip", changed(gz, 1, 0x8c), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"gzip of no method 8", changed(gz, 2, 7), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"gzip of text", gzip("hello, world", 10), FPGABITS_ERR_FORMAT, FPGABITS_ERR_FORMAT, true},
        {"gzip with more window than the work area", gzip(file + file, 15), FPGABITS_ERR_WINDOW, FPGABITS_ERR_WINDOW,
         false},
        {"gzip with an empty extra field", empty_extra, FPGABITS_OK, FPGABITS_OK, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Read checked =
            read(c.image, "7a35tcsg324", Mode::check, c.chunk, c.device, c.idcode, c.partial, c.window);
        EXPECT_EQ(checked.result, c.check) << fpgabits_strerror(checked.result);
        // No row writes one word of a user-access value before its frame data.
        EXPECT_EQ(checked.info.usr_access, 0u);
        // A refused stream counts none of its data, however it came in chunks.
        if (c.check == FPGABITS_ERR_CRC) {
            EXPECT_EQ(checked.info.config_size, 0u);
        }
        if (c.design != nullptr) {
            EXPECT_EQ(std::string(checked.info.design, strnlen(checked.info.design, 32)), c.design);
        }
        const Read loaded = read(c.image, "7a35tcsg324", Mode::serial, c.chunk, c.device, c.idcode, c.partial, c.window,
                                 c.partial ? &data : nullptr);
        EXPECT_EQ(loaded.result, c.load) << fpgabits_strerror(loaded.result);
        // A partial one is loaded after a full one; a full one that the
        // image's own faults stop after the reset is reset again.
        const bool image_fault = c.load != FPGABITS_OK && c.load != FPGABITS_ERR_CRC && c.load != FPGABITS_ERR_NO_DONE;
        EXPECT_EQ(loaded.model.prog_b_pulses, c.partial ? 1u : c.before_reset ? 0u : image_fault ? 2u : 1u);
        EXPECT_EQ(loaded.model.done, c.load == FPGABITS_OK || c.partial);
        EXPECT_EQ(fpga_model_violation(&loaded.model), nullptr) << fpga_model_violation(&loaded.model);
        // The check pass counts the device's CRC checks, up to one that fails.
        if (c.check == FPGABITS_OK && c.load == FPGABITS_OK && !c.partial) {
            EXPECT_EQ(checked.info.crc_checks, loaded.model.crc_checks);
        } else if (c.check == FPGABITS_ERR_CRC) {
            EXPECT_EQ(checked.info.crc_checks + 1, loaded.model.crc_checks);
        }
        if (c.before_reset) {
            EXPECT_EQ(loaded.model.now_ns, loaded.begun_ns) << "called back";
        }
        // After an error, every write returns it.
        for (std::size_t i = 1; i < loaded.writes.size(); ++i) {
            if (loaded.writes[i - 1] != FPGABITS_OK) {
                EXPECT_EQ(loaded.writes[i], loaded.writes[i - 1]);
            }
        }
    }
}

// fpgabits-deflate --fingerprint on a bitstream: a stream with CRC-32C
// writes the CRC-32 of its data as it was to AXSS, where the check pass
// finds it, and passes the same checks of the check pass and of the device,
// with the same IDCODE and header; any other is refused, and no file made.
void expect_fingerprints(const std::string &bit) {
    const bitstream::Parsed parsed = bitstream::parse(bit);
    const std::string data(parsed.data);
    const std::string &type = parsed.texts[1];
    fpga_device device{};
    ASSERT_TRUE(fpga_device_of(type.c_str(), &device));
    const support::TempDir dir;
    support::write_file(dir / "in.bit", bit);
    const support::Result r = support::run({DEFLATE_EXE, "--fingerprint", "in.bit", "out.bit"}, dir.path());
    if (device.group != FPGA_32C) {
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("a fingerprint needs a stream of the 32C groups"), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.bit"));
        return;
    }
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = support::read_file(dir / "out.bit");
    const bitstream::Parsed out = bitstream::parse(file);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(out.texts[i], parsed.texts[i]);
    const Read before = read(bit, type, Mode::check, 0);
    const Read checked = read(file, type, Mode::check, 0);
    ASSERT_EQ(checked.result, FPGABITS_OK) << fpgabits_strerror(checked.result);
    EXPECT_EQ(checked.info.usr_access, crc32_of(data));
    EXPECT_EQ(checked.info.config_size, data.size() + 8);
    EXPECT_EQ(checked.info.idcode, before.info.idcode);
    EXPECT_GT(before.info.crc_checks, 0u);
    EXPECT_EQ(checked.info.crc_checks, before.info.crc_checks);
    // A load sees the value before the reset, whatever the chunks.
    const Read loaded = read(file, type, Mode::serial, 1);
    EXPECT_EQ(loaded.result, FPGABITS_OK) << fpgabits_strerror(loaded.result);
    EXPECT_EQ(loaded.info.usr_access, crc32_of(data));
    EXPECT_EQ(loaded.model.axss, crc32_of(data)) << "the value the device reads back";
    EXPECT_TRUE(loaded.model.done);
    EXPECT_EQ(loaded.model.crc_checks, before.info.crc_checks);
    EXPECT_EQ(fpga_model_violation(&loaded.model), nullptr) << fpga_model_violation(&loaded.model);
}

TEST(Image, FingerprintsTheStreamsWithCrc32c) {
    for (const char *type : {"7a35tcsg324", "xc4vfx20ff672", "5vlx110tff1136", "xcku040-ffva1156-2-e",
                             "xcau15p-ffvb676", "3s500evq100", "xc2s200fg456", "6slx9tqg144", "3s200avq100"}) {
        SCOPED_TRACE(type);
        fpga_device device{};
        fpga_device_of(type, &device);
        expect_fingerprints(bitstream::file(bitstream::header(bitstream::text("top;UserID=0XFFFFFFFF;Version=2024.2"),
                                                              bitstream::text(type), bitstream::text("2026/12/09"),
                                                              bitstream::text("10:00:00")),
                                            bitstream::configuration(device, 30001)));
    }
}

class ImageRealFingerprint : public ::testing::TestWithParam<support::RealBitstream> {};

TEST_P(ImageRealFingerprint, OfTheStreamsWithCrc32c) {
    if (GetParam().path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    expect_fingerprints(support::read_file(GetParam().path));
}

INSTANTIATE_TEST_SUITE_P(Real, ImageRealFingerprint,
                         ::testing::ValuesIn(support::real_bitstreams(support::Weight::light)), support::real_name);
INSTANTIATE_TEST_SUITE_P(Heavy, ImageRealFingerprint,
                         ::testing::ValuesIn(support::real_bitstreams(support::Weight::heavy)), support::real_name);

// Bitstreams that a fingerprint cannot go into, each sound otherwise (its
// checks pass), refused with what is wrong, and no file made.
TEST(Image, RefusesFingerprintsOfStreamsThatCannotTakeThem) {
    fpga_device device{};
    fpga_device_of("7a35tcsg324", &device);
    const std::string data = bitstream::configuration(device, 3000);
    const std::string idcode_write("\x30\x01\x80\x01", 4);
    const std::size_t idcode_at = data.find(idcode_write);
    const auto inserted = [&](std::size_t at, const std::string &more) { return inserted_into(data, at, more); };
    std::string corrupt = data;
    corrupt[2000] ^= 0x10;
    struct Case {
        const char *what;
        std::string data, name;
        const char *message;
    };
    const std::string name = "top;UserID=0XFFFFFFFF;Version=2024.2";
    const Case cases[] = {
        {"a write to AXSS", inserted(idcode_at, bytes_of_words({0x3001a001, 0x12345678})), name,
         "writes the user-access register (AXSS, register 0D) itself, at byte"},
        {"CBC written", inserted(idcode_at + 8, bytes_of_words({0x30016004, 1, 2, 3, 4})), name,
         "writes CBC (register 0B) at byte"},
        {"the IDCODE written to COR1 instead",
         checks_made_right(data.substr(0, idcode_at) + bytes_of_words({0x3001c001}) + data.substr(idcode_at + 4)), name,
         "writes frame data at byte"},
        {"the IDCODE written after 1 KiB", inserted(idcode_at, std::string(1000, '\0')), name,
         "too late for the fingerprint"},
        {"ENCRYPT=YES in the design name", data, "top;Encrypt=Yes;UserID=0XFFFFFFFF", "design name says Encrypt=Yes"},
        {"a corrupt stream", corrupt, name, "fails the loader's check pass: CRC error"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const std::string file =
            bitstream::file(bitstream::header(bitstream::text(c.name), bitstream::text("7a35tcsg324"),
                                              bitstream::text("2026/12/09"), bitstream::text("10:00:00")),
                            c.data);
        if (c.data != corrupt) {
            EXPECT_EQ(read(file, "7a35tcsg324", Mode::check, 0).result, FPGABITS_OK);
        }
        const support::TempDir dir;
        support::write_file(dir / "in.bit", file);
        const support::Result r = support::run({DEFLATE_EXE, "--fingerprint", "in.bit", "out.bit"}, dir.path());
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_FALSE(std::filesystem::exists(dir / "out.bit"));
    }
}

TEST(Image, RefusesWrongArgumentsAndCallOrder) {
    fpga_model model{};
    fpga_model_init(&model, "7a35tcsg324", 0);
    fpgabits_port port{};
    fpga_model_port(&model, &port);
    fpgabits_port no_micros = port;
    no_micros.micros = nullptr;
    std::vector<unsigned char> work(FPGABITS_IMAGE_WORK_SIZE(512));
    fpgabits_image image{};
    fpgabits_image_info info{};
    const unsigned char byte = 0xff;
    EXPECT_EQ(fpgabits_image_write(&image, &byte, 1), FPGABITS_ERR_ARGUMENT) << "before begin";
    EXPECT_EQ(fpgabits_image_end(&image, &info), FPGABITS_ERR_ARGUMENT) << "before begin";
    EXPECT_EQ(fpgabits_image_begin(nullptr, &port, FPGABITS_SERIAL, nullptr, 0, work.data(), work.size()),
              FPGABITS_ERR_ARGUMENT);
    struct Begin {
        const fpgabits_port *port;
        int interface;
        unsigned char *work;
        std::size_t size;
    };
    for (const Begin &b :
         {Begin{&no_micros, FPGABITS_SERIAL, work.data(), work.size()}, Begin{nullptr, 3, work.data(), work.size()},
          Begin{&port, FPGABITS_SERIAL, nullptr, 0}, Begin{&port, FPGABITS_PARALLEL8, work.data(), work.size() - 1},
          Begin{&port, FPGABITS_SERIAL, nullptr, work.size()}}) {
        ASSERT_EQ(fpgabits_image_begin(&image, b.port, static_cast<fpgabits_interface>(b.interface), nullptr, 0, b.work,
                                       b.size),
                  FPGABITS_ERR_ARGUMENT);
        EXPECT_EQ(fpgabits_image_write(&image, &byte, 1), FPGABITS_ERR_ARGUMENT);
        EXPECT_EQ(fpgabits_image_end(&image, &info), FPGABITS_ERR_ARGUMENT) << "after a failed begin";
        EXPECT_EQ(info.config_size, 0u);
        EXPECT_EQ(fpgabits_image_end(&image, &info), FPGABITS_ERR_ARGUMENT) << "twice";
    }
    ASSERT_EQ(fpgabits_image_begin(&image, &port, FPGABITS_SERIAL, nullptr, 0, work.data(), work.size()), FPGABITS_OK);
    EXPECT_EQ(fpgabits_image_write(&image, nullptr, 1), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_image_write(&image, nullptr, 0), FPGABITS_OK);
    EXPECT_EQ(fpgabits_image_end(&image, nullptr), FPGABITS_ERR_FORMAT);
    EXPECT_EQ(fpgabits_image_write(&image, &byte, 1), FPGABITS_ERR_ARGUMENT) << "after the end";
    EXPECT_EQ(model.now_ns, 0u) << "called back";
    EXPECT_STRNE(fpgabits_strerror(FPGABITS_ERR_FORMAT), fpgabits_strerror(FPGABITS_ERR_DEVICE));
    EXPECT_STRNE(fpgabits_strerror(FPGABITS_ERR_DEVICE), fpgabits_strerror(1));
}

} // namespace
