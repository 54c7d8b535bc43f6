#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bitstream.h"
#include "fpgabits.h"
#include "support.h"

using bitstream::text;
using support::MemoryInput;

namespace {

int read_header(const std::string &bytes) {
    MemoryInput input(bytes);
    return header();
}

// The header framing with empty fields, with the tags in the order given;
// the last tag stands alone.
std::string framed(const std::string &tags) {
    std::string out("\x00\x09", 2);
    out += bitstream::lead;
    out += std::string("\x00\x01", 2);
    for (std::size_t i = 0; i < tags.size(); ++i) {
        out += tags[i];
        if (i + 1 < tags.size())
            out += std::string(2, '\0');
    }
    return out;
}

std::string with(std::string bytes, std::size_t offset, const std::string &replacement) {
    return bytes.replace(offset, replacement.size(), replacement);
}

struct FramingCase {
    const char *what;
    std::string bytes;
    int status;
};

TEST(Header, AcceptsOnlyTheExactFraming) {
    const std::string shortest = framed("abcde");
    const FramingCase cases[] = {
        {"shortest header", shortest, 0},
        {"leading field of zeros", with(shortest, 2, std::string(9, '\0')), 0},
        {"leading field of tags", with(shortest, 2, std::string("abcde\x09\x01\xff\x00", 9)), 0},
        {"leading length 10", with(shortest, 0, std::string("\x00\x0a", 2)), 1},
        {"leading length byte-swapped", with(shortest, 0, std::string("\x09\x00", 2)), 1},
        {"value two", with(shortest, 11, std::string("\x00\x02", 2)), 1},
        {"value one byte-swapped", with(shortest, 11, std::string("\x01\x00", 2)), 1},
        {"tags out of order", framed("bacde"), 1},
        {"tag missing", framed("abde"), 1},
        {"tag repeated", framed("aabcde"), 1},
        {"upper-case first tag", framed("Abcde"), 1},
        {"upper-case last tag", framed("abcdE"), 1},
        {"no closing tag", framed("abcdf"), 1},
        {"ends before the closing tag", framed("abcd") + std::string(2, '\0'), 1},
        {"empty file", "", 1},
        {"text, not a bitstream", "This is not a bitstream file at all.\n", 1},
    };
    for (const FramingCase &c : cases)
        EXPECT_EQ(read_header(c.bytes), c.status) << c.what;
    EXPECT_EQ(shortest.size(), 26U);
}

struct TextCase {
    const char *what;
    std::string name, device, date, time; // raw field bytes
    std::string want_name, want_device, want_date, want_time;
};

// A buffer holds the text wanted, and zeros behind the bytes taken from the
// field: all it read of a text that fits, only the text kept of one that is cut.
void expect_stored(const char *buf, std::size_t size, const std::string &field, const std::string &want,
                   const char *what) {
    EXPECT_EQ(std::string(buf), want) << what;
    const bool fits = field.find('\0') < size || field.size() < size;
    const std::size_t taken = fits ? std::min(field.size(), size) : want.size();
    EXPECT_EQ(std::string(buf + taken, size - taken), std::string(size - taken, '\0')) << what;
}

TEST(Header, StoresTextsWithinTheirBuffers) {
    const std::string n31(31, 'n');
    const std::string d15(15, 'd');
    const TextCase cases[] = {
        {"empty fields", "", "", "", "", "", "", "", ""},
        {"terminated texts", text("top"), text("7a35t"), text("2026/12/08"), text("09:30:00"), "top", "7a35t",
         "2026/12/08", "09:30:00"},
        {"zero byte inside", std::string("ab\0cd", 5), std::string("\0xyz", 4), "x", "", "ab", "", "x", ""},
        {"longest texts, unterminated", n31, n31, d15, d15, n31, n31, d15, d15},
        {"longest texts, terminated", text(n31), text(n31), text(d15), text(d15), n31, n31, d15, d15},
        {"one byte too long", n31 + "N", n31 + "N", d15 + "D", d15 + "D", n31, n31, d15, d15},
        {"two bytes too long", text(n31 + "N"), n31 + "NN", text(d15 + "D"), d15 + "DD", n31, n31, d15, d15},
        {"longest fields", std::string(65535, 'a'), std::string(65535, 'b'), std::string(65535, 'c'),
         std::string(65535, 'd'), std::string(31, 'a'), std::string(31, 'b'), std::string(15, 'c'),
         std::string(15, 'd')},
        {"long texts keep their parts that fit whole", text("design_1_wrapper;UserID=0XFFFFFFFF;Version=2019.2"),
         text("top;UserID=0XFFFFFFFF;Version=2016.3"), text(std::string(14, 'd') + ";;x"), text("12:00:00;UTC+01:00"),
         "design_1_wrapper", "top;UserID=0XFFFFFFFF", std::string(14, 'd') + ";", "12:00:00"},
        {"long texts whose first part is one byte", text(std::string("x;") + std::string(40, 'y')), text(n31),
         text(std::string("d;") + d15), text(d15), "x", n31, "d", d15},
        {"long texts with no part that fits", text(std::string(";") + std::string(40, 'x')), text(n31 + "N;x"),
         text(std::string(30, 'd') + ";"), std::string("ab;cd\0", 6) + std::string(40, 'x'),
         std::string(";") + std::string(30, 'x'), n31, d15, "ab;cd"},
        {"quotes, backslashes and line breaks", text("a\"b\\c\n"), text("?\?/"), "\x80\xff", "\t", "a\"b\\c\n", "?\?/",
         "\x80\xff", "\t"},
    };
    // Fill the buffers first, so that a field that fails to clear its buffer shows.
    read_header(bitstream::header(n31, n31, d15, d15));
    for (const TextCase &c : cases) {
        ASSERT_EQ(read_header(bitstream::header(c.name, c.device, c.date, c.time) + "trailing"), 0) << c.what;
        expect_stored(nam, sizeof nam, c.name, c.want_name, c.what);
        expect_stored(typ, sizeof typ, c.device, c.want_device, c.what);
        expect_stored(dat, sizeof dat, c.date, c.want_date, c.what);
        expect_stored(tim, sizeof tim, c.time, c.want_time, c.what);
    }
}

// Each field at the lengths around its buffer's size, with no zero byte: the
// text is cut to fit, and the fields after it are still read.
TEST(Header, CutsEveryFieldToItsBuffer) {
    char *const buffers[] = {nam, typ, dat, tim};
    const std::size_t sizes[] = {sizeof nam, sizeof typ, sizeof dat, sizeof tim};
    for (std::size_t length : {0, 1, 14, 15, 16, 17, 30, 31, 32, 33, 65535}) {
        for (std::size_t field = 0; field < 4; ++field) {
            std::string fields[] = {text("name"), text("device"), text("date"), text("time")};
            const std::string others[] = {fields[0], fields[1], fields[2], fields[3]};
            fields[field] = std::string(length, static_cast<char>('A' + field));
            ASSERT_EQ(read_header(bitstream::header(fields[0], fields[1], fields[2], fields[3])), 0)
                << "field " << field << ", " << length << " bytes";
            for (std::size_t i = 0; i < 4; ++i) {
                const std::string want =
                    i == field ? fields[i].substr(0, sizes[i] - 1) : others[i].substr(0, others[i].size() - 1);
                EXPECT_EQ(std::string(buffers[i]), want) << "field " << field << ", " << length << " bytes";
            }
        }
    }
}

TEST(Header, RejectsAFileCutAnywhereInTheHeader) {
    const std::string head = bitstream::header(text("design;UserID=0XFFFFFFFF;Version=2024.2"), text("7z010clg400"),
                                               text("2026/12/08"), text("09:30:00"));
    for (std::size_t size = 0; size < head.size(); ++size)
        EXPECT_EQ(read_header(head.substr(0, size)), 1) << "cut at " << size;
    EXPECT_EQ(read_header(head), 0) << "ends right after the closing tag";
}

TEST(Header, RejectsFieldLengthsPastTheEnd) {
    for (const char *length : {"\x00\x01", "\x01\x00", "\xff\xff"}) {
        std::string bytes = framed("a");
        bytes += std::string(length, 2) + "short";
        EXPECT_EQ(read_header(bytes), 1) << "length " << int(bytes[bytes.size() - 7] & 0xff);
    }
}

TEST(Header, ReadsFromTheStartWhereverTheStreamStands) {
    MemoryInput input(bitstream::header(text("top"), text("dev"), text("date"), text("time")));
    std::fseek(fs, 20, SEEK_SET);
    std::getc(fs);
    ASSERT_EQ(header(), 0);
    EXPECT_STREQ(nam, "top");
    unsigned char word[4];
    EXPECT_EQ(std::fread(word, 1, 4, fs), 0U) << "stands at the length word, at the end of this file";
}

} // namespace
