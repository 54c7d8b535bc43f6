#include "support.h"

#include "bitstream.h"
#include "fpgabits.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace support {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "fpgabits-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedCwd::ScopedCwd(const Path &dir) : previous_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
    std::error_code ignored;
    std::filesystem::current_path(previous_, ignored);
}

Result run(const std::vector<std::string> &argv, const Path &dir, const std::string &input) {
    int in[2];
    int out[2];
    int err[2];
    if (pipe(in) != 0 || pipe(out) != 0 || pipe(err) != 0)
        throw std::runtime_error("pipe failed");
    // A child that exits before reading all its input must not take the tests
    // down with SIGPIPE: the write fails instead, and the input is dropped.
    std::signal(SIGPIPE, SIG_IGN);
    const pid_t pid = fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int p : {in[0], in[1], out[0], out[1], err[0], err[1]})
            close(p);
        std::signal(SIGPIPE, SIG_DFL);
        if (chdir(dir.c_str()) != 0)
            _exit(126);
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        std::transform(argv.begin(), argv.end(), std::back_inserter(args),
                       [](const std::string &a) { return const_cast<char *>(a.c_str()); });
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);

    // Feed the input and drain both outputs together, so that no pipe fills up.
    Result result;
    std::size_t fed = 0;
    if (input.empty()) {
        close(in[1]);
        in[1] = -1;
    } else {
        fcntl(in[1], F_SETFL, O_NONBLOCK);
    }
    std::string *sinks[] = {&result.out, &result.err};
    int sources[] = {out[0], err[0]};
    while (sources[0] >= 0 || sources[1] >= 0 || in[1] >= 0) {
        pollfd polls[3] = {{sources[0], POLLIN, 0}, {sources[1], POLLIN, 0}, {in[1], POLLOUT, 0}};
        poll(polls, 3, -1);
        for (int i = 0; i < 2; ++i) {
            if (polls[i].revents == 0)
                continue;
            char buf[65536];
            const ssize_t n = read(sources[i], buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(sources[i]);
                sources[i] = -1;
            }
        }
        if (polls[2].revents != 0) {
            const ssize_t n = write(in[1], input.data() + fed, input.size() - fed);
            if (n > 0)
                fed += static_cast<std::size_t>(n);
            if (n <= 0 || fed == input.size()) {
                close(in[1]);
                in[1] = -1;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

int shell(const std::string &command, std::string *output) {
    const Result result = run({"/bin/sh", "-c", command + " 2>&1"}, std::filesystem::current_path());
    if (output != nullptr)
        *output = result.out;
    return result.status;
}

std::string read_file(const Path &file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + file.string());
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<RealBitstream> real_bitstreams(Weight weight) {
    std::vector<Path> paths;
    if (std::filesystem::is_directory(REAL_BITSTREAMS))
        for (const auto &entry : std::filesystem::directory_iterator(REAL_BITSTREAMS))
            if (entry.path().extension() == ".bit")
                paths.push_back(entry.path());
    std::sort(paths.begin(), paths.end());
    std::vector<RealBitstream> found;
    std::vector<std::string> names;
    for (std::size_t i = 0; i < paths.size(); ++i) {
        // The device type, from the header at the start of the file; the
        // file's place where two files have the same.
        std::ifstream in(paths[i], std::ios::binary);
        std::string head(1024, '\0');
        in.read(head.data(), static_cast<std::streamsize>(head.size()));
        head.resize(static_cast<std::size_t>(in.gcount()));
        std::string name = bitstream::parse(head).texts[1];
        std::replace_if(
            name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) == 0; }, '_');
        if (name.empty() || std::find(names.begin(), names.end(), name) != names.end())
            name += "_" + std::to_string(i + 1);
        names.push_back(name);
        const bool heavy = std::filesystem::file_size(paths[i]) > (std::uintmax_t{1} << 20);
        if (heavy == (weight == Weight::heavy))
            found.push_back({name, paths[i], i});
    }
    if (paths.empty() && weight == Weight::light)
        found.push_back({"none", Path(), 0});
    return found;
}

std::string real_name(const ::testing::TestParamInfo<RealBitstream> &info) {
    return info.param.name;
}

void PrintTo(const RealBitstream &bit, std::ostream *out) {
    *out << bit.path;
}

void write_file(const Path &file, const std::string &bytes) {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out.flush())
        throw std::runtime_error("cannot write " + file.string());
}

std::string expected_output(const std::string &name, const std::string &device, const std::string &date,
                            const std::string &time, const std::string &data, bool complete) {
    std::string out = "/* Automatically generated - do not edit */\n\n";
    out += "char FPGAappl[32]=\"" + name + "\";\n";
    out += "char FPGAtype[32]=\"" + device + "\";\n";
    out += "char FPGAdate[32]=\"" + date + " " + time + "\";\n\n";
    out += "unsigned char FPGABITS[] =\n{\n";
    for (std::size_t i = 0; i < data.size(); ++i) {
        char item[16];
        const char *format = i % 8 == 0 ? "\t0x%02x," : i % 8 == 7 ? "0x%02x,\n" : "0x%02x,";
        std::snprintf(item, sizeof item, format, static_cast<unsigned char>(data[i]));
        out += item;
    }
    if (complete) {
        if (data.size() % 8 != 0)
            out += "\n";
        out += "};\n\n";
    }
    return out;
}

::testing::AssertionResult same_text(const std::string &actual, const std::string &expected) {
    if (actual == expected)
        return ::testing::AssertionSuccess();
    const auto diverge = std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end());
    const auto at = static_cast<std::size_t>(diverge.first - actual.begin());
    const std::size_t from = at < 40 ? 0 : at - 40;
    return ::testing::AssertionFailure() << "sizes " << actual.size() << " and " << expected.size()
                                         << ", first difference at byte " << at
                                         << ":\n  actual:   " << ::testing::PrintToString(actual.substr(from, 80))
                                         << "\n  expected: " << ::testing::PrintToString(expected.substr(from, 80));
}

std::string length_message(std::uint32_t length) {
    char text[64];
    std::snprintf(text, sizeof text, "Config file read is %#x bytes\n", length);
    return text;
}

MemoryInput::MemoryInput(std::string bytes) : bytes_(std::move(bytes)) {
    fs = bytes_.empty() ? std::fopen("/dev/null", "r") : fmemopen(bytes_.data(), bytes_.size(), "r");
    if (fs == nullptr)
        throw std::runtime_error("cannot open a stream in memory");
}

MemoryInput::~MemoryInput() {
    std::fclose(fs);
    fs = nullptr;
}

} // namespace support
