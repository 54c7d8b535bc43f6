// fpgabits-load: configures an FPGA from a Linux board, over SPI and GPIO or
// over JTAG, with a bitstream file, a gzip file of one, or raw configuration
// data. The whole file is checked first, with no device opened, so that a
// corrupt or foreign file never erases the running design; then it is read
// again into the loader's image reader with the board as its port.
#include <fcntl.h>
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>

#include "board.h"
#include "fpgabits_load.h"

#ifndef FPGABITS_VERSION
#define FPGABITS_VERSION "unknown"
#endif

namespace {

using board::Failure;

// A mistake on the command line: exit status 2.
struct Usage : std::runtime_error {
    using std::runtime_error::runtime_error;
};

constexpr std::uint32_t default_speed = 10000000;
constexpr std::uint32_t lowest_speed = 1000, highest_speed = 100000000;

constexpr const char *usage_text =
    "usage: fpgabits-load --spi DEVICE --prog CHIP:LINE --init CHIP:LINE --done CHIP:LINE\n"
    "                     [--speed HZ] [--device TEXT] [--idcode HEX] FILE\n"
    "       fpgabits-load --jtag JTAG [--chain-tdi N:BITS] [--chain-tdo N:BITS]\n"
    "                     [--device TEXT] [--idcode HEX] [--skip-if-running] FILE\n"
    "       fpgabits-load --jtag JTAG [--chain-tdi N:BITS] [--chain-tdo N:BITS] --status\n"
    "       fpgabits-load --idcodes JTAG\n"
    "       fpgabits-load --check [--device TEXT] [--idcode HEX] FILE\n"
    "where JTAG is --tck CHIP:LINE --tms CHIP:LINE --tdi CHIP:LINE --tdo CHIP:LINE,\n"
    "           or --spi DEVICE [--speed HZ] --tms CHIP:LINE (SCLK on TCK, MOSI on TDI, MISO on TDO).\n"
    "Configures an FPGA over SPI and GPIO, or over JTAG, with FILE: a bitstream file, a gzip file\n"
    "of one, or raw configuration data; - reads standard input. The whole file is checked first.\n"
    "  --spi DEVICE      the spidev device whose MOSI and SCLK reach DIN and CCLK (/dev/spidev0.0),\n"
    "                    or TDI and TCK with --jtag, its MISO then reading TDO\n"
    "  --prog CHIP:LINE  the GPIO line wired to PROG_B (gpiochip0:17)\n"
    "  --init CHIP:LINE  the GPIO line wired to INIT_B\n"
    "  --done CHIP:LINE  the GPIO line wired to DONE\n"
    "  --speed HZ        the SPI clock, 1000 to 100000000 (default 10000000)\n"
    "  --jtag            load over JTAG\n"
    "  --tck CHIP:LINE   the GPIO line wired to TCK (gpiochip0:11)\n"
    "  --tms CHIP:LINE   the GPIO line wired to TMS (gpiochip0:25)\n"
    "  --tdi CHIP:LINE   the GPIO line wired to TDI (gpiochip0:10)\n"
    "  --tdo CHIP:LINE   the GPIO line wired to TDO (gpiochip0:9)\n"
    "  --chain-tdi N:BITS  the other devices between TDI and the FPGA: how many, and their\n"
    "                    instruction registers' bits added up (default 0:0)\n"
    "  --chain-tdo N:BITS  the same between the FPGA and TDO (default 0:0)\n"
    "  --idcodes         list the IDCODEs of the chain and its instruction registers' length\n"
    "  --status          print what the FPGA runs, read back over JTAG, and load nothing\n"
    "  --skip-if-running load nothing where the FPGA already runs FILE's design: the same IDCODE,\n"
    "                    and user-access value or USERCODE, read back over JTAG\n"
    "  --device TEXT     refuse a file whose device type does not contain TEXT\n"
    "  --idcode HEX      refuse a file whose IDCODE differs in bits 27:0\n"
    "  --check           check FILE only, opening no device\n"
    "  --help            print this and exit\n"
    "  --version         print the version and exit\n"
    "Exit status: 0 loaded, checked, read or already running, 1 failed, 2 usage.\n";

struct Options {
    std::string spi, file, device;
    board::Line prog_b, init_b, done;
    board::JtagWiring wiring;
    board::ChainSide tdi_side{}, tdo_side{};
    std::uint32_t speed = default_speed, idcode = 0;
    bool check = false, help = false, version = false, jtag = false, idcodes = false, status = false;
    bool skip_if_running = false;
};

// A number of digits (base 10 or 16) up to highest; false otherwise.
bool parse_number(const char *text, int base, std::uint64_t highest, std::uint64_t &value) {
    value = 0;
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        const char c = *text;
        std::uint64_t digit = 0;
        if (c >= '0' && c <= '9')
            digit = static_cast<std::uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<std::uint64_t>(c - 'a') + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<std::uint64_t>(c - 'A') + 10;
        else
            return false;
        value = value * static_cast<std::uint64_t>(base) + digit;
        if (value > highest)
            return false;
    }
    return true;
}

