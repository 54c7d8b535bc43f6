// The board of fpgabits-load. See board.h.
#include "board.h"

#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace board {

namespace {

constexpr const char *consumer = "fpgabits-load";

std::string errno_text(int error) {
    return std::strerror(error);
}

// Why a device cannot be opened, and what to check: group is the one that
// boards give the devices of its kind.
std::string open_failure(const std::string &path, int error, const char *group, const char *lists) {
    if (error == ENOENT || error == ENODEV || error == ENXIO)
        return path + ": no such device (" + lists + ")";
    if (error == EACCES || error == EPERM)
        return path + ": permission denied (add the user to the group " + group + " with usermod -aG " + group +
               " USER and log in again, or install the udev rule of PERMISSIONS in man fpgabits-load)";
    return path + ": " + errno_text(error);
}

std::string pin_name(const char *pin, const Line &line) {
    return std::string(pin) + " (" + line.text + ")";
}

// A line to request: an output driven high or low from the start, or an
// input with the pull-up that the controller may have.
struct Wanted {
    const Line *line;
    const char *pin;
    bool output, high;
};

// "PIN (CHIP:LINE)", for each, with commas and a last "and".
std::string pin_names(const Wanted *wanted, std::size_t count) {
    std::string names;
    for (std::size_t i = 0; i < count; ++i)
        names += (i == 0 ? "" : i + 1 == count ? " and " : ", ") + pin_name(wanted[i].pin, *wanted[i].line);
    return names;
}

// Requests lines of one chip together, and returns the descriptor that
// holds them, their bits in the order given. The chip is closed again.
int request_lines(const Wanted *wanted, std::size_t count) {
    const std::string &path = wanted[0].line->chip;
    const Descriptor chip(open(path.c_str(), O_RDWR | O_CLOEXEC));
    if (chip.get() < 0)
        throw Failure(
            open_failure(path, errno, "gpio",
                         "ls /dev/gpiochip* lists the GPIO chips; gpioinfo, of the package gpiod, their lines"));
    gpiochip_info info{};
    if (ioctl(chip.get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0)
        throw Failure(path + ": not a GPIO chip (" + errno_text(errno) + ")");
    gpio_v2_line_request request{};
    std::uint64_t inputs = 0;
    std::uint64_t outputs = 0;
    std::uint64_t highs = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const Line &line = *wanted[i].line;
        if (line.offset >= info.lines)
            throw Failure(pin_name(wanted[i].pin, line) + ": " + path + " has no line " + std::to_string(line.offset) +
                          " (its lines are 0 to " + std::to_string(info.lines - 1) + ")");
        request.offsets[i] = line.offset;
        (wanted[i].output ? outputs : inputs) |= std::uint64_t{1} << i;
        highs |= static_cast<std::uint64_t>(wanted[i].output && wanted[i].high) << i;
    }
    request.num_lines = static_cast<std::uint32_t>(count);
    std::strncpy(request.consumer, consumer, sizeof request.consumer - 1);
    gpio_v2_line_config &config = request.config;
    const std::uint64_t input_flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    if (outputs == 0) {
        config.flags = input_flags;
    } else {
        // Driven as they must be from the start: a low PROG_B would erase
        // the FPGA.
        config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        if (inputs != 0) {
            config.attrs[config.num_attrs].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
            config.attrs[config.num_attrs].attr.flags = input_flags;
            config.attrs[config.num_attrs++].mask = inputs;
        }
        config.attrs[config.num_attrs].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        config.attrs[config.num_attrs].attr.values = highs;
        config.attrs[config.num_attrs++].mask = outputs;
    }
    if (ioctl(chip.get(), GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
        const int error = errno;
        const std::string names = pin_names(wanted, count);
        if (error == EBUSY)
            throw Failure(names + (count == 1 ? ": the line is in use (gpioinfo " : ": a line is in use (gpioinfo ") +
                          path + " shows by what: a driver, a device-tree overlay or another program holds it)");
        throw Failure(names + (count == 1 ? ": the line" : ": the lines") +
                      " cannot be requested: " + errno_text(error) +
                      (error == EINVAL || error == ENOTTY ? " (a kernel before 5.10 has no GPIO v2 ioctls)" : ""));
    }
    return request.fd;
}

int request_line(const Line &line, const char *pin, bool output) {
    const Wanted wanted{&line, pin, output, true};
    return request_lines(&wanted, 1);
}

void spi_setting(int spi, unsigned long request, void *value, const std::string &path, const char *what,
                 const char *check) {
    if (ioctl(spi, request, value) < 0)
        throw Failure(path + ": " + what + ": " + errno_text(errno) + " (" + check + ")");
}

constexpr const char *one_bit_words =
    ": the SPI controller takes no 1-bit words, which the TAP's moves need: use --tck, --tdi and --tdo on GPIO "
    "lines, or a bit-banging SPI device";

// Opens an SPI device for mode 0, most significant bit first, 8-bit words
// at speed.
int open_spi(const std::string &spi, std::uint32_t speed) {
    Descriptor device(open(spi.c_str(), O_RDWR | O_CLOEXEC));
    if (device.get() < 0)
        throw Failure(open_failure(spi, errno, "spi",
                                   "ls /dev/spidev* lists the SPI devices; the board's device tree must enable "
                                   "the SPI controller and spidev"));
    // Chip select stays as the controller drives it, as many refuse to do
    // without one.
    std::uint32_t mode = 0;
    spi_setting(device.get(), SPI_IOC_RD_MODE32, &mode, spi, "cannot read the SPI mode", "is it a spidev device?");
    mode &= ~static_cast<std::uint32_t>(SPI_CPOL | SPI_CPHA | SPI_LSB_FIRST);
    spi_setting(device.get(), SPI_IOC_WR_MODE32, &mode, spi, "SPI mode 0, most significant bit first, refused",
                "the controller must support SPI mode 0");
    std::uint8_t bits = 8;
    spi_setting(device.get(), SPI_IOC_WR_BITS_PER_WORD, &bits, spi, "8-bit words refused",
                "the controller must support 8-bit words");
    spi_setting(device.get(), SPI_IOC_WR_MAX_SPEED_HZ, &speed, spi, "speed refused", "try another --speed");
    return device.release();
}

std::uint32_t micros(void * /*context*/) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(now.tv_sec) * 1000000u +
                                      static_cast<std::uint64_t>(now.tv_nsec) / 1000u);
}

} // namespace

