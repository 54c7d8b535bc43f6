// Runs the built fpgabits executable the way people and scripts do.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "bitstream.h"
#include "support.h"

using bitstream::text;
using support::expected_output;
using support::length_message;
using support::read_file;
using support::write_file;

namespace {

class Cli : public ::testing::Test {
  protected:
    support::Result fpgabits(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), FPGABITS_EXE);
        return support::run(args, dir.path(), input);
    }
    std::string output() const { return read_file(dir / "fpgabits.i"); }
    bool output_exists() const { return std::filesystem::exists(dir / "fpgabits.i"); }

    support::TempDir dir;
};

const std::string &header_bytes() {
    static const std::string bytes =
        bitstream::header(text("top;UserID=0XFFFFFFFF"), text("7a35tcsg324"), text("2026/12/08"), text("09:30:00"));
    return bytes;
}

std::string expected(const std::string &data, bool complete = true) {
    return expected_output("top;UserID=0XFFFFFFFF", "7a35tcsg324", "2026/12/08", "09:30:00", data, complete);
}

TEST_F(Cli, ConvertsAFile) {
    const std::string &head = header_bytes();
    const std::string data = bitstream::data(10);
    write_file(dir / "in.bit", bitstream::file(head, data));
    for (const std::vector<std::string> &args : {std::vector<std::string>{"in.bit"}, {"in.bit", "other.bit", "-h"}}) {
        const support::Result r = fpgabits(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "Config file read is 0xa bytes\n");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(output(), expected(data));
    }
}