// "N:BITS": N devices, up to 64, with at least 2 bits of instruction
// register each, as every TAP has.
bool parse_side(const std::string &text, board::ChainSide &side) {
    const std::size_t colon = text.find(':');
    std::uint64_t devices = 0;
    std::uint64_t bits = 0;
    if (colon == std::string::npos || !parse_number(text.substr(0, colon).c_str(), 10, 64, devices) ||
        !parse_number(text.substr(colon + 1).c_str(), 10, 4096, bits) || bits < 2 * devices ||
        (devices == 0 && bits != 0))
        return false;
    side.devices = static_cast<unsigned>(devices);
    side.ir_bits = static_cast<unsigned>(bits);
    return true;
}

bool same(const board::Line &a, const board::Line &b) {
    return a.chip == b.chip && a.offset == b.offset;
}

// What a load over JTAG, --idcodes or --status needs besides the file.
void check_jtag(const Options &o) {
    const board::JtagWiring &w = o.wiring;
    const std::string what = o.idcodes ? "--idcodes" : o.status ? "--status" : "a load over JTAG";
    if (!o.prog_b.chip.empty() || !o.init_b.chip.empty() || !o.done.chip.empty())
        throw Usage("--prog, --init and --done are for the serial load: leave them out with --jtag");
    if (!w.spi.empty()) {
        if (!w.tck.chip.empty() || !w.tdi.chip.empty() || !w.tdo.chip.empty())
            throw Usage("--spi drives TCK and TDI and reads TDO on its SCLK, MOSI and MISO: give --tck, --tdi "
                        "and --tdo without --spi, or --spi without them");
        if (w.tms.chip.empty())
            throw Usage(what + " through --spi needs --tms");
        return;
    }
    const char *missing = w.tck.chip.empty()   ? "--tck"
                          : w.tms.chip.empty() ? "--tms"
                          : w.tdi.chip.empty() ? "--tdi"
                          : w.tdo.chip.empty() ? "--tdo"
                                               : nullptr;
    if (missing != nullptr)
        throw Usage(what + " needs " + missing + " (or --spi for TCK, TDI and TDO" +
                    (o.idcodes || o.status ? ")" : ", or --check to check the file only)"));
    if (same(w.tck, w.tms) || same(w.tck, w.tdi) || same(w.tck, w.tdo) || same(w.tms, w.tdi) || same(w.tms, w.tdo) ||
        same(w.tdi, w.tdo))
        throw Usage("--tck, --tms, --tdi and --tdo must be four different lines");
}