bool parse_line(const std::string &text, Line &line) {
    const std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() || text.size() - colon > 6)
        return false;
    std::uint32_t offset = 0;
    for (std::size_t i = colon + 1; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        offset = offset * 10 + static_cast<std::uint32_t>(text[i] - '0');
    }
    const std::string chip = text.substr(0, colon);
    line.text = text;
    line.chip = chip[0] == '/' ? chip : "/dev/" + chip;
    line.offset = offset;
    return true;
}

Descriptor::~Descriptor() {
    reset(-1);
}

void Descriptor::reset(int fd) {
    if (fd_ >= 0)
        close(fd_);
    fd_ = fd;
}

std::size_t spidev_bufsiz() {
    const Descriptor file(open("/sys/module/spidev/parameters/bufsiz", O_RDONLY | O_CLOEXEC));
    char text[24] = {};
    if (file.get() < 0 || read(file.get(), text, sizeof text - 1) <= 0)
        return 4096;
    std::size_t size = 0;
    for (const char *c = text; *c >= '0' && *c <= '9' && size < 1u << 30; ++c)
        size = size * 10 + static_cast<std::size_t>(*c - '0');
    return size > 0 ? size : 4096;
}

Board::Board(const std::string &spi, std::uint32_t speed, const Line &prog_b, const Line &init_b, const Line &done)
    : spi_name_(spi), prog_b_name_(prog_b), init_b_name_(init_b), done_name_(done), message_limit_(spidev_bufsiz()) {
    spi_.reset(open_spi(spi, speed));

    prog_b_.reset(request_line(prog_b, "PROG_B", true));
    init_b_.reset(request_line(init_b, "INIT_B", false));
    done_.reset(request_line(done, "DONE", false));

    port_.context = this;
    port_.prog_b = drive_prog_b;
    port_.init_b = read_init_b;
    port_.done = read_done;
    port_.send = send;
    port_.micros = micros;
}

