// Helpers for the tests: scratch directories, running programs, files, and a
// plain reference rendering of fpgabits.i to compare the converter against.
#ifndef FPGABITS_TESTS_SUPPORT_H
#define FPGABITS_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace support {

using Path = std::filesystem::path;

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const Path &path() const { return path_; }
    Path operator/(const std::string &name) const { return path_ / name; }

  private:
    Path path_;
};

// Makes dir the working directory for the lifetime of the object.
class ScopedCwd {
  public:
    explicit ScopedCwd(const Path &dir);
    ~ScopedCwd();
    ScopedCwd(const ScopedCwd &) = delete;
    ScopedCwd &operator=(const ScopedCwd &) = delete;

  private:
    Path previous_;
};

struct Result {
    int status = -1; // exit status, or -1 when the program did not exit normally
    std::string out;
    std::string err;
};

// Runs argv[0] with the given arguments in dir, feeding it input on standard
// input, and collects what it prints.
Result run(const std::vector<std::string> &argv, const Path &dir, const std::string &input = "");

// Runs a shell command line; returns its exit status, with its output in *output.
int shell(const std::string &command, std::string *output = nullptr);

std::string read_file(const Path &file);
void write_file(const Path &file, const std::string &bytes);

// A bitstream file that a real toolchain made, and its bytes.
struct RealBitstream {
    Path path;
    std::string file;
};

// The bitstream files in the folder REAL_BITSTREAMS, by name; none where the
// folder is missing.
std::vector<RealBitstream> real_bitstreams();

// fpgabits.i as the converter must write it for these texts and data. When
// complete is false the data ended early: the items stop and the array stays open.
std::string expected_output(const std::string &name, const std::string &device, const std::string &date,
                            const std::string &time, const std::string &data, bool complete = true);

// Compares two long texts, and on a difference shows where it starts rather
// than both texts whole.
::testing::AssertionResult same_text(const std::string &actual, const std::string &expected);

// The "Config file read" message for a length.
std::string length_message(std::uint32_t length);

// Points the converter's input stream fs at a copy of bytes in memory, and
// closes it again when the object goes.
class MemoryInput {
  public:
    explicit MemoryInput(std::string bytes);
    ~MemoryInput();
    MemoryInput(const MemoryInput &) = delete;
    MemoryInput &operator=(const MemoryInput &) = delete;

  private:
    std::string bytes_;
};

} // namespace support

#endif