Options parse_options(int argc, char **argv) {
    enum {
        spi = 1000,
        prog,
        init,
        done,
        speed,
        jtag,
        tck,
        tms,
        tdi,
        tdo,
        chain_tdi,
        chain_tdo,
        idcodes,
        status,
        skip_if_running,
        device,
        idcode,
        check,
        help,
        version
    };
    static const option options[] = {
        {"spi", required_argument, nullptr, spi},
        {"prog", required_argument, nullptr, prog},
        {"init", required_argument, nullptr, init},
        {"done", required_argument, nullptr, done},
        {"speed", required_argument, nullptr, speed},
        {"jtag", no_argument, nullptr, jtag},
        {"tck", required_argument, nullptr, tck},
        {"tms", required_argument, nullptr, tms},
        {"tdi", required_argument, nullptr, tdi},
        {"tdo", required_argument, nullptr, tdo},
        {"chain-tdi", required_argument, nullptr, chain_tdi},
        {"chain-tdo", required_argument, nullptr, chain_tdo},
        {"idcodes", no_argument, nullptr, idcodes},
        {"status", no_argument, nullptr, status},
        {"skip-if-running", no_argument, nullptr, skip_if_running},
        {"device", required_argument, nullptr, device},
        {"idcode", required_argument, nullptr, idcode},
        {"check", no_argument, nullptr, check},
        {"help", no_argument, nullptr, help},
        {"version", no_argument, nullptr, version},
        {nullptr, 0, nullptr, 0},
    };
    Options o;
    bool chain = false;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv, ":", options, nullptr);
        if (c == -1)
            break;
        const std::string value = optarg != nullptr ? optarg : "";
        std::uint64_t number = 0;
        switch (c) {
        case spi: o.spi = value; break;
        case prog:
        case init:
        case done:
        case tck:
        case tms:
        case tdi:
        case tdo: {
            board::Line &line = c == prog   ? o.prog_b
                                : c == init ? o.init_b
                                : c == done ? o.done
                                : c == tck  ? o.wiring.tck
                                : c == tms  ? o.wiring.tms
                                : c == tdi  ? o.wiring.tdi
                                            : o.wiring.tdo;
            // options is in the order of the enumeration.
            if (!board::parse_line(value, line))
                throw Usage(std::string("--") + options[c - spi].name + " " + value +
                            ": give a GPIO line as CHIP:LINE, such as gpiochip0:17");
            break;
        }
        case speed:
            if (!parse_number(value.c_str(), 10, highest_speed, number) || number < lowest_speed)
                throw Usage("--speed " + value + ": give the SPI clock in Hz, 1000 to 100000000");
            o.speed = static_cast<std::uint32_t>(number);
            break;
        case jtag: o.jtag = true; break;
        case chain_tdi:
        case chain_tdo:
            if (!parse_side(value, c == chain_tdi ? o.tdi_side : o.tdo_side))
                throw Usage(std::string(c == chain_tdi ? "--chain-tdi " : "--chain-tdo ") + value +
                            ": give the other devices " +
                            (c == chain_tdi ? "between TDI and the FPGA" : "between the FPGA and TDO") +
                            " as N:BITS, how many (up to 64) and their instruction registers' bits added up (at "
                            "least 2 a device), such as 1:8");
            chain = true;
            break;
        case idcodes: o.idcodes = true; break;
        case status: o.status = true; break;
        case skip_if_running: o.skip_if_running = true; break;
        case device: o.device = value; break;
        case idcode: {
            const char *digits = value.c_str();
            if (value.rfind("0x", 0) == 0 || value.rfind("0X", 0) == 0)
                digits += 2;
            if (!parse_number(digits, 16, 0xffffffffu, number) || number == 0)
                throw Usage("--idcode " + value + ": give the IDCODE in hexadecimal, such as 0362d093");
            o.idcode = static_cast<std::uint32_t>(number);
            break;
        }
        case check: o.check = true; break;
        case help: o.help = true; break;
        case version: o.version = true; break;
        case ':': throw Usage(std::string(argv[optind - 1]) + " needs a value");
        default:
            throw Usage("unknown option " +
                        (optopt != 0 ? std::string("-") + static_cast<char>(optopt) : std::string(argv[optind - 1])));
        }
    }
    if (o.help || o.version)
        return o;
    if (o.idcodes && o.status)
        throw Usage("--idcodes lists the chain and --status reads the FPGA: give one of them");
    if (o.skip_if_running && (o.idcodes || o.status || o.check)) {
        const char *other = o.idcodes ? "--idcodes" : o.status ? "--status" : "--check";
        throw Usage(std::string("--skip-if-running goes with a load over JTAG, not with ") + other);
    }
    if (o.status) {
        if (o.check)
            throw Usage("--status reads the FPGA and --check a file: give one of them");
        if (!o.jtag)
            throw Usage("--status reads the FPGA over JTAG: add --jtag and its lines");
        if (optind != argc)
            throw Usage("--status takes no FILE, not " + std::string(argv[optind]));
        o.wiring.spi = o.spi;
        o.wiring.speed = o.speed;
        check_jtag(o);
        return o;
    }
    if (o.idcodes) {
        if (o.check)
            throw Usage("--idcodes reads the chain and --check a file: give one of them");
        if (optind != argc)
            throw Usage("--idcodes takes no FILE, not " + std::string(argv[optind]));
        o.jtag = true;
        o.wiring.spi = o.spi;
        o.wiring.speed = o.speed;
        check_jtag(o);
        return o;
    }
    if (optind + 1 != argc)
        throw Usage(optind == argc ? "no FILE given" : "one FILE only, not " + std::string(argv[optind + 1]));
    o.file = argv[optind];
    if (o.check)
        return o;
    if (o.jtag) {
        o.wiring.spi = o.spi;
        o.wiring.speed = o.speed;
        check_jtag(o);
        return o;
    }
    if (o.skip_if_running)
        throw Usage("--skip-if-running reads back what the FPGA runs over JTAG: add --jtag and its lines");
    if (chain || !o.wiring.tck.chip.empty() || !o.wiring.tms.chip.empty() || !o.wiring.tdi.chip.empty() ||
        !o.wiring.tdo.chip.empty())
        throw Usage("--tck, --tms, --tdi, --tdo, --chain-tdi and --chain-tdo are for a load over JTAG: add --jtag");
    const char *missing = o.spi.empty()           ? "--spi"
                          : o.prog_b.chip.empty() ? "--prog"
                          : o.init_b.chip.empty() ? "--init"
                          : o.done.chip.empty()   ? "--done"
                                                  : nullptr;
    if (missing != nullptr)
        throw Usage(std::string("a load needs ") + missing + " (or --check to check the file only)");
    if (same(o.prog_b, o.init_b) || same(o.prog_b, o.done) || same(o.init_b, o.done))
        throw Usage("--prog, --init and --done must be three different lines");
    return o;
}