void Board::fail(const std::string &text) {
    if (failure_.empty())
        failure_ = text;
}

// A line after a failure reads low.
int Board::read(const Descriptor &line, const Line &name, const char *pin) {
    gpio_v2_line_values values{};
    values.mask = 1;
    if (!failure_.empty())
        return 0;
    if (ioctl(line.get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
        fail(pin_name(pin, name) + ": reading the line failed: " + errno_text(errno));
        return 0;
    }
    return static_cast<int>(values.bits & 1);
}

void Board::drive_prog_b(void *context, int level) {
    auto *board = static_cast<Board *>(context);
    gpio_v2_line_values values{};
    values.bits = level != 0 ? 1 : 0;
    values.mask = 1;
    if (ioctl(board->prog_b_.get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values) < 0)
        board->fail(pin_name("PROG_B", board->prog_b_name_) + ": setting the line failed: " + errno_text(errno));
}

// After a failure, FPGABITS_ERR_PORT: the loader stops on it.
int Board::read_init_b(void *context) {
    auto *board = static_cast<Board *>(context);
    const int level = board->read(board->init_b_, board->init_b_name_, "INIT_B");
    return board->failure_.empty() ? level : FPGABITS_ERR_PORT;
}

int Board::read_done(void *context) {
    auto *board = static_cast<Board *>(context);
    return board->read(board->done_, board->done_name_, "DONE");
}

// One message for each bufsiz bytes at most, as spidev refuses more.
void Board::send(void *context, const unsigned char *bytes, std::size_t count) {
    auto *board = static_cast<Board *>(context);
    while (count > 0 && board->failure_.empty()) {
        const std::size_t size = count < board->message_limit_ ? count : board->message_limit_;
        spi_ioc_transfer transfer{};
        transfer.tx_buf = reinterpret_cast<std::uintptr_t>(bytes);
        transfer.len = static_cast<std::uint32_t>(size);
        const int sent = ioctl(board->spi_.get(), SPI_IOC_MESSAGE(1), &transfer);
        if (sent < 0 || static_cast<std::size_t>(sent) != size) {
            board->fail(board->spi_name_ + ": an SPI message of " + std::to_string(size) +
                        " bytes failed: " + (sent < 0 ? errno_text(errno) : std::to_string(sent) + " bytes sent"));
            return;
        }
        bytes += size;
        count -= size;
    }
}

JtagBoard::JtagBoard(const JtagWiring &wiring, ChainSide tdi_side, ChainSide tdo_side)
    : wiring_(wiring), message_limit_(spidev_bufsiz()) {
    const bool spi = !wiring.spi.empty();
    if (spi) {
        spi_.reset(open_spi(wiring.spi, wiring.speed));
        // Refused here, by a controller that has none, before any TCK.
        std::uint8_t bits = 1;
        if (ioctl(spi_.get(), SPI_IOC_WR_BITS_PER_WORD, &bits) < 0)
            throw Failure(wiring.spi + (errno == EINVAL ? one_bit_words : ": 1-bit words: " + errno_text(errno)));
        bits = 8;
        spi_setting(spi_.get(), SPI_IOC_WR_BITS_PER_WORD, &bits, wiring.spi, "8-bit words refused",
                    "the controller must support 8-bit words");
    }
    // TCK low, TMS and TDI high as their pull-ups hold them, TDO an input.
    const Wanted all[pins] = {{&wiring.tck, "TCK", true, false},
                              {&wiring.tms, "TMS", true, true},
                              {&wiring.tdi, "TDI", true, true},
                              {&wiring.tdo, "TDO", false, false}};
    Wanted chip[pins] = {};
    const unsigned every = (1u << pins) - 1;
    unsigned requested = spi ? every & ~(1u << tms_pin) : 0;
    while (requested != every) {
        std::size_t count = 0;
        for (unsigned pin = 0; pin < pins; ++pin)
            if ((requested >> pin & 1) == 0 && (count == 0 || all[pin].line->chip == chip[0].line->chip)) {
                request_of_[pin] = request_count_;
                bit_of_[pin] = static_cast<unsigned>(count);
                chip[count++] = all[pin];
                requested |= 1u << pin;
            }
        requests_[request_count_++].reset(request_lines(chip, count));
    }
    port_.context = this;
    port_.tck = spi ? spi_tck : gpio_tck;
    port_.shift = spi ? spi_shift : gpio_shift;
    port_.micros = micros;
    port_.tdi_side = tdi_side;
    port_.tdo_side = tdo_side;
}

JtagBoard::~JtagBoard() {
    // TCK is left high after a cycle; it idles low.
    if (wiring_.spi.empty()) {
        gpio_v2_line_values values{};
        values.mask = std::uint64_t{1} << bit_of_[tck_pin];
        ioctl(requests_[request_of_[tck_pin]].get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values);
    }
}

void JtagBoard::fail(const std::string &text) {
    if (failure_.empty())
        failure_ = text;
}

// Sets the pins of mask to their bits in levels, with one call for each
// chip; false after a failure.
bool JtagBoard::set(unsigned mask, unsigned levels) {
    gpio_v2_line_values values[pins] = {};
    for (unsigned pin = 0; pin < pins; ++pin)
        if ((mask >> pin & 1) != 0) {
            values[request_of_[pin]].mask |= std::uint64_t{1} << bit_of_[pin];
            values[request_of_[pin]].bits |= std::uint64_t{levels >> pin & 1} << bit_of_[pin];
        }
    for (unsigned request = 0; request < request_count_; ++request)
        if (values[request].mask != 0 &&
            ioctl(requests_[request].get(), GPIO_V2_LINE_SET_VALUES_IOCTL, &values[request]) < 0) {
            const Line *lines[pins] = {&wiring_.tck, &wiring_.tms, &wiring_.tdi, &wiring_.tdo};
            static const char *const names[pins] = {"TCK", "TMS", "TDI", "TDO"};
            std::string pins_set;
            for (unsigned pin = 0; pin < pins; ++pin)
                if ((mask >> pin & 1) != 0 && request_of_[pin] == request)
                    pins_set += (pins_set.empty() ? "" : ", ") + pin_name(names[pin], *lines[pin]);
            fail(pins_set + ": setting the lines failed: " + errno_text(errno));
            return false;
        }
    return true;
}

int JtagBoard::read_tdo() {
    gpio_v2_line_values values{};
    values.mask = std::uint64_t{1} << bit_of_[tdo_pin];
    if (ioctl(requests_[request_of_[tdo_pin]].get(), GPIO_V2_LINE_GET_VALUES_IOCTL, &values) < 0) {
        fail(pin_name("TDO", wiring_.tdo) + ": reading the line failed: " + errno_text(errno));
        return FPGABITS_ERR_PORT;
    }
    return static_cast<int>(values.bits >> bit_of_[tdo_pin] & 1);
}

// TCK falls in the call that sets TMS and TDI, and rises in one of its own,
// after TDO is read: three calls a cycle.
int JtagBoard::gpio_tck(void *context, int tms, int tdi) {
    auto *board = static_cast<JtagBoard *>(context);
    const unsigned levels = static_cast<unsigned>(tms != 0) << tms_pin | static_cast<unsigned>(tdi != 0) << tdi_pin;
    if (!board->set(1u << tck_pin | 1u << tms_pin | 1u << tdi_pin, levels))
        return FPGABITS_ERR_PORT;
    const int tdo = board->read_tdo();
    if (tdo < 0 || !board->set(1u << tck_pin, 1u << tck_pin))
        return FPGABITS_ERR_PORT;
    return tdo;
}

// The same cycles without reading TDO: two calls a bit.
int JtagBoard::gpio_shift(void *context, const unsigned char *bytes, std::size_t count) {
    auto *board = static_cast<JtagBoard *>(context);
    for (std::size_t i = 0; i < count; ++i)
        for (int bit = 7; bit >= 0; --bit)
            if (!board->set(1u << tck_pin | 1u << tms_pin | 1u << tdi_pin, static_cast<unsigned>(bytes[i] >> bit & 1)
                                                                               << tdi_pin) ||
                !board->set(1u << tck_pin, 1u << tck_pin))
                return FPGABITS_ERR_PORT;
    return 0;
}

// Sends the bytes that shift() kept, in one message with TMS low; false
// where it fails. The loader's cycles to Test-Logic-Reset after a failure
// still go out.
bool JtagBoard::flush() {
    if (pending_.empty())
        return true;
    bool sent_all = false;
    if (tms_level_ == 0 || set(1u << tms_pin, 0)) {
        tms_level_ = 0;
        spi_ioc_transfer transfer{};
        transfer.tx_buf = reinterpret_cast<std::uintptr_t>(pending_.data());
        transfer.len = static_cast<std::uint32_t>(pending_.size());
        transfer.bits_per_word = 8;
        const int sent = ioctl(spi_.get(), SPI_IOC_MESSAGE(1), &transfer);
        sent_all = sent >= 0 && static_cast<std::size_t>(sent) == pending_.size();
        if (!sent_all)
            fail(wiring_.spi + ": an SPI message of " + std::to_string(pending_.size()) +
                 " bytes failed: " + (sent < 0 ? errno_text(errno) : std::to_string(sent) + " bytes sent"));
    }
    pending_.clear();
    return sent_all;
}

// One TCK cycle over SPI: a 1-bit word, which the kernel takes in the
// lowest bit of a byte, and TDO from MISO in the same place.
int JtagBoard::spi_tck(void *context, int tms, int tdi) {
    auto *board = static_cast<JtagBoard *>(context);
    if (!board->flush())
        return FPGABITS_ERR_PORT;
    if (tms != board->tms_level_ && !board->set(1u << tms_pin, static_cast<unsigned>(tms != 0) << tms_pin))
        return FPGABITS_ERR_PORT;
    board->tms_level_ = tms;
    unsigned char out = tdi != 0 ? 1 : 0;
    unsigned char in = 0;
    spi_ioc_transfer transfer{};
    transfer.tx_buf = reinterpret_cast<std::uintptr_t>(&out);
    transfer.rx_buf = reinterpret_cast<std::uintptr_t>(&in);
    transfer.len = 1;
    transfer.bits_per_word = 1;
    if (ioctl(board->spi_.get(), SPI_IOC_MESSAGE(1), &transfer) != 1) {
        board->fail(board->wiring_.spi +
                    (errno == EINVAL ? one_bit_words
                                     : ": a TCK cycle (an SPI transfer of a 1-bit word) failed: " + errno_text(errno)));
        return FPGABITS_ERR_PORT;
    }
    return in & 1;
}

// The bytes are copied, so that the loader's are free at once, and go out
// in messages of spidev's bufsiz, in order: the next tck(), or a shift() of
// none, sends what is left before it returns.
int JtagBoard::spi_shift(void *context, const unsigned char *bytes, std::size_t count) {
    auto *board = static_cast<JtagBoard *>(context);
    if (count == 0 && !board->flush())
        return FPGABITS_ERR_PORT;
    while (count > 0) {
        const std::size_t room = board->message_limit_ - board->pending_.size();
        const std::size_t size = count < room ? count : room;
        board->pending_.insert(board->pending_.end(), bytes, bytes + size);
        bytes += size;
        count -= size;
        if (board->pending_.size() == board->message_limit_ && !board->flush())
            return FPGABITS_ERR_PORT;
    }
    return 0;
}

} // namespace board