TEST_F(Cli, ReportsAnEmptyArrayAsZeroBytes) {
    const std::string &head = header_bytes();
    write_file(dir / "in.bit", bitstream::file(head, ""));
    const support::Result r = fpgabits({"in.bit"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Config file read is 0 bytes\n");
    EXPECT_EQ(output(), expected(""));
}

struct Rejected {
    const char *what;
    std::function<std::vector<std::string>(const support::TempDir &)> setup; // returns the arguments
    const char *out;
};

// Every way to fail before fpgabits.i is created: status 1, at most the one
// message, and no fpgabits.i touched.
TEST_F(Cli, FailsBeforeCreatingTheOutput) {
    const std::string &head = header_bytes();
    const char *const unrecognized = "Unrecognized bitstream file\n";
    const auto file = [](const std::string &bytes) {
        return [bytes](const support::TempDir &d) {
            write_file(d / "in.bit", bytes);
            return std::vector<std::string>{"in.bit"};
        };
    };
    const Rejected cases[] = {
        {"no argument", [](const support::TempDir &) { return std::vector<std::string>{}; }, ""},
        {"no such file", [](const support::TempDir &) { return std::vector<std::string>{"missing.bit"}; }, ""},
        {"a directory",
         [](const support::TempDir &d) {
             std::filesystem::create_directory(d / "dir.bit");
             return std::vector<std::string>{"dir.bit"};
         },
         unrecognized},
        {"/dev/null", [](const support::TempDir &) { return std::vector<std::string>{"/dev/null"}; }, unrecognized},
        {"an empty file", file(""), unrecognized},
        {"a text file", file("hello\n"), unrecognized},
        {"a header cut short", file(head.substr(0, head.size() - 1)), unrecognized},
        {"a wrong tag", file(head.substr(0, head.size() - 1) + "f" + bitstream::data(8)), unrecognized},
    };
    for (const Rejected &c : cases) {
        support::TempDir d;
        std::vector<std::string> args = c.setup(d);
        args.insert(args.begin(), FPGABITS_EXE);
        support::Result r = support::run(args, d.path());
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        EXPECT_EQ(r.err, "") << c.what;
        EXPECT_FALSE(std::filesystem::exists(d / "fpgabits.i")) << c.what;

        write_file(d / "fpgabits.i", "keep me\n");
        r = support::run(args, d.path());
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(read_file(d / "fpgabits.i"), "keep me\n") << c.what;
    }
}

TEST_F(Cli, KeepsWhatWasWrittenWhenTheDataEndsEarly) {
    const std::string &head = header_bytes();
    const std::string data = bitstream::data(100);
    write_file(dir / "in.bit", bitstream::file(head, data).substr(0, head.size() + 4 + 50));
    support::Result r = fpgabits({"in.bit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Config file read is 0x64 bytes\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(output(), expected(data.substr(0, 50), false));

    write_file(dir / "in.bit", head + std::string("\xff\xff\xff\xff", 4) + data);
    r = fpgabits({"in.bit"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Config file read is 0xffffffff bytes\n");
    EXPECT_EQ(output(), expected(data, false));

    for (std::size_t cut = 0; cut < 4; ++cut) {
        write_file(dir / "in.bit", head + std::string(cut, '\0'));
        r = fpgabits({"in.bit"});
        EXPECT_EQ(r.status, 1) << cut;
        EXPECT_EQ(r.out, "") << "a length word cut short has no length to report";
        EXPECT_EQ(output(), expected("", false)) << cut;
    }
}

TEST_F(Cli, FailsWhenTheOutputCannotBeWritten) {
    const std::string &head = header_bytes();
    write_file(dir / "in.bit", bitstream::file(head, bitstream::data(100)));
    std::filesystem::create_directory(dir / "fpgabits.i");
    support::Result r = fpgabits({"in.bit"});
    EXPECT_EQ(r.status, 1) << "fpgabits.i is a directory";
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");

    // A full disk: fpgabits.i is unbuffered, so every write fails at once. With
    // no data, only the check of the stream at the end sees that.
    std::filesystem::remove(dir / "fpgabits.i");
    std::filesystem::create_symlink("/dev/full", dir / "fpgabits.i");
    for (std::size_t size : {0, 10, 1 << 20}) {
        write_file(dir / "in.bit", bitstream::file(head, bitstream::data(size)));
        r = fpgabits({"in.bit"});
        EXPECT_EQ(r.status, 1) << size;
        EXPECT_EQ(r.out, length_message(static_cast<std::uint32_t>(size)));
        EXPECT_EQ(r.err, "");
    }
}

// Creating fpgabits.i would empty the input when the two are one file.
TEST_F(Cli, NeverEmptiesItsInput) {
    const std::string file = bitstream::file(header_bytes(), bitstream::data(100));
    struct Case {
        const char *what;
        const char *argument;
        void (*link)(const std::filesystem::path &input, const std::filesystem::path &output);
    };
    const Case cases[] = {
        {"named as the output", "fpgabits.i", [](const auto &, const auto &) {}},
        {"a symbolic link", "in.bit",
         [](const auto &in, const auto &out) { std::filesystem::create_symlink(in, out); }},
        {"a hard link", "in.bit", [](const auto &in, const auto &out) { std::filesystem::create_hard_link(in, out); }},
    };
    for (const Case &c : cases) {
        support::TempDir d;
        const std::filesystem::path input = d / c.argument;
        write_file(input, file);
        c.link(input, d / "fpgabits.i");
        const support::Result r = support::run({FPGABITS_EXE, c.argument}, d.path());
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.out, "") << c.what;
        EXPECT_EQ(read_file(input), file) << c.what;
        EXPECT_EQ(read_file(d / "fpgabits.i"), file) << c.what;
    }
}

// Standard descriptors closed, or standard output that cannot be written: the
// file is still written right, and the status tells whether the line was.
TEST_F(Cli, HandlesStandardStreamsThatCannotBeUsed) {
    const std::string data = bitstream::data(10);
    write_file(dir / "in.bit", bitstream::file(header_bytes(), data));
    struct Case {
        const char *redirections;
        int status;
    };
    for (const Case &c : {Case{"<&- >&- 2>&-", 0}, Case{">/dev/full", 1}}) {
        const support::Result r = support::run(
            {"/bin/sh", "-c", std::string("exec \"$0\" in.bit ") + c.redirections, FPGABITS_EXE}, dir.path());
        EXPECT_EQ(r.status, c.status) << c.redirections;
        EXPECT_EQ(r.err, "") << c.redirections;
        EXPECT_EQ(output(), expected(data)) << c.redirections;
    }
}

// Input that cannot seek: a pipe on standard input, and a FIFO.
TEST_F(Cli, ReadsInputThatCannotSeek) {
    const std::string &head = header_bytes();
    const std::string data = bitstream::data(200000);
    const std::string file = bitstream::file(head, data);
    support::Result r = fpgabits({"/dev/stdin"}, file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, length_message(200000));
    EXPECT_TRUE(support::same_text(output(), expected(data)));

    // fpgabits stops reading at a header it does not recognise, long before
    // the end of what the pipe is fed.
    r = fpgabits({"/dev/stdin"}, "not a bitstream" + data);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Unrecognized bitstream file\n");

    std::filesystem::remove(dir / "fpgabits.i");
    ASSERT_EQ(mkfifo((dir / "in.fifo").c_str(), 0600), 0);
    std::thread writer([&] { write_file(dir / "in.fifo", file); });
    r = fpgabits({"in.fifo"});
    writer.join();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(support::same_text(output(), expected(data)));
}

} // namespace