double seconds_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// The file, read twice from a descriptor: a regular file as it is, anything
// else (standard input, a pipe) from a copy in an unlinked temporary file,
// which keeps memory bounded whatever the size of the input.
class Input {
  public:
    explicit Input(const std::string &name) : name_(name == "-" ? "standard input" : name) {
        const int fd = name == "-" ? dup(STDIN_FILENO) : open(name.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            throw Failure(name_ + ": " + std::strerror(errno));
        file_.reset(fd);
        struct stat status {};
        if (fstat(fd, &status) != 0)
            throw Failure(name_ + ": " + std::strerror(errno));
        if (S_ISDIR(status.st_mode))
            throw Failure(name_ + ": is a directory");
        if (S_ISREG(status.st_mode))
            size_ = static_cast<std::uint64_t>(status.st_size);
        else
            copy();
    }

    const std::string &name() const { return name_; }
    std::uint64_t size() const { return size_; }

    void rewind() {
        if (lseek(file_.get(), 0, SEEK_SET) != 0)
            throw Failure(name_ + ": " + std::strerror(errno));
    }

    // The next bytes, up to size; 0 at the end.
    std::size_t read(unsigned char *buffer, std::size_t size) {
        for (;;) {
            const ssize_t got = ::read(file_.get(), buffer, size);
            if (got >= 0)
                return static_cast<std::size_t>(got);
            if (errno != EINTR)
                throw Failure(name_ + ": " + std::strerror(errno));
        }
    }

  private:
    // Copies the stream into a temporary file, which takes its place.
    void copy() {
        const char *directory = std::getenv("TMPDIR");
        const std::string where = directory != nullptr && directory[0] != '\0' ? directory : "/tmp";
        std::string path = where + "/fpgabits-load-XXXXXX";
        board::Descriptor copy(mkostemp(path.data(), O_CLOEXEC));
        if (copy.get() < 0)
            throw Failure(name_ + ": cannot make a temporary file in " + where + ": " + std::strerror(errno) +
                          " (set TMPDIR to a writable directory, or give a file)");
        // Unlinked at once, it goes when the program ends, however it ends.
        unlink(path.c_str());
        unsigned char buffer[65536];
        for (std::size_t got = 0; (got = read(buffer, sizeof buffer)) > 0;) {
            for (std::size_t at = 0; at < got;) {
                const ssize_t put = write(copy.get(), buffer + at, got - at);
                if (put < 0 && errno == EINTR)
                    continue;
                if (put < 0)
                    throw Failure(name_ + ": cannot copy it into a temporary file in " + where + ": " +
                                  std::strerror(errno) + " (free space there, set TMPDIR to another directory, " +
                                  "or give a file)");
                at += static_cast<std::size_t>(put);
            }
            size_ += got;
        }
        file_.reset(copy.release());
    }

    std::string name_;
    board::Descriptor file_;
    std::uint64_t size_ = 0;
};

struct Pass {
    int error = FPGABITS_OK;
    fpgabits_image_info info{};
    double seconds = 0;
};

// Progress on a terminal, for a pass that takes more than a second.
class Progress {
  public:
    Progress(const char *what, const Input &input)
        : what_(what), input_(input), shown_(isatty(STDERR_FILENO) != 0), start_(seconds_now()) {}
    Progress(const Progress &) = delete;
    Progress &operator=(const Progress &) = delete;
    ~Progress() {
        if (width_ > 0)
            std::fprintf(stderr, "\r%*s\r", width_, "");
    }
    void show(std::uint64_t done) {
        const double now = seconds_now();
        if (!shown_ || input_.size() == 0 || now - start_ < 1 || now - last_ < 0.1)
            return;
        last_ = now;
        width_ = std::fprintf(stderr, "\r%s: %3u%%", what_, static_cast<unsigned>(done * 100 / input_.size()));
        std::fflush(stderr);
    }

