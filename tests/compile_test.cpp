// Compiles generated files with the C and C++ compilers and checks that the
// program sees exactly the header texts and data of the bitstream.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "bitstream.h"
#include "fpgabits_load.h"
#include "support.h"

using bitstream::text;

namespace {

std::string hex(const std::string &bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        const char digits[] = "0123456789abcdef";
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out + "\n";
}

std::string read_back(const std::string &name, const std::string &device, const std::string &date,
                      const std::string &data) {
    return hex(name) + hex(device) + hex(date) + std::to_string(data.size()) + "\n" + hex(data);
}

struct Compiler {
    const char *what;
    const char *command;
};

const Compiler compilers[] = {
    {"C11", C_COMPILER " -x c -std=c11"},
    {"C17", C_COMPILER " -x c -std=gnu17"},
    {"C++20", CXX_COMPILER " -x c++ -std=c++20"},
};

// Compiles read_back.c against dir/fpgabits.i with the first count compilers
// and checks what the program prints.
void expect_compiles_to(const std::filesystem::path &dir, const std::string &want,
                        std::size_t count = std::size(compilers)) {
    for (const Compiler &c : std::span(compilers, count)) {
        std::string log;
        const std::string program = (dir / "read_back").string();
        const std::string build = std::string(c.command) + " -Wall -Wextra -Wpedantic -Werror -I" + dir.string() + " " +
                                  TESTS_DIR "/read_back.c -o " + program;
        ASSERT_EQ(support::shell(build, &log), 0) << c.what << ": " << log;
        std::string printed;
        ASSERT_EQ(support::shell(program, &printed), 0) << c.what;
        EXPECT_TRUE(support::same_text(printed, want)) << c.what;
    }
}

TEST(Compile, TextsAndDataSurviveTheCompilers) {
    struct Case {
        const char *what;
        std::string name, device, date, time;
    };
    const Case cases[] = {
        {"plain", "top;UserID=0XFFFFFFFF", "7a35tcsg324", "2026/12/08", "09:30:00"},
        {"quotes and backslashes", "a\"b\\\"c\\", "\\", "\"", "\\\\"},
        {"trigraphs", "?\?/ ?\?= ?\?( ?\?) ?\?' ?\?< ?\?> ?\?!", "?\?-?", "?\?\?/", "?\?"},
        {"line breaks and control bytes",
         "line\nbreak\r\t\x01"
         "7",
         "\x1b[0m", "\n", "\x7f"},
        {"bytes above 0x7f", "\x80\x81\xfe\xff caf\xc3\xa9", "\xff\xff\xff\xff", "\xe2\x80\x9c", "\xc2\xa0"},
        {"longest texts", std::string(31, '\\'), std::string(31, '?'), std::string(15, '"'), std::string(15, '\n')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        support::TempDir dir;
        const std::string data = bitstream::data(1001, 7);
        support::write_file(
            dir / "in.bit",
            bitstream::file(bitstream::header(text(c.name), text(c.device), text(c.date), text(c.time)), data));
        ASSERT_EQ(support::run({FPGABITS_EXE, "in.bit"}, dir.path()).status, 0);
        expect_compiles_to(dir.path(), read_back(c.name, c.device, c.date + " " + c.time, data));
    }
}

// Each bitstream that a real toolchain made, where the folder of them is
// present, in a test of its own.
class CompileReal : public ::testing::TestWithParam<support::RealBitstream> {};

TEST_P(CompileReal, ConvertsAndCompiles) {
    const support::RealBitstream &bit = GetParam();
    if (bit.path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    // Read the file with the tests' own parser, independent of the tool's.
    const std::string file = support::read_file(bit.path);
    const bitstream::Parsed parsed = bitstream::parse(file);
    ASSERT_TRUE(parsed.recognised && parsed.complete);
    const std::string *texts = parsed.texts;
    const std::string data(parsed.data);
    const auto size = static_cast<std::uint32_t>(data.size());

    support::TempDir dir;
    const support::Result r = support::run({FPGABITS_EXE, bit.path.string()}, dir.path());
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, support::length_message(size));
    EXPECT_TRUE(support::same_text(support::read_file(dir / "fpgabits.i"),
                                   support::expected_output(texts[0], texts[1], texts[2], texts[3], data)));
    // Megabytes of array source: the C compiler alone is enough here.
    expect_compiles_to(dir.path(), read_back(texts[0], texts[1], texts[2] + " " + texts[3], data), 1);

    // fpgabits-deflate reads the file, a block at a time, as the loader's
    // check pass reads it whole, and finds the IDCODE that the loader finds
    // in the whole data, or 0.
    std::vector<unsigned char> work(FPGABITS_IMAGE_WORK_SIZE(512));
    fpgabits_image image{};
    fpgabits_image_info info{};
    fpgabits_image_begin(&image, nullptr, FPGABITS_SERIAL, nullptr, 0, work.data(), work.size());
    fpgabits_image_write(&image, file.data(), file.size());
    ASSERT_EQ(fpgabits_image_end(&image, &info), FPGABITS_OK);
    std::uint32_t idcode = 0;
    fpgabits_idcode(data.data(), data.size(), &idcode);
    EXPECT_EQ(info.idcode, idcode);
    char values[200];
    std::snprintf(values, sizeof values,
                  "uint32_t FPGAcrc = 0x%08lxu;\nuint32_t FPGAidcode = 0x%08lxu;\n"
                  "uint32_t FPGAusr_access = 0x%08lxu;\nuint32_t FPGAusercode = 0x%08lxu;\n",
                  static_cast<unsigned long>(info.crc32), static_cast<unsigned long>(idcode),
                  static_cast<unsigned long>(info.usr_access), static_cast<unsigned long>(info.usercode));
    EXPECT_EQ(support::run({DEFLATE_EXE, "--check", bit.path.string(), "values.i"}, dir.path()).status, 0);
    EXPECT_EQ(support::read_file(dir / "values.i"), values);
}

INSTANTIATE_TEST_SUITE_P(Real, CompileReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::light)),
                         support::real_name);
INSTANTIATE_TEST_SUITE_P(Heavy, CompileReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::heavy)),
                         support::real_name);

// The loader compiles clean as C99 and C11, and for a Cortex-M3 at -Os where
// that compiler is present.
TEST(Compile, LoaderIsCleanC) {
    std::vector<std::string> commands = {C_COMPILER " -std=c99", C_COMPILER " -std=c11"};
    if (support::shell("arm-none-eabi-gcc --version >/dev/null 2>&1") == 0)
        commands.emplace_back("arm-none-eabi-gcc -std=c99 -mcpu=cortex-m3 -mthumb -Os");
    support::TempDir dir;
    for (const std::string &command : commands)
        for (const char *source : {"fpgabits_load.c", "fpgabits_inflate.c"}) {
            std::string log;
            EXPECT_EQ(support::shell(command + " -Wall -Wextra -Wpedantic -Werror -c " SOURCE_DIR "/loader/" + source +
                                         " -o " + (dir / "loader.o").string(),
                                     &log),
                      0)
                << command << " " << source << ": " << log;
        }
}

// The sample bitstream in examples/ is what the generator makes by default.
TEST(Sample, IsWhatTheGeneratorMakes) {
    support::TempDir dir;
    ASSERT_EQ(support::run({MKBITSTREAM_EXE, "sample.bit"}, dir.path()).status, 0);
    EXPECT_EQ(support::read_file(dir / "sample.bit"), support::read_file(SOURCE_DIR "/examples/sample.bit"));
}

} // namespace
