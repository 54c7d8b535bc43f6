#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "bitstream.h"
#include "fpgabits.h"
#include "render.h"
#include "support.h"

using bitstream::text;
using support::expected_output;

namespace {

// Runs the conversion in a scratch directory the way the driver does.
class Convert : public ::testing::Test {
  protected:
    int convert(const std::string &bytes) {
        support::MemoryInput input(bytes);
        fd = nullptr;
        int status = process();
        if (fd != nullptr && std::fclose(fd) != 0)
            status = 1;
        fd = nullptr;
        return status;
    }
    std::string output() const { return support::read_file(dir_ / "fpgabits.i"); }
    bool output_exists() const { return std::filesystem::exists(dir_ / "fpgabits.i"); }

  private:
    support::TempDir dir_;
    support::ScopedCwd cwd_{dir_.path()};
};

const std::string &plain_header() {
    static const std::string bytes =
        bitstream::header(text("top"), text("7a35t"), text("2026/12/08"), text("09:30:00"));
    return bytes;
}

std::string expected(const std::string &data, bool complete = true) {
    return expected_output("top", "7a35t", "2026/12/08", "09:30:00", data, complete);
}

TEST_F(Convert, WritesTenBytesAsTwoLines) {
    ASSERT_EQ(convert(bitstream::file(plain_header(), std::string("\0\1\2\3\4\5\6\7\x08\x09", 10))), 0);
    EXPECT_EQ(output(), "/* Automatically generated - do not edit */\n\n"
                        "char FPGAappl[32]=\"top\";\n"
                        "char FPGAtype[32]=\"7a35t\";\n"
                        "char FPGAdate[32]=\"2026/12/08 09:30:00\";\n\n"
                        "unsigned char FPGABITS[] =\n{\n"
                        "\t0x00,0x01,0x02,0x03,0x04,0x05,0x06,0x07,\n"
                        "\t0x08,0x09,\n"
                        "};\n\n");
    EXPECT_EQ(addr, 10U);
}

TEST_F(Convert, WritesEightItemsALine) {
    for (std::size_t size : {0, 1, 7, 8, 9, 15, 16, 17, 256, 1000}) {
        const std::string data = bitstream::data(size, static_cast<std::uint32_t>(size));
        ASSERT_EQ(convert(bitstream::file(plain_header(), data)), 0) << size;
        EXPECT_EQ(output(), expected(data)) << size;
    }
}

// The data is read in blocks; lengths around multiples of the block size, and
// data one byte short of each, must come out as a byte-at-a-time rendering does.
TEST_F(Convert, BlockBoundariesChangeNothing) {
    for (std::size_t blocks : {1, 2}) {
        for (int delta : {-9, -8, -7, -1, 0, 1, 7, 8, 9}) {
            const std::size_t size = blocks * render::block_size + static_cast<std::size_t>(delta);
            const std::string data = bitstream::data(size, static_cast<std::uint32_t>(size));
            const std::string file = bitstream::file(plain_header(), data);
            ASSERT_EQ(convert(file), 0) << size;
            EXPECT_TRUE(support::same_text(output(), expected(data))) << size;

            ASSERT_EQ(convert(file.substr(0, file.size() - 1)), 1) << size << " less one";
            EXPECT_TRUE(support::same_text(output(), expected(data.substr(0, size - 1), false))) << size << " less one";
        }
    }
}

TEST_F(Convert, TakesTheLengthWordMostSignificantFirstAndIgnoresTheRest) {
    std::string file = plain_header() + std::string("\x00\x00\x01\x00", 4);
    const std::string data = bitstream::data(70000);
    ASSERT_EQ(convert(file + data), 0);
    EXPECT_EQ(addr, 256U);
    EXPECT_EQ(output(), expected(data.substr(0, 256)));
}

TEST_F(Convert, UnrecognisedHeaderCreatesNothing) {
    ASSERT_EQ(convert(plain_header().substr(1)), 1);
    EXPECT_EQ(fd, nullptr);
    EXPECT_FALSE(output_exists());
}

struct LiteralCase {
    std::string text;
    std::string literal;
};

TEST_F(Convert, WritesTextsAsStringLiterals) {
    const LiteralCase cases[] = {
        {"plain text: A-Z 0-9 ;=/.", "plain text: A-Z 0-9 ;=/."},
        {"a\"b", "a\\\"b"},
        {"C:\\top\\", "C:\\\\top\\\\"},
        {"?\?/ ?\?= why?", "\\?\\?/ \\?\\?= why\\?"},
        {"line\nbreak\r\t", "line\\012break\\015\\011"},
        {"\x01"
         "7",
         "\\0017"},
        {"\x7f\x80\xff", "\\177\\200\\377"},
    };
    for (const LiteralCase &c : cases) {
        ASSERT_EQ(convert(bitstream::file(bitstream::header(text(c.text), "", "", ""), "")), 0) << c.text;
        EXPECT_EQ(output(), expected_output(c.literal, "", "", "", "")) << c.text;
    }
}

} // namespace
