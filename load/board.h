// The board of fpgabits-load: the FPGA's configuration pins reached from
// Linux user space, DIN and CCLK through a spidev device, PROG_B, INIT_B and
// DONE through the GPIO character device (version 2 of its ioctls), or its
// JTAG lines through either, and time from CLOCK_MONOTONIC, as a port of the
// loader.
#ifndef FPGABITS_LOAD_BOARD_H
#define FPGABITS_LOAD_BOARD_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "fpgabits_load.h"

namespace board {

// What failed and what to check, in one line.
struct Failure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A GPIO line as given on the command line, "gpiochip0:17": the chip's
// device (a name in /dev, or a path) and the line's offset on it.
struct Line {
    std::string text, chip;
    std::uint32_t offset = 0;
};

// Reads "CHIP:LINE"; false where it is not one.
bool parse_line(const std::string &text, Line &line);

// An open file descriptor, closed with its owner.
class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int fd) : fd_(fd) {}
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    ~Descriptor();
    int get() const { return fd_; }
    void reset(int fd);
    // Hands the descriptor over, open, to a new owner.
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

  private:
    int fd_ = -1;
};

// The opened SPI device and the requested lines, released when it goes.
// The constructor throws Failure with what to check.
class Board {
  public:
    Board(const std::string &spi, std::uint32_t speed, const Line &prog_b, const Line &init_b, const Line &done);
    Board(const Board &) = delete;
    Board &operator=(const Board &) = delete;
    ~Board() = default;

    const fpgabits_port *port() const { return &port_; }
    // The first failure of the SPI device or a line during a load, which
    // the loader hears of as FPGABITS_ERR_PORT from INIT_B's read (after
    // each send too) and sees as DONE low; empty while there is none.
    const std::string &failure() const { return failure_; }

  private:
    static void drive_prog_b(void *context, int level);
    static int read_init_b(void *context);
    static int read_done(void *context);
    static void send(void *context, const unsigned char *bytes, std::size_t count);
    int read(const Descriptor &line, const Line &name, const char *pin);
    void fail(const std::string &text);

    std::string spi_name_;
    Line prog_b_name_, init_b_name_, done_name_;
    Descriptor spi_, prog_b_, init_b_, done_;
    std::size_t message_limit_ = 4096;
    std::string failure_;
    fpgabits_port port_{};
};

// Where the JTAG lines are: TCK, TMS, TDI and TDO on GPIO lines; or, with
// spi set, TCK, TDI and TDO on its SCLK, MOSI and MISO and TMS on a line.
struct JtagWiring {
    std::string spi;
    std::uint32_t speed = 0;
    Line tck, tms, tdi, tdo;
};

// Other devices of a JTAG chain on one side of the FPGA: how many, and
// their instruction registers' bits added up.
using ChainSide = fpgabits_port::fpgabits_chain_side;

// The JTAG lines as a port of the loader, with the other devices of the
// chain. The constructor throws Failure with what to check.
class JtagBoard {
  public:
    JtagBoard(const JtagWiring &wiring, ChainSide tdi_side, ChainSide tdo_side);
    JtagBoard(const JtagBoard &) = delete;
    JtagBoard &operator=(const JtagBoard &) = delete;
    ~JtagBoard();

    const fpgabits_port *port() const { return &port_; }
    // The first failure of the SPI device or a line, after which tck() and
    // shift() returned FPGABITS_ERR_PORT; empty while there is none.
    const std::string &failure() const { return failure_; }

  private:
    enum Pin : unsigned { tck_pin, tms_pin, tdi_pin, tdo_pin, pins };
    static int gpio_tck(void *context, int tms, int tdi);
    static int gpio_shift(void *context, const unsigned char *bytes, std::size_t count);
    static int spi_tck(void *context, int tms, int tdi);
    static int spi_shift(void *context, const unsigned char *bytes, std::size_t count);
    bool set(unsigned mask, unsigned levels);
    int read_tdo();
    bool flush();
    void fail(const std::string &text);

    JtagWiring wiring_;
    Descriptor spi_;
    // One request for each chip, and where each pin's line is in them.
    Descriptor requests_[pins];
    unsigned request_count_ = 0, request_of_[pins] = {}, bit_of_[pins] = {};
    int tms_level_ = 1;
    // Over SPI: shift()'s bytes not sent yet, up to a message.
    std::vector<unsigned char> pending_;
    std::size_t message_limit_ = 4096;
    std::string failure_;
    fpgabits_port port_{};
};

// The most that spidev takes in one message: its bufsiz parameter, or
// 4096, its default, where that cannot be read.
std::size_t spidev_bufsiz();

} // namespace board

#endif
