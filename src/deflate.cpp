// fpgabits-deflate: the steps of fpgabits_add_bitstream() and
// fpgabits_add_image() around fpgabits. It reads a bitstream file through
// the loader's check pass for the values of <name>.h, puts a fingerprint
// into a copy of one, compresses the data of an fpgabits.i for COMPRESS, and
// makes the gzip files of fpgabits_add_image(... COMPRESS):
//   fpgabits-deflate --check BITSTREAM OUTPUT
//   fpgabits-deflate --fingerprint INPUT OUTPUT
//   fpgabits-deflate WINDOW INPUT OUTPUT
//   fpgabits-deflate --gzip WINDOW INPUT OUTPUT NAME
// The first two are described in check.cpp. In the third, INPUT is an
// fpgabits.i as fpgabits wrote it; it writes INPUT's comment and text
// declarations unchanged, then the data as a raw DEFLATE stream (RFC 1951)
// made by zlib at its best level with a window of WINDOW bytes (a power of
// two from 512 to 32768), and the length of the data itself:
//   unsigned char FPGABITS[] =
//   "\x4d\x8f..."
//   ...;
//   size_t FPGAsize = <bytes>;
// The stream is a string literal, which compilers read many times faster than
// a list of numbers; its terminating zero is one byte more than the stream.
// The fourth form writes the file INPUT, whatever it holds, into OUTPUT as a
// gzip file (RFC 1952) made by zlib at its best level with a window of WINDOW
// bytes, with NAME as its file name and no time stamp, so that the same input
// gives the same bytes. Built without zlib, the last two forms fail. Memory
// is that of a few blocks whatever the size of the input. Exits 0, or 1 with
// a message on standard error.
#ifdef FPGABITS_WITH_ZLIB
#include <zlib.h>
#endif

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "deflate.h"

void fail(const char *path, const char *what) {
    std::fprintf(stderr, "fpgabits-deflate: %s: %s\n", path, what);
    std::exit(1);
}

std::FILE *open_file(const char *path, const char *mode) {
    std::FILE *file = std::fopen(path, mode);
    if (file == nullptr)
        fail(path, mode[0] == 'r' ? "cannot open" : "cannot create");
    return file;
}

namespace {

#ifdef FPGABITS_WITH_ZLIB
constexpr std::size_t block_size = std::size_t{256} * 1024;
constexpr std::size_t bytes_per_line = 32;
static_assert(block_size % bytes_per_line == 0);

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Data read a block at a time.
unsigned char data[block_size];

// Reads the data lines of the array, a tab then up to eight items "0xNN,",
// into data until it holds a block or the array ends; sets ended at "};".
std::size_t read_block(std::FILE *in, const char *path, bool &ended) {
    char line[1024];
    std::size_t size = 0;
    while (size <= sizeof data - 8) {
        if (std::fgets(line, sizeof line, in) == nullptr)
            fail(path, "the array does not end");
        if (std::strcmp(line, "};\n") == 0) {
            ended = true;
            break;
        }
        const char *at = line + 1;
        if (line[0] != '\t')
            fail(path, "not an array as fpgabits writes it");
        for (int items = 0; items < 8 && at[0] == '0' && at[1] == 'x' && hex_digit(at[2]) >= 0 &&
                            hex_digit(at[3]) >= 0 && at[4] == ',';
             ++items, at += 5)
            data[size++] = static_cast<unsigned char>(hex_digit(at[2]) << 4 | hex_digit(at[3]));
        if (std::strcmp(at, "\n") != 0 || at == line + 1)
            fail(path, "not an array as fpgabits writes it");
    }
    return size;
}

// The stream made of the data, a block at a time.
unsigned char packed[block_size];

// Deflates the input given into OUTPUT, as lines of string literal or, with
// a gzip name, as a gzip file: whole blocks while the stream goes on, the
// rest when it ends (with Z_FINISH).
class Packer {
  public:
    Packer(std::FILE *out, const char *path, int window_bits, const char *gzip_name = nullptr)
        : out_(out), path_(path), gzip_(gzip_name != nullptr) {
        if (deflateInit2(&stream_, Z_BEST_COMPRESSION, Z_DEFLATED, gzip_ ? 16 + window_bits : -window_bits, 9,
                         Z_DEFAULT_STRATEGY) != Z_OK)
            fail(path_, "zlib failed");
        if (gzip_) {
            // zlib keeps the header until its first output.
            header_.name = reinterpret_cast<Bytef *>(const_cast<char *>(gzip_name));
            header_.os = 255; // unknown: the same bytes on any system
            if (deflateSetHeader(&stream_, &header_) != Z_OK)
                fail(path_, "zlib failed");
        }
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
            if (!gzip_)
                std::fputs(";\n", out_);
        }
    }