  private:
    const char *what_;
    const Input &input_;
    bool shown_;
    double start_, last_ = 0;
    int width_ = 0;
};

// Reads the whole input into an image reader: a check with port NULL, a
// load otherwise.
Pass run(Input &input, const fpgabits_port *port, const Options &o) {
    // The window of the standard gzip, 32 KiB, and the reader's state.
    static unsigned char work[FPGABITS_IMAGE_WORK_SIZE(32768)];
    static unsigned char buffer[65536];
    Pass pass;
    fpgabits_image image{};
    Progress progress(port != nullptr ? "loading" : "checking", input);
    input.rewind();
    const double start = seconds_now();
    pass.error = fpgabits_image_begin(&image, port, o.jtag ? FPGABITS_JTAG : FPGABITS_SERIAL,
                                      o.device.empty() ? nullptr : o.device.c_str(), o.idcode, work, sizeof work);
    std::uint64_t done = 0;
    for (std::size_t got = 0; pass.error == FPGABITS_OK && (got = input.read(buffer, sizeof buffer)) > 0;) {
        pass.error = fpgabits_image_write(&image, buffer, got);
        done += got;
        progress.show(done);
    }
    const int end = fpgabits_image_end(&image, &pass.info);
    if (pass.error == FPGABITS_OK)
        pass.error = end;
    pass.seconds = seconds_now() - start;
    return pass;
}

std::string hex(std::uint32_t value) {
    char text[12];
    std::snprintf(text, sizeof text, "%08" PRIx32, value);
    return text;
}

// What the check pass found wrong with the file, and what to check.
std::string file_failure(const Input &input, const Pass &pass, const Options &o) {
    std::string what = input.name() + ": " + fpgabits_strerror(pass.error);
    const fpgabits_image_info &info = pass.info;
    switch (pass.error) {
    case FPGABITS_ERR_FORMAT:
        if (strcasestr(info.design, "PARTIAL=TRUE") != nullptr)
            return input.name() + ": a partial configuration (PARTIAL=TRUE in its design name), which a full load " +
                   "cannot take";
        return what + " (give the bitstream file, a gzip file of one, or raw configuration data)";
    case FPGABITS_ERR_STREAM: return what + " (check the file: copy it again)";
    case FPGABITS_ERR_DEVICE: {
        std::string found = info.device[0] != '\0' ? std::string("device type ") + info.device : "no device type";
        found += info.idcode != 0 ? ", IDCODE " + hex(info.idcode) : "";
        std::string asked = o.device.empty() ? "" : "--device " + o.device;
        asked += o.idcode == 0 ? "" : (asked.empty() ? "" : " and ") + std::string("--idcode ") + hex(o.idcode);
        return what + " (it has " + found + ", not " + asked + ")";
    }
    default: return what;
    }
}

// What the load found wrong on the board, and what to check.
std::string load_failure(const Input &input, const Pass &pass, const Options &o) {
    const std::string what = std::string("load failed: ") + fpgabits_strerror(pass.error);
    const std::string prog_b = "PROG_B (" + o.prog_b.text + ")";
    const std::string init_b = "INIT_B (" + o.init_b.text + ")";
    const std::string done = "DONE (" + o.done.text + ")";
    switch (pass.error) {
    case FPGABITS_ERR_INIT:
        return what + " (check the FPGA's power, the wiring of " + prog_b + " and " + init_b +
               ", INIT_B's pull-up, and the mode pins set for slave serial)";
    case FPGABITS_ERR_DONE_HIGH:
        return what + " (check the wiring of " + done + " and that " + prog_b + " reaches the FPGA)";
    case FPGABITS_ERR_CRC:
        return what + " (check that " + input.name() + " is for this FPGA, and MOSI to DIN and SCLK to CCLK; " +
               "try a lower --speed)";
    case FPGABITS_ERR_CLOCK: return what + " (CLOCK_MONOTONIC stood still: check the kernel's clock source)";
    case FPGABITS_ERR_NO_DONE:
        return what + " (check MOSI to DIN and SCLK to CCLK, the mode pins set for slave serial, and " + done +
               " with its pull-up)";
    default: return file_failure(input, pass, o);
    }
}

// What a JTAG port reaches: the lines as given.
std::string jtag_lines(const Options &o) {
    const board::JtagWiring &w = o.wiring;
    if (!w.spi.empty())
        return "SCLK to TCK, MOSI to TDI and MISO to TDO (" + w.spi + ") and TMS (" + w.tms.text + ")";
    return "TCK (" + w.tck.text + "), TMS (" + w.tms.text + "), TDI (" + w.tdi.text + ") and TDO (" + w.tdo.text +
           ") with its pull-up";
}

std::string side_text(const board::ChainSide &side) {
    return std::to_string(side.devices) + ":" + std::to_string(side.ir_bits);
}

std::string chain_advice(const Options &o) {
    return " (check the wiring of " + jtag_lines(o) + ", and --chain-tdi " + side_text(o.tdi_side) +
           " and --chain-tdo " + side_text(o.tdo_side) + " against what fpgabits-load --idcodes lists)";
}

// The file's IDCODE differs from the silicon's: the loader refused the file
// before JPROGRAM, where it knew the IDCODE before the reset.
bool refused_before_reset(const Pass &pass, std::uint32_t silicon) {
    return pass.info.idcode != 0 && ((pass.info.idcode ^ silicon) & 0x0fffffffu) != 0;
}

// What a load over JTAG found wrong, and what to check; silicon is the
// IDCODE that the FPGA's place in the chain answered.
std::string jtag_failure(const Input &input, const Pass &pass, std::uint32_t silicon, const Options &o) {
    const std::string what = std::string("load failed: ") + fpgabits_strerror(pass.error);
    switch (pass.error) {
    case FPGABITS_ERR_CHAIN: return what + chain_advice(o);
    case FPGABITS_ERR_UNSUPPORTED:
        return what + " (the FPGA's IDCODE is " + hex(silicon) +
               ": load it through its slave serial pins with --spi, --prog, --init and --done, without --jtag)";
    case FPGABITS_ERR_DEVICE:
        if (!refused_before_reset(pass, silicon))
            return what + " (the FPGA's status register shows an IDCODE error: give the file for this FPGA, " +
                   "whose IDCODE is " + hex(silicon) + ")";
        return what + " (the FPGA answers IDCODE " + hex(silicon) + ", " + input.name() + " writes " +
               hex(pass.info.idcode) + ": give the file for this FPGA, or check --chain-tdi and --chain-tdo, " +
               "which give its place in the chain)";
    case FPGABITS_ERR_CRC:
        return what + " (the FPGA's status register shows it: check that " + input.name() +
               " is for this FPGA, and the wiring of " + jtag_lines(o) +
               (o.wiring.spi.empty() ? ")" : "; try a lower --speed)");
    case FPGABITS_ERR_INIT:
        return what + " (the FPGA did not finish clearing its memory within 1 s of JPROGRAM: check its power, " +
               "and that nothing holds its INIT_B pin low)";
    case FPGABITS_ERR_DONE_HIGH:
        return what + " (DONE stayed high after JPROGRAM: check --chain-tdi and --chain-tdo against what " +
               "fpgabits-load --idcodes lists)";
    case FPGABITS_ERR_NO_DONE:
        return what + " (check that " + input.name() + " is for this FPGA, and the wiring of " + jtag_lines(o) +
               (o.wiring.spi.empty() ? ")" : "; try a lower --speed)");
    case FPGABITS_ERR_CLOCK: return what + " (CLOCK_MONOTONIC stood still: check the kernel's clock source)";
    default: return file_failure(input, pass, o);
    }
}

void print_info(const fpgabits_image_info &info) {
    const auto text = [](const char *value) { return value[0] != '\0' ? value : "-"; };
    std::printf("design: %s\ndevice: %s\ndate:   %s\n", text(info.design), text(info.device), text(info.date));
    std::printf("bytes:  %zu\nIDCODE: %s\n", info.config_size, info.idcode != 0 ? hex(info.idcode).c_str() : "none");
}

void print_time(const Pass &pass, const char *verb) {
    const double rate = pass.seconds > 0 ? static_cast<double>(pass.info.config_size) / pass.seconds : 0;
    std::printf("%s in %.2f s, %.0f bytes/s\n", verb, pass.seconds, rate);
}

// What --status, or the read before --skip-if-running, found wrong.
std::string status_failure(const board::JtagBoard &board, int error, const Options &o) {
    const std::string what = "cannot read the FPGA's status: ";
    if (!board.failure().empty())
        return what + board.failure();
    if (error == FPGABITS_ERR_CHAIN)
        return what + fpgabits_strerror(error) + chain_advice(o);
    return what + fpgabits_strerror(error);
}

// After a load that failed on the device: a line more with what its status
// register shows, where the load's message does not already say it.
std::string cause_line(const board::JtagBoard &board, const Pass &load, std::uint32_t silicon) {
    const bool after_data = load.error == FPGABITS_ERR_NO_DONE || load.error == FPGABITS_ERR_CRC ||
                            (load.error == FPGABITS_ERR_DEVICE && !refused_before_reset(load, silicon));
    struct fpgabits_status status {};
    if (!after_data || fpgabits_status(board.port(), FPGABITS_JTAG, &status) != FPGABITS_OK)
        return "";
    const unsigned named = load.error == FPGABITS_ERR_CRC      ? FPGABITS_STATUS_CRC_ERROR
                           : load.error == FPGABITS_ERR_DEVICE ? FPGABITS_STATUS_ID_ERROR
                                                               : 0;
    if ((status.errors & named) != 0)
        return "";
    return std::string("\ncause: ") + fpgabits_cause(&status);
}

// Why the FPGA does not run the image: what it gives, and after "not" what
// the image holds.
std::string difference(const struct fpgabits_status &status, const fpgabits_image_info &info) {
    if (status.done == 0)
        return "DONE low";
    if (((status.idcode ^ info.idcode) & 0x0fffffffu) != 0)
        return "IDCODE " + hex(status.idcode) + ", not " + hex(info.idcode);
    if (info.usr_access != 0)
        return "user-access " + hex(status.usr_access) + ", not " + hex(info.usr_access);
    return "USERCODE " + hex(status.usercode) + ", not " + hex(info.usercode);
}

// --skip-if-running: whether the FPGA already runs the file's design, said
// in a line; a load follows unless it does.
bool already_running(const board::JtagBoard &board, const Input &input, const Pass &check, const Options &o) {
    const fpgabits_image_info &info = check.info;
    const int runs = fpgabits_runs(board.port(), FPGABITS_JTAG, &info);
    if (runs == 1) {
        std::printf(
            "already running: %s (%s)\n", input.name().c_str(),
            (info.usr_access != 0 ? "user-access " + hex(info.usr_access) : "USERCODE " + hex(info.usercode)).c_str());
        return true;
    }
    if (runs == FPGABITS_ERR_UNDECIDED) {
        if (info.usr_access == 0 && info.usercode == 0xffffffffu)
            std::printf("cannot tell whether the FPGA runs %s: it records no user-access value or USERCODE (give it "
                        "a fingerprint: the FINGERPRINT option of fpgabits_add_bitstream() or fpgabits_add_image(), "
                        "or fpgabits-deflate --fingerprint)\n",
                        input.name().c_str());
        else
            std::printf("cannot tell whether the FPGA runs %s: the FPGA gives no %s to compare\n", input.name().c_str(),
                        info.usr_access != 0 ? "user-access value" : "USERCODE");
        return false;
    }
    struct fpgabits_status status {};
    const int read = runs == 0 ? fpgabits_status(board.port(), FPGABITS_JTAG, &status) : runs;
    if (read != FPGABITS_OK || !board.failure().empty())
        throw Failure(status_failure(board, read, o));
    std::printf("not running: %s (%s)\n", input.name().c_str(), difference(status, info).c_str());
    return false;
}

// Over JTAG: the silicon's IDCODE first, printed with what the check found
// in the file before the reset, then the load.
void load_jtag(Input &input, const Pass &check, const Options &o) {
    const board::JtagBoard board(o.wiring, o.tdi_side, o.tdo_side);
    std::uint32_t silicon = 0;
    // The port's own failure comes first: the loader's error then only says
    // that there was one.
    const auto stop_on = [&](const Pass &pass) {
        if (!board.failure().empty())
            throw Failure("load failed: " + board.failure());
        if (pass.error != FPGABITS_OK)
            throw Failure(jtag_failure(input, pass, silicon, o) + cause_line(board, pass, silicon));
    };
    Pass read;
    read.error = fpgabits_read_idcode(board.port(), FPGABITS_JTAG, &silicon);
    stop_on(read);
    print_info(check.info);
    std::printf("silicon: %s\n", hex(silicon).c_str());
    if (o.skip_if_running && already_running(board, input, check, o))
        return;
    std::fflush(stdout);
    const Pass load = run(input, board.port(), o);
    stop_on(load);
    print_time(load, "loaded");
}

// --status: what the FPGA runs, an item a line, each only where it was read.
void print_status(const Options &o) {
    const board::JtagBoard board(o.wiring, o.tdi_side, o.tdo_side);
    struct fpgabits_status status {};
    const int error = fpgabits_status(board.port(), FPGABITS_JTAG, &status);
    if (error != FPGABITS_OK || !board.failure().empty())
        throw Failure(status_failure(board, error, o));
    const auto read = [&status](unsigned what) { return (status.read & what) != 0; };
    const auto level = [](int high) { return high != 0 ? "high" : "low"; };
    if (read(FPGABITS_READ_IDCODE))
        std::printf("IDCODE: %s\n", hex(status.idcode).c_str());
    if (read(FPGABITS_READ_DONE))
        std::printf("DONE: %s\n", level(status.done));
    if (read(FPGABITS_READ_INIT))
        std::printf("INIT: %s\n", level(status.init));
    if (read(FPGABITS_READ_STAT))
        std::printf("status register: %s\n", hex(status.stat).c_str());
    if (read(FPGABITS_READ_USR_ACCESS))
        std::printf("user-access: %s\n", hex(status.usr_access).c_str());
    if (read(FPGABITS_READ_USERCODE))
        std::printf("USERCODE: %s\n", hex(status.usercode).c_str());
    if (read(FPGABITS_READ_BOOTSTS))
        std::printf("boot status: %s\n", hex(status.bootsts).c_str());
    if (read(FPGABITS_READ_STAT)) {
        static const struct {
            unsigned bit;
            const char *name;
        } names[] = {{FPGABITS_STATUS_CRC_ERROR, "CRC"},
                     {FPGABITS_STATUS_ID_ERROR, "IDCODE"},
                     {FPGABITS_STATUS_DECRYPT_ERROR, "decryption"},
                     {FPGABITS_STATUS_AUTH_ERROR, "authentication"}};
        std::string errors;
        for (const auto &name : names)
            if ((status.errors & name.bit) != 0)
                errors += (errors.empty() ? "" : ", ") + std::string(name.name);
        std::printf("errors: %s\n", errors.empty() ? "none" : errors.c_str());
    }
    if (status.startup_state >= 0)
        std::printf("start-up phase: %d\n", status.startup_state);
    std::printf("cause: %s\n", fpgabits_cause(&status));
}

// --idcodes: the chain after Test-Logic-Reset, which selects the IDCODE
// register of each device that has one (its first bit is 1) and BYPASS in
// the others (one 0 bit); then the instruction registers filled with ones
// and measured by the zero after them. The comments name the states that
// TMS moves the TAP through; it is left in Test-Logic-Reset, every device
// in BYPASS.
void list_chain(const Options &o) {
    enum { most_devices = 32, ir_fill = 1024 };
    const board::JtagBoard board(o.wiring, {}, {});
    const fpgabits_port &port = *board.port();
    const auto tck = [&port, &board](int tms, int tdi) {
        const int tdo = port.tck(port.context, tms, tdi);
        if (tdo < 0)
            throw Failure(board.failure());
        return static_cast<std::uint32_t>(tdo);
    };
    const auto fail = [&tck, &o](const std::string &what) {
        for (int i = 0; i < 5; ++i)
            tck(1, 1);
        return Failure("the JTAG chain " + what + " (check the wiring of " + jtag_lines(o) +
                       ", and that the devices are powered)");
    };
    for (int i = 0; i < 5; ++i)
        tck(1, 1);
    // Run-Test/Idle, Select-DR-Scan, Capture-DR, Shift-DR.
    tck(0, 1);
    tck(1, 1);
    tck(0, 1);
    tck(0, 1);
    std::string list;
    unsigned devices = 0;
    bool ended = false;
    while (!ended && devices < most_devices) {
        std::uint32_t value = tck(0, 1);
        for (unsigned bit = 1; value != 0 && bit < 32; ++bit)
            value |= tck(0, 1) << bit;
        // The ones shifted in come out after the last device.
        ended = value == 0xffffffffu;
        if (!ended)
            list += std::to_string(++devices) + ": " + (value != 0 ? hex(value) : "bypass") + "\n";
    }
    // Exit1-DR, Update-DR, Run-Test/Idle.
    tck(1, 1);
    tck(1, 1);
    tck(0, 1);
    if (devices == 0)
        throw fail("answers with no device: TDO reads 1 throughout");
    if (!ended)
        throw fail("gives no end within " + std::to_string(most_devices) + " devices, as when TDO reads 0 throughout");
    // Select-DR-Scan, Select-IR-Scan, Capture-IR, Shift-IR.
    tck(1, 1);
    tck(1, 1);
    tck(0, 1);
    tck(0, 1);
    std::uint32_t ones = 1;
    for (unsigned i = 0; i < ir_fill; ++i)
        ones = tck(0, 1);
    tck(0, 0);
    unsigned length = 1;
    while (length <= ir_fill && tck(0, 1) != 0)
        ++length;
    // Exit1-IR, Update-IR with the ones that fill the registers (BYPASS in
    // every device), Test-Logic-Reset.
    tck(1, 1);
    for (int i = 0; i < 5; ++i)
        tck(1, 1);
    if (ones == 0 || length > ir_fill)
        throw fail("gives back no zero shifted through its instruction registers within " + std::to_string(ir_fill) +
                   " bits");
    std::printf("devices from TDO to TDI: %u\n%sinstruction registers: %u bits in all\n", devices, list.c_str(),
                length);
}

int run_command(int argc, char **argv) {
    const Options o = parse_options(argc, argv);
    if (o.help) {
        std::fputs(usage_text, stdout);
        return 0;
    }
    if (o.version) {
        std::puts("fpgabits-load " FPGABITS_VERSION);
        return 0;
    }
    if (o.idcodes) {
        list_chain(o);
        return 0;
    }
    if (o.status) {
        print_status(o);
        return 0;
    }
    Input input(o.file);
    const Pass check = run(input, nullptr, o);
    if (check.error != FPGABITS_OK)
        throw Failure(file_failure(input, check, o));
    if (o.check) {
        print_info(check.info);
        print_time(check, "checked");
        return 0;
    }
    if (o.jtag) {
        load_jtag(input, check, o);
        return 0;
    }
    Pass load;
    {
        const board::Board board(o.spi, o.speed, o.prog_b, o.init_b, o.done);
        load = run(input, board.port(), o);
        if (!board.failure().empty())
            throw Failure("load failed: " + board.failure());
    }
    if (load.error != FPGABITS_OK)
        throw Failure(load_failure(input, load, o));
    print_info(load.info);
    print_time(load, "loaded");
    return 0;
}

} // namespace

int main(int argc, char **argv) {
    int status = 1;
    try {
        status = run_command(argc, argv);
    } catch (const Usage &usage) {
        std::fprintf(stderr, "fpgabits-load: %s (fpgabits-load --help shows the usage)\n", usage.what());
        return 2;
    } catch (const std::exception &failure) {
        // A failure is a line, or two where the FPGA's status adds its cause.
        const std::string text = failure.what();
        for (std::size_t at = 0; at < text.size();) {
            const std::size_t end = std::min(text.find('\n', at), text.size());
            std::fprintf(stderr, "fpgabits-load: %s\n", text.substr(at, end - at).c_str());
            at = end + 1;
        }
        return 1;
    }
    if (std::ferror(stdout) != 0 || std::fclose(stdout) != 0) {
        std::fprintf(stderr, "fpgabits-load: cannot write standard output\n");
        status = 1;
    }
    return status;
}
