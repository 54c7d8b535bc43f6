// fpgabits-deflate: compresses the configuration data of an fpgabits.i, for
// fpgabits_add_bitstream(... COMPRESS):
//   fpgabits-deflate WINDOW INPUT OUTPUT
// INPUT is an fpgabits.i as fpgabits wrote it. OUTPUT gets its comment and
// text declarations unchanged, then the data as a raw DEFLATE stream (RFC
// 1951) made by zlib at its best level with a window of WINDOW bytes (a power
// of two from 512 to 32768), and the length and CRC-32 of the data itself:
//   unsigned char FPGABITS[] =
//   "\x4d\x8f..."
//   ...;
//   size_t FPGAsize = <bytes>;
//   uint32_t FPGAcrc = 0x<crc>u;
// The stream is a string literal, which compilers read many times faster than
// a list of numbers; its terminating zero is one byte more than the stream.
// Memory does not grow with the data. Exits 0, or 1 with a message on
// standard error.
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr std::size_t block_size = std::size_t{256} * 1024;
constexpr std::size_t bytes_per_line = 32;
static_assert(block_size % bytes_per_line == 0);

[[noreturn]] void fail(const char *path, const char *what) {
    std::fprintf(stderr, "fpgabits-deflate: %s: %s\n", path, what);
    std::exit(1);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Data read, and the stream made of it, a block at a time.
unsigned char data[block_size];
unsigned char packed[block_size];

// Deflates the input given into OUTPUT as lines of string literal: whole
// blocks while the stream goes on, the rest when it ends (with Z_FINISH).
class Packer {
  public:
    Packer(std::FILE *out, const char *path, int window_bits) : out_(out), path_(path) {
        if (deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, -window_bits, 9, Z_DEFAULT_STRATEGY) != Z_OK)
            fail(path_, "zlib failed");
    }
    ~Packer() { deflateEnd(&stream_); }
    Packer(const Packer &) = delete;
    Packer &operator=(const Packer &) = delete;

    void pack(const unsigned char *bytes, std::size_t size, int flush) {
        stream_.next_in = const_cast<unsigned char *>(bytes);
        stream_.avail_in = static_cast<uInt>(size);
        int status = Z_OK;
        do {
            stream_.next_out = packed + used_;
            stream_.avail_out = static_cast<uInt>(sizeof packed - used_);
            status = deflate(&stream_, flush);
            if (status == Z_STREAM_ERROR)
                fail(path_, "zlib failed");
            used_ = sizeof packed - stream_.avail_out;
            if (used_ == sizeof packed)
                write();
        } while (stream_.avail_out == 0 || (flush == Z_FINISH && status != Z_STREAM_END));
        if (flush == Z_FINISH) {
            write();
            std::fputs(";\n", out_);
        }
    }

  private:
    void write() {
        static const char digits[] = "0123456789abcdef";
        for (std::size_t at = 0; at < used_; at += bytes_per_line) {
            char line[4 * bytes_per_line + 3];
            char *end = line;
            *end++ = '"';
            for (std::size_t i = at; i < used_ && i < at + bytes_per_line; ++i) {
                *end++ = '\\';
                *end++ = 'x';
                *end++ = digits[packed[i] >> 4];
                *end++ = digits[packed[i] & 15];
            }
            *end++ = '"';
            *end++ = '\n';
            const auto length = static_cast<std::size_t>(end - line);
            if (std::fwrite(line, 1, length, out_) != length)
                fail(path_, "cannot write");
        }
        used_ = 0;
    }

    z_stream stream_{};
    std::FILE *out_;
    const char *path_;
    std::size_t used_ = 0;
};

} // namespace

int main(int argc, char **argv) {
    if (argc != 4) {
        std::fputs("usage: fpgabits-deflate WINDOW INPUT OUTPUT\n", stderr);
        return 2;
    }
    const long window = std::strtol(argv[1], nullptr, 10);
    int window_bits = 9;
    while (window_bits < 15 && window != 1L << window_bits)
        ++window_bits;
    if (window != 1L << window_bits)
        fail(argv[1], "the window is not a power of two from 512 to 32768");
    const char *input = argv[2];
    const char *output = argv[3];
    std::FILE *in = std::fopen(input, "r");
    if (in == nullptr)
        fail(input, "cannot open");
    std::FILE *out = std::fopen(output, "w");
    if (out == nullptr)
        fail(output, "cannot create");

    // The comment and the text declarations, up to the array.
    char line[1024];
    do {
        if (std::fgets(line, sizeof line, in) == nullptr)
            fail(input, "no FPGABITS array");
        std::fputs(line, out);
    } while (std::strcmp(line, "unsigned char FPGABITS[] =\n") != 0);
    if (std::fgets(line, sizeof line, in) == nullptr || std::strcmp(line, "{\n") != 0)
        fail(input, "no FPGABITS array");

    // The data lines: a tab, then up to eight items "0xNN,".
    Packer packer(out, output, window_bits);
    std::size_t size = 0;
    unsigned long total = 0;
    uLong crc = crc32(0, nullptr, 0);
    while (std::fgets(line, sizeof line, in) != nullptr && std::strcmp(line, "};\n") != 0) {
        const char *at = line + 1;
        if (line[0] != '\t')
            fail(input, "not an array as fpgabits writes it");
        for (int items = 0; items < 8 && at[0] == '0' && at[1] == 'x' && hex_digit(at[2]) >= 0 &&
                            hex_digit(at[3]) >= 0 && at[4] == ',';
             ++items, at += 5)
            data[size++] = static_cast<unsigned char>(hex_digit(at[2]) << 4 | hex_digit(at[3]));
        if (std::strcmp(at, "\n") != 0 || at == line + 1)
            fail(input, "not an array as fpgabits writes it");
        if (size > sizeof data - 8) {
            crc = crc32(crc, data, static_cast<uInt>(size));
            total += size;
            packer.pack(data, size, Z_NO_FLUSH);
            size = 0;
        }
    }
    if (std::strcmp(line, "};\n") != 0)
        fail(input, "the array does not end");
    crc = crc32(crc, data, static_cast<uInt>(size));
    total += size;
    packer.pack(data, size, Z_FINISH);
    std::fprintf(out, "\nsize_t FPGAsize = %lu;\nuint32_t FPGAcrc = 0x%08lxu;\n", total, crc);
    std::fclose(in);
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        fail(output, "cannot write");
    return 0;
}
