#include <sys/stat.h>

#include <algorithm>

#include "fpgabits.h"
#include "render.h"

std::FILE *fd;
std::uint32_t addr;

namespace {

const char hdr2[] = "unsigned char FPGABITS[] =\n{\n";

// One block of data, and the same rendered.
unsigned char in_block[render::block_size];
char out_block[render::max_output(render::block_size)];

// Writes a header text as the body of a C string literal whose value is the
// text itself, whatever bytes the file put there. Question marks are escaped
// so that no trigraph can form; octal escapes are used because they never
// run into the next character. Every escape stands for one character, so the
// text still fits its 32-byte declaration.
char *escape(const char *text, char *out) {
    for (; *text != '\0'; ++text) {
        const auto c = static_cast<unsigned char>(*text);
        if (c == '"' || c == '\\' || c == '?') {
            *out++ = '\\';
            *out++ = static_cast<char>(c);
        } else if (c >= 0x20 && c < 0x7f) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '\\';
            *out++ = static_cast<char>('0' + (c >> 6));
            *out++ = static_cast<char>('0' + (c >> 3 & 7));
            *out++ = static_cast<char>('0' + (c & 7));
        }
    }
    *out = '\0';
    return out;
}

// Room for the longest header text with every byte escaped as \ooo.
using Literal = char[4 * sizeof nam];

void write_declarations() {
    Literal appl;
    Literal type;
    Literal date;
    Literal time;
    escape(nam, appl);
    escape(typ, type);
    escape(dat, date);
    escape(tim, time);
    std::fprintf(fd,
                 "/* Automatically generated - do not edit */\n\n"
                 "char FPGAappl[32]=\"%s\";\n"
                 "char FPGAtype[32]=\"%s\";\n"
                 "char FPGAdate[32]=\"%s %s\";\n\n",
                 appl, type, date, time);
    std::fputs(hdr2, fd);
}

// Copies addr bytes of configuration data from fs into the array. Returns
// false when the data ends early or fpgabits.i cannot be written; whatever
// was read by then has been written.
bool copy_data() {
    std::uint32_t count = 0;
    while (count < addr) {
        const std::size_t wanted = std::min<std::uint32_t>(render::block_size, addr - count);
        const std::size_t got = std::fread(in_block, 1, wanted, fs);
        const std::size_t length = render::lines(in_block, got, out_block);
        if (std::fwrite(out_block, 1, length, fd) != length)
            return false;
        count += static_cast<std::uint32_t>(got);
        if (got < wanted)
            return false;
    }
    if (count % render::items_per_line != 0)
        std::fputc('\n', fd);
    std::fputs("};\n\n", fd);
    return true;
}

// Creating fpgabits.i empties it. When it is the input itself, under its own
// name or through a link, that would destroy the bitstream.
bool output_is_input() {
    struct stat input {};
    struct stat output {};
    return fstat(fileno(fs), &input) == 0 && stat("fpgabits.i", &output) == 0 && input.st_dev == output.st_dev &&
           input.st_ino == output.st_ino;
}

} // namespace

int process() {
    if (header() != 0) {
        std::fputs("Unrecognized bitstream file\n", stdout);
        return 1;
    }
    if (output_is_input())
        return 1;
    fd = std::fopen("fpgabits.i", "w");
    if (fd == nullptr)
        return 1;
    // Data goes out in blocks far larger than a stdio buffer; without one,
    // every block is a single write.
    std::setvbuf(fd, nullptr, _IONBF, 0);
    write_declarations();

    unsigned char word[4];
    if (std::fread(word, 1, sizeof word, fs) != sizeof word)
        return 1;
    addr = static_cast<std::uint32_t>(word[0]) << 24 | static_cast<std::uint32_t>(word[1]) << 16 |
           static_cast<std::uint32_t>(word[2]) << 8 | word[3];
    std::printf("Config file read is %#x bytes\n", static_cast<unsigned>(addr));
    // The conversion of a large file takes a while; show its length now.
    std::fflush(stdout);

    if (!copy_data())
        return 1;
    return std::fflush(fd) == 0 && std::ferror(fd) == 0 ? 0 : 1;
}
