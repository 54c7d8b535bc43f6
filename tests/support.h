// Helpers for the tests: scratch directories, running programs, files, and a
// plain reference rendering of fpgabits.i to compare the converter against.
#ifndef FPGABITS_TESTS_SUPPORT_H
#define FPGABITS_TESTS_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <ostream>
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

// A bitstream file that a real toolchain made, for tests of its own: one
// value-parameterized test per file, which ctest runs with its own timeout.
struct RealBitstream {
    std::string name;      // for the test's name: its header's device type, in letters, digits and '_'
    Path path;             // empty where the folder holds no bitstream: the test skips
    std::size_t index = 0; // its place among all the files, by file name
};

// The tests on the files over 1 MiB take up to half a minute each under the
// sanitizers, many minutes together: they are instantiated as Heavy/...,
// which CTest labels heavy, and the others as Real/... Where the folder
// REAL_BITSTREAMS is missing or holds no bitstream, the light list holds one
// without a path, and the heavy one none.
enum class Weight { light, heavy };
std::vector<RealBitstream> real_bitstreams(Weight weight);

// The name of a test on a real bitstream, and how gtest shows its value.
std::string real_name(const ::testing::TestParamInfo<RealBitstream> &info);
void PrintTo(const RealBitstream &bit, std::ostream *out);

// Why a test on a real bitstream without a path skips.
inline constexpr const char *no_real_bitstreams = "no bitstreams in " REAL_BITSTREAMS;

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