  private:
    void write() {
        if (gzip_) {
            if (std::fwrite(packed, 1, used_, out_) != used_)
                fail(path_, "cannot write");
            used_ = 0;
            return;
        }
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
    gz_header header_{};
    std::FILE *out_;
    const char *path_;
    bool gzip_;
    std::size_t used_ = 0;
};
#endif

// The window in bits, from its size in bytes; built without zlib, it fails
// here, before any file is touched.
int window_bits_of(const char *text) {
    const long window = std::strtol(text, nullptr, 10);
    int window_bits = 9;
    while (window_bits < 15 && window != 1L << window_bits)
        ++window_bits;
    if (window != 1L << window_bits)
        fail(text, "the window is not a power of two from 512 to 32768");
#ifndef FPGABITS_WITH_ZLIB
    std::fputs("fpgabits-deflate: built without zlib, so it cannot compress; "
               "build fpgabits with zlib (Debian package zlib1g-dev)\n",
               stderr);
    std::exit(1);
#endif
    return window_bits;
}

#ifdef FPGABITS_WITH_ZLIB
// The third form: the data of the fpgabits.i INPUT compressed.
void compress(int window_bits, const char *input, const char *output) {
    std::FILE *in = open_file(input, "r");
    std::FILE *out = open_file(output, "w");

    // The comment and the text declarations, up to the array, as they are.
    char line[1024];
    do {
        if (std::fgets(line, sizeof line, in) == nullptr)
            fail(input, "no FPGABITS array");
        std::fputs(line, out);
    } while (std::strcmp(line, "unsigned char FPGABITS[] =\n") != 0);
    if (std::fgets(line, sizeof line, in) == nullptr || std::strcmp(line, "{\n") != 0)
        fail(input, "no FPGABITS array");

    Packer packer(out, output, window_bits);
    unsigned long total = 0;
    for (bool ended = false; !ended;) {
        const std::size_t size = read_block(in, input, ended);
        total += size;
        packer.pack(data, size, ended ? Z_FINISH : Z_NO_FLUSH);
    }
    std::fprintf(out, "\nsize_t FPGAsize = %lu;\n", total);
    std::fclose(in);
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        fail(output, "cannot write");
}

// The fourth form: the file INPUT as a gzip file named NAME.
void write_gzip(int window_bits, const char *input, const char *output, const char *name) {
    std::FILE *in = open_file(input, "rb");
    std::FILE *out = open_file(output, "wb");
    Packer packer(out, output, window_bits, name);
    bool ended = false;
    while (!ended) {
        // Less than a block only at the end of the file, or on an error.
        const std::size_t size = std::fread(data, 1, sizeof data, in);
        if (std::ferror(in) != 0)
            fail(input, "cannot read");
        ended = size < sizeof data;
        packer.pack(data, size, ended ? Z_FINISH : Z_NO_FLUSH);
    }
    std::fclose(in);
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        fail(output, "cannot write");
}
#endif

} // namespace

int main(int argc, char **argv) {
    if (argc == 4 && std::strcmp(argv[1], "--check") == 0) {
        write_values(argv[2], argv[3]);
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "--fingerprint") == 0) {
        fingerprint(argv[2], argv[3]);
        return 0;
    }
    if (argc == 6 && std::strcmp(argv[1], "--gzip") == 0) {
        [[maybe_unused]] const int window_bits = window_bits_of(argv[2]);
#ifdef FPGABITS_WITH_ZLIB
        write_gzip(window_bits, argv[3], argv[4], argv[5]);
#endif
        return 0;
    }
    if (argc != 4 || argv[1][0] == '-') {
        std::fputs("usage: fpgabits-deflate --check BITSTREAM OUTPUT\n"
                   "       fpgabits-deflate --fingerprint INPUT OUTPUT\n"
                   "       fpgabits-deflate WINDOW INPUT OUTPUT\n"
                   "       fpgabits-deflate --gzip WINDOW INPUT OUTPUT NAME\n",
                   stderr);
        return 2;
    }
    [[maybe_unused]] const int window_bits = window_bits_of(argv[1]);
#ifdef FPGABITS_WITH_ZLIB
    compress(window_bits, argv[2], argv[3]);
#endif
    return 0;
}
