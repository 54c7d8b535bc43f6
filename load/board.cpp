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

// Requests one line of a chip, as an output driven high or as an input
// with the pull-up that the controller may have, and returns its
// descriptor. The chip is closed again: the line's descriptor holds it.
int request_line(const Line &line, const char *pin, bool output) {
    const Descriptor chip(open(line.chip.c_str(), O_RDWR | O_CLOEXEC));
    if (chip.get() < 0)
        throw Failure(
            open_failure(line.chip, errno, "gpio",
                         "ls /dev/gpiochip* lists the GPIO chips; gpioinfo, of the package gpiod, their lines"));
    gpiochip_info info{};
    if (ioctl(chip.get(), GPIO_GET_CHIPINFO_IOCTL, &info) < 0)
        throw Failure(line.chip + ": not a GPIO chip (" + errno_text(errno) + ")");
    if (line.offset >= info.lines)
        throw Failure(pin_name(pin, line) + ": " + line.chip + " has no line " + std::to_string(line.offset) +
                      " (its lines are 0 to " + std::to_string(info.lines - 1) + ")");
    gpio_v2_line_request request{};
    request.offsets[0] = line.offset;
    request.num_lines = 1;
    std::strncpy(request.consumer, consumer, sizeof request.consumer - 1);
    if (output) {
        // Driven high from the start: a low PROG_B would erase the FPGA.
        request.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
        request.config.num_attrs = 1;
        request.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
        request.config.attrs[0].attr.values = 1;
        request.config.attrs[0].mask = 1;
    } else {
        request.config.flags = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_BIAS_PULL_UP;
    }
    if (ioctl(chip.get(), GPIO_V2_GET_LINE_IOCTL, &request) < 0) {
        const int error = errno;
        if (error == EBUSY)
            throw Failure(pin_name(pin, line) + ": the line is in use (gpioinfo " + line.chip +
                          " shows by what: a driver, a device-tree overlay or another program holds it)");
        throw Failure(pin_name(pin, line) + ": the line cannot be requested: " + errno_text(error) +
                      (error == EINVAL || error == ENOTTY ? " (a kernel before 5.10 has no GPIO v2 ioctls)" : ""));
    }
    return request.fd;
}

void spi_setting(int spi, unsigned long request, void *value, const std::string &path, const char *what,
                 const char *check) {
    if (ioctl(spi, request, value) < 0)
        throw Failure(path + ": " + what + ": " + errno_text(errno) + " (" + check + ")");
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
    spi_.reset(open(spi.c_str(), O_RDWR | O_CLOEXEC));
    if (spi_.get() < 0)
        throw Failure(open_failure(spi, errno, "spi",
                                   "ls /dev/spidev* lists the SPI devices; the board's device tree must enable "
                                   "the SPI controller and spidev"));
    // Mode 0, most significant bit first; chip select stays as the
    // controller drives it, as many refuse to do without one.
    std::uint32_t mode = 0;
    spi_setting(spi_.get(), SPI_IOC_RD_MODE32, &mode, spi, "cannot read the SPI mode", "is it a spidev device?");
    mode &= ~static_cast<std::uint32_t>(SPI_CPOL | SPI_CPHA | SPI_LSB_FIRST);
    spi_setting(spi_.get(), SPI_IOC_WR_MODE32, &mode, spi, "SPI mode 0, most significant bit first, refused",
                "the controller must support SPI mode 0");
    std::uint8_t bits = 8;
    spi_setting(spi_.get(), SPI_IOC_WR_BITS_PER_WORD, &bits, spi, "8-bit words refused",
                "the controller must support 8-bit words");
    spi_setting(spi_.get(), SPI_IOC_WR_MAX_SPEED_HZ, &speed, spi, "speed refused", "try another --speed");

    prog_b_.reset(request_line(prog_b, "PROG_B", true));
    init_b_.reset(request_line(init_b, "INIT_B", false));
    done_.reset(request_line(done, "DONE", false));

    port_.context = this;
    port_.prog_b = drive_prog_b;
    port_.init_b = read_init_b;
    port_.done = read_done;
    port_.send = send;
    port_.micros = micros;
    port_.fault = fault;
}

void Board::fail(const std::string &text) {
    if (failure_.empty())
        failure_ = text;
}

// A failure reads as INIT_B or DONE low, which ends the load at once.
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

int Board::read_init_b(void *context) {
    auto *board = static_cast<Board *>(context);
    return board->read(board->init_b_, board->init_b_name_, "INIT_B");
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

int Board::fault(void *context) {
    return static_cast<const Board *>(context)->failure_.empty() ? 0 : FPGABITS_ERR_PORT;
}

} // namespace board
