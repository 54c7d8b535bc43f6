// Fuzz target: converts arbitrary bytes and checks the result against the
// tests' own bitstream parser. Built with libFuzzer, or with replay.cpp to
// run saved inputs in the test suite.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "bitstream.h"
#include "fpgabits.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

// Reads back the value of a C string literal written as "..." at text[at].
std::string literal(std::string_view text, std::size_t &at) {
    check(text.substr(at, 1) == "\"", "a text starts with a quote");
    std::string value;
    for (++at; at < text.size() && text[at] != '"'; ++at) {
        char c = text[at];
        check(c >= 0x20 && c < 0x7f && c != '?', "a text holds printable characters only, and no '?'");
        if (c == '\\') {
            c = text[++at];
            if (c >= '0' && c <= '3') {
                check(at + 2 < text.size() && text[at + 1] >= '0' && text[at + 1] <= '7' && text[at + 2] >= '0' &&
                          text[at + 2] <= '7',
                      "an octal escape has three digits");
                c = static_cast<char>((c - '0') << 6 | (text[at + 1] - '0') << 3 | (text[at + 2] - '0'));
                at += 2;
            } else {
                check(c == '"' || c == '\\' || c == '?', "a known escape");
            }
        }
        value += c;
    }
    check(at < text.size(), "a text ends with a quote");
    ++at;
    return value;
}

void expect_line(std::string_view text, std::size_t &at, std::string_view wanted, const char *what) {
    check(text.substr(at, wanted.size()) == wanted, what);
    at += wanted.size();
}

int hex_digit(char c) {
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
}

// Checks fpgabits.i line by line against the expected texts and data. The
// array is closed only when the conversion was complete.
void check_output(std::string_view text, const bitstream::Parsed &e, bool complete) {
    std::size_t at = 0;
    expect_line(text, at, "/* Automatically generated - do not edit */\n\n", "the comment");
    expect_line(text, at, "char FPGAappl[32]=", "the name declaration");
    check(literal(text, at) == e.texts[0], "the name reads back");
    expect_line(text, at, ";\nchar FPGAtype[32]=", "the device declaration");
    check(literal(text, at) == e.texts[1], "the device reads back");
    expect_line(text, at, ";\nchar FPGAdate[32]=", "the date declaration");
    check(literal(text, at) == e.texts[2] + " " + e.texts[3], "the date reads back");
    expect_line(text, at, ";\n\nunsigned char FPGABITS[] =\n{\n", "the array opening");

    std::size_t items = 0;
    // A line ends after its eighth item; only the last line may end earlier.
    for (; at < text.size() && text[at] != '}' && text[at] != '\n'; ++items) {
        if (items % 8 == 0)
            expect_line(text, at, "\t", "a line starts with a tab");
        check(items < e.data.size(), "no more items than data");
        check(text.substr(at, 2) == "0x" && at + 5 <= text.size() && text[at + 4] == ',', "an item is 0xNN,");
        const int high = hex_digit(text[at + 2]);
        const int low = hex_digit(text[at + 3]);
        check(high >= 0 && low >= 0, "an item has two lower-case hex digits");
        check(static_cast<unsigned char>(e.data[items]) == (high << 4 | low), "an item equals its data byte");
        at += 5;
        if (items % 8 == 7)
            expect_line(text, at, "\n", "a full line ends");
    }
    if (complete) {
        check(items == e.data.size(), "every data byte is written");
        if (items % 8 != 0)
            expect_line(text, at, "\n", "the last line ends");
        expect_line(text, at, "};\n\n", "the array closes");
    } else {
        check(items == e.data.size(), "every byte read is written");
    }
    check(at == text.size(), "nothing follows");
}

std::string slurp(const char *path) {
    std::string text;
    std::FILE *f = std::fopen(path, "r");
    check(f != nullptr, "fpgabits.i can be read");
    char buf[65536];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;)
        text.append(buf, n);
    std::fclose(f);
    return text;
}

// Works in a scratch directory of its own, in memory where possible, and
// keeps the converter's messages off the terminal.
void set_up() {
    char scratch[] = "/dev/shm/fpgabits-fuzz-XXXXXX";
    char fallback[] = "/tmp/fpgabits-fuzz-XXXXXX";
    const char *dir = mkdtemp(scratch) != nullptr ? scratch : mkdtemp(fallback);
    check(dir != nullptr && chdir(dir) == 0, "a scratch directory");
    check(std::freopen("/dev/null", "w", stdout) != nullptr, "stdout to /dev/null");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    static const bool ready = (set_up(), true);
    (void)ready;
    const std::string input(reinterpret_cast<const char *>(bytes), size);
    unlink("fpgabits.i");

    fs = size == 0 ? std::fopen("/dev/null", "r") : fmemopen(const_cast<char *>(input.data()), size, "r");
    check(fs != nullptr, "an input stream");
    fd = nullptr;
    int status = process();
    if (fd != nullptr && std::fclose(fd) != 0)
        status = 1;
    fd = nullptr;
    std::fclose(fs);
    fs = nullptr;

    const bitstream::Parsed e = bitstream::parse(input);
    check(status == 0 || status == 1, "status 0 or 1");
    struct stat info {};
    const bool exists = stat("fpgabits.i", &info) == 0;
    if (!e.recognised) {
        check(status == 1 && !exists, "an unrecognised file fails and creates nothing");
        return 0;
    }
    check(exists, "a recognised file creates fpgabits.i");
    check(status == (e.complete ? 0 : 1), "status 0 exactly when the data is complete");
    check_output(slurp("fpgabits.i"), e, status == 0);
    return 0;
}
