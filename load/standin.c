/* A stand-in for the kernel under fpgabits-load, for its tests on machines
 * without GPIO or SPI, and for users who try it without a board (installed
 * as lib/fpgabits/preload/libfpgabits-standin.so): preloaded (LD_PRELOAD),
 * it serves open, ioctl and close for /dev/gpiochipN and /dev/spidevX.Y with
 * the kernel's structures (linux/gpio.h version 2, linux/spi/spidev.h), and
 * clock_gettime for CLOCK_MONOTONIC, and wires them to the FPGA model:
 * PROG_B, INIT_B and DONE on lines of gpiochip0, DIN and CCLK on spidev0.0,
 * time on the model's virtual clock, so that the loader's waits pass in no
 * real time. An SPI message lasts as long as its bits take at its speed.
 *
 * The model's JTAG chain is wired too: TCK, TMS, TDI and TDO on lines of
 * gpiochip0, and, with FPGABITS_STANDIN_SPI=jtag, spidev0.0 on TCK (SCLK),
 * TDI (MOSI) and TDO (MISO) instead of CCLK and DIN. A program drives them
 * so:
 *   - over GPIO, each TCK cycle: TMS and TDI set with TCK low
 *     (GPIO_V2_LINE_SET_VALUES, TCK in the same call or an earlier one),
 *     TDO read (GPIO_V2_LINE_GET_VALUES), then TCK set high in a call of
 *     its own: its rising edge clocks the TAP with TMS and TDI as they are
 *     then, and a call that changes TMS or TDI as TCK rises is a violation.
 *     TDO reads as the TAP drives it after the last falling edge;
 *   - over SPI, in mode 0, with TMS on its line as it is during the
 *     message: words of 8 bits, most significant bit first, one TCK cycle a
 *     bit (with TMS low and no rx_buf, through the model's shift(), for the
 *     data); and words of fewer bits, bits_per_word 1 for single TCK cycles,
 *     each word in a byte of its own, in its lowest bits (bit 0 for 1-bit
 *     words), as the kernel lays them out. rx_buf receives TDO in the same
 *     places, as MISO wired to TDO would.
 * TMS and TDI read high where no line drives them, as their pull-ups hold
 * them, and TCK low.
 *
 * It refuses what the kernel refuses (a line requested twice, values of
 * lines not requested or set on inputs, messages over bufsiz, bad flags and
 * padding) and records what a board would not take as a violation. Set by
 * the environment:
 *   FPGABITS_STANDIN_DEVICE  the device type the model plays (7a35tcsg324)
 *   FPGABITS_STANDIN_PINS    the lines of PROG_B, INIT_B and DONE (17,27,22)
 *   FPGABITS_STANDIN_JTAG    the lines of TCK, TMS, TDI and TDO (11,25,10,9)
 *   FPGABITS_STANDIN_CHAIN   the JTAG chain from TDI to TDO: fpga for the
 *                            FPGA, IR_BITS or IR_BITS:IDCODE (hexadecimal)
 *                            for each other device, with commas, such as
 *                            8:1234a0cb,fpga,4 (fpga)
 *   FPGABITS_STANDIN_SPI     what spidev0.0 drives: serial (CCLK and DIN,
 *                            the default) or jtag
 *   FPGABITS_STANDIN_BUFSIZ  spidev's bufsiz; unset, its parameter file is
 *                            missing and spidev takes 4096
 *   FPGABITS_STANDIN_RUNNING a file (a bitstream file or raw data) that the
 *                            model runs from the start, as an FPGA that
 *                            loaded it before the program ran; the report
 *                            counts no PROG_B pulse for it
 *   FPGABITS_STANDIN_FAULTS  any of, with commas: spi-denied, gpio-denied
 *                            (EACCES), spi-mode (mode refused), busy:N
 *                            (line N in use), init-stuck (INIT_B stays low),
 *                            no-done (DONE never rises), flip (one bit of
 *                            the configuration data on spidev0.0, byte
 *                            2000, flips on the wire, over JTAG too),
 *                            clear-stuck (the memory never finishes
 *                            clearing), tdo-stuck:0 or tdo-stuck:1 (TDO reads
 *                            0, or 1, as with a cut wire), spi-no-1bit (the
 *                            SPI controller takes 8-bit words only: EINVAL
 *                            for others), spi-eio (every SPI message of 8-bit
 *                            words fails with EIO)
 *   FPGABITS_STANDIN_REPORT  a file that receives, at exit, what the model
 *                            saw, one "name value" a line
 * Only gpiochip0 and spidev0.0 exist; other such devices are missing. */
/* Both open and open64 are served, whatever the build asks of the headers. */
#undef _FILE_OFFSET_BITS
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

#include "fpga_model.h"

#define EXPORT __attribute__((visibility("default")))

enum { CHIP_LINES = 54, FILES = 32, FLIP_AT = 2000, PIECE = 4096 };
enum kind { FREE, CHIP, LINES, SPI };
enum pin { PROG_B, INIT_B, DONE, TCK, TMS, TDI, TDO, PINS };

static const char *const pin_names[PINS] = {"PROG_B", "INIT_B", "DONE", "TCK", "TMS", "TDI", "TDO"};

static const char *const tap_names[16] = {"Test-Logic-Reset", "Run-Test/Idle",  "Select-DR-Scan", "Capture-DR",
                                          "Shift-DR",         "Exit1-DR",       "Pause-DR",       "Exit2-DR",
                                          "Update-DR",        "Select-IR-Scan", "Capture-IR",     "Shift-IR",
                                          "Exit1-IR",         "Pause-IR",       "Exit2-IR",       "Update-IR"};

struct file {
    enum kind kind;
    int fd;
    unsigned count;                      /* LINES: lines requested */
    uint32_t offsets[GPIO_V2_LINES_MAX]; /* LINES */
    uint64_t outputs, values;            /* LINES: bitmaps by index of the output lines and their values */
};

static struct {
    int ready;
    struct fpga_model model;
    struct fpgabits_port port;
    struct file files[FILES];
    uint64_t requested; /* lines of gpiochip0 */
    unsigned pins[PINS];
    int prog_b_low;   /* PROG_B driven low by a requested output */
    int levels[PINS]; /* of TCK, TMS and TDI */
    int moved;        /* TMS or TDI changed by the call that sets the lines */
    int spi_jtag;     /* spidev0.0 drives TCK and TDI, not CCLK and DIN */
    /* Faults. */
    int spi_denied, gpio_denied, spi_mode_refused, flip, spi_8bit_only, spi_eio;
    long busy_line;
    /* spidev */
    size_t bufsiz;
    const char *bufsiz_text;
    uint32_t mode, speed;
    uint8_t bits;
    /* What was seen. */
    unsigned long device_opens, messages, largest, data_bytes, last_speed;
    char consumer[GPIO_MAX_NAME_SIZE + 1];
    char violation[200];
} s;

static void violation(const char *format, unsigned long value) {
    if (s.violation[0] == '\0')
        snprintf(s.violation, sizeof s.violation, format, value);
}

static void note(const char *text, const char *name) {
    if (s.violation[0] == '\0')
        snprintf(s.violation, sizeof s.violation, "%s%s", name, text);
}

static int has_fault(const char *faults, const char *name) {
    const size_t length = strlen(name);
    const char *at = faults;
    while ((at = strstr(at, name)) != NULL) {
        if ((at == faults || at[-1] == ',') && (at[length] == '\0' || at[length] == ',' || at[length] == ':'))
            return 1;
        at += length;
    }
    return 0;
}

/* The other devices of the chain, from TDI to TDO, around the FPGA. */
static void set_chain(const char *text) {
    int fpga = 0;
    while (*text != '\0') {
        if (strncmp(text, "fpga", 4) == 0 && !fpga) {
            fpga = 1;
            text += 4;
        } else {
            unsigned *devices = fpga ? &s.model.tdo_devices : &s.model.tdi_devices;
            struct fpga_chain_device *device;
            char *end;
            if (*devices == FPGA_CHAIN_MAX || *text < '0' || *text > '9')
                break;
            device = fpga ? &s.model.tdo_side[*devices] : &s.model.tdi_side[*devices];
            device->ir_bits = (unsigned)strtoul(text, &end, 10);
            device->idcode = *end == ':' ? (uint32_t)strtoul(end + 1, &end, 16) : 0;
            ++*devices;
            text = end;
        }
        if (*text == ',')
            ++text;
        else if (*text != '\0')
            break;
    }
    if (*text != '\0' || !fpga) {
        note(": give the devices from TDI to TDO, with fpga among them, such as 8:1234a0cb,fpga,4",
             "FPGABITS_STANDIN_CHAIN");
        s.model.tdi_devices = s.model.tdo_devices = 0;
    }
}

/* The model takes the whole file over its serial pins, as a device reads
 * its flash at power-up, skipping what comes before the sync word, and
 * starts. */
static void run_file(const char *path) {
    unsigned char piece[PIECE];
    FILE *file = fopen(path, "rb");
    size_t got;
    int waits;
    if (file == NULL) {
        note(": FPGABITS_STANDIN_RUNNING cannot be read", path);
        return;
    }
    s.port.prog_b(s.port.context, 0);
    s.port.micros(s.port.context);
    s.port.prog_b(s.port.context, 1);
    for (waits = 0; !s.port.init_b(s.port.context) && waits < 100000; ++waits)
        s.port.micros(s.port.context);
    while ((got = fread(piece, 1, sizeof piece, file)) > 0)
        s.port.send(s.port.context, piece, got);
    fclose(file);
    /* Clocks until DONE, and as many after it as a loader gives. */
    memset(piece, 0xff, 16);
    for (waits = 0; !s.port.done(s.port.context) && waits < 1000; ++waits)
        s.port.send(s.port.context, piece, 16);
    s.port.send(s.port.context, piece, 16);
    if (!s.model.done)
        note(": the model did not start with FPGABITS_STANDIN_RUNNING", path);
    s.model.prog_b_pulses = 0;
}

static void setup(void) {
    const char *device = getenv("FPGABITS_STANDIN_DEVICE"), *faults = getenv("FPGABITS_STANDIN_FAULTS");
    const char *pins = getenv("FPGABITS_STANDIN_PINS"), *jtag = getenv("FPGABITS_STANDIN_JTAG");
    const char *chain = getenv("FPGABITS_STANDIN_CHAIN"), *spi = getenv("FPGABITS_STANDIN_SPI");
    const char *running = getenv("FPGABITS_STANDIN_RUNNING");
    const char *busy;
    if (s.ready)
        return;
    s.ready = 1;
    device = device != NULL ? device : "7a35tcsg324";
    if (!fpga_model_init(&s.model, device, 0))
        note(": the model knows no such device", device);
    if (chain != NULL)
        set_chain(chain);
    fpga_model_port(&s.model, &s.port);
    if (running != NULL)
        run_file(running);
    if (pins == NULL || sscanf(pins, "%u,%u,%u", &s.pins[PROG_B], &s.pins[INIT_B], &s.pins[DONE]) != 3) {
        s.pins[PROG_B] = 17;
        s.pins[INIT_B] = 27;
        s.pins[DONE] = 22;
    }
    if (jtag == NULL || sscanf(jtag, "%u,%u,%u,%u", &s.pins[TCK], &s.pins[TMS], &s.pins[TDI], &s.pins[TDO]) != 4) {
        s.pins[TCK] = 11;
        s.pins[TMS] = 25;
        s.pins[TDI] = 10;
        s.pins[TDO] = 9;
    }
    s.levels[TMS] = s.levels[TDI] = 1;
    s.spi_jtag = spi != NULL && strcmp(spi, "jtag") == 0;
    if (spi != NULL && !s.spi_jtag && strcmp(spi, "serial") != 0)
        note(": give serial or jtag", "FPGABITS_STANDIN_SPI");
    faults = faults != NULL ? faults : "";
    s.spi_denied = has_fault(faults, "spi-denied");
    s.gpio_denied = has_fault(faults, "gpio-denied");
    s.spi_mode_refused = has_fault(faults, "spi-mode");
    s.flip = has_fault(faults, "flip");
    s.spi_8bit_only = has_fault(faults, "spi-no-1bit");
    s.spi_eio = has_fault(faults, "spi-eio");
    s.model.init_b_stuck_low = has_fault(faults, "init-stuck");
    if (has_fault(faults, "no-done"))
        s.model.startup_ns = 10000000000u;
    if (has_fault(faults, "clear-stuck"))
        s.model.clear_ns = UINT64_MAX;
    s.model.tdo_stuck_low = strstr(faults, "tdo-stuck:0") != NULL;
    s.model.tdo_stuck_high = strstr(faults, "tdo-stuck:1") != NULL;
    busy = strstr(faults, "busy:");
    s.busy_line = busy != NULL ? strtol(busy + 5, NULL, 10) : -1;
    s.bufsiz_text = getenv("FPGABITS_STANDIN_BUFSIZ");
    s.bufsiz = s.bufsiz_text != NULL ? strtoul(s.bufsiz_text, NULL, 10) : 4096;
    s.speed = 125000000; /* as a device tree may give it */
}

/* The next definitions of the functions served, for everything else. */
static void *next(const char *name) {
    void *function = dlsym(RTLD_NEXT, name);
    if (function == NULL) {
        fprintf(stderr, "standin: no %s\n", name);
        abort();
    }
    return function;
}

static int real_open(const char *path, int flags, mode_t mode) {
    static int (*function)(const char *, int, ...);
    if (function == NULL) {
        void *found = next("open");
        memcpy(&function, &found, sizeof function);
    }
    return function(path, flags, mode);
}

static int real_close(int fd) {
    static int (*function)(int);
    if (function == NULL) {
        void *found = next("close");
        memcpy(&function, &found, sizeof function);
    }
    return function(fd);
}

static int fail(int error) {
    errno = error;
    return -1;
}

static struct file *file_of(int fd) {
    int i;
    for (i = 0; i < FILES && fd >= 0; ++i)
        if (s.files[i].kind != FREE && s.files[i].fd == fd)
            return &s.files[i];
    return NULL;
}

/* A descriptor of its own for a file served here: one of /dev/null. */
static struct file *new_file(enum kind kind, int flags) {
    int i;
    for (i = 0; i < FILES; ++i)
        if (s.files[i].kind == FREE) {
            const int fd = real_open("/dev/null", O_RDWR | (flags & O_CLOEXEC), 0);
            if (fd < 0)
                return NULL;
            memset(&s.files[i], 0, sizeof s.files[i]);
            s.files[i].kind = kind;
            s.files[i].fd = fd;
            return &s.files[i];
        }
    return NULL;
}

static int serve_open(const char *path, int flags, mode_t mode) {
    const int chip = strncmp(path, "/dev/gpiochip", 13) == 0, spi = strncmp(path, "/dev/spidev", 11) == 0;
    struct file *file;
    setup();
    if (strcmp(path, "/sys/module/spidev/parameters/bufsiz") == 0) {
        int ends[2];
        if (s.bufsiz_text == NULL)
            return fail(ENOENT);
        if (pipe(ends) != 0)
            return -1;
        if (write(ends[1], s.bufsiz_text, strlen(s.bufsiz_text)) < 0 || write(ends[1], "\n", 1) < 0)
            note("cannot write bufsiz", "");
        real_close(ends[1]);
        return ends[0];
    }
    if (!chip && !spi)
        return real_open(path, flags, mode);
    if (strcmp(path, chip ? "/dev/gpiochip0" : "/dev/spidev0.0") != 0)
        return fail(ENOENT);
    if (chip ? s.gpio_denied : s.spi_denied)
        return fail(EACCES);
    if ((flags & O_ACCMODE) != O_RDWR)
        violation("a device opened other than read and write (flags %lu)", (unsigned long)flags);
    file = new_file(chip ? CHIP : SPI, flags);
    if (file == NULL)
        return fail(EMFILE);
    ++s.device_opens;
    return file->fd;
}

static mode_t mode_argument(int flags, va_list arguments) {
    return (flags & (O_CREAT | O_TMPFILE)) != 0 ? (mode_t)va_arg(arguments, int) : 0;
}

EXPORT int open(const char *path, int flags, ...) {
    va_list arguments;
    mode_t mode;
    va_start(arguments, flags);
    mode = mode_argument(flags, arguments);
    va_end(arguments);
    return serve_open(path, flags, mode);
}

EXPORT int open64(const char *path, int flags, ...) {
    va_list arguments;
    mode_t mode;
    va_start(arguments, flags);
    mode = mode_argument(flags, arguments);
    va_end(arguments);
    return serve_open(path, flags, mode);
}

/* What a fortified build calls. */
EXPORT int __open_2(const char *path, int flags) {
    return serve_open(path, flags, 0);
}

EXPORT int __open64_2(const char *path, int flags) {
    return serve_open(path, flags, 0);
}

/* The pin a line of gpiochip0 is wired to, or PINS. */
static enum pin pin_of(uint32_t offset) {
    int pin;
    for (pin = 0; pin < PINS; ++pin)
        if (s.pins[pin] == offset)
            return (enum pin)pin;
    return PINS;
}

static void drive(enum pin pin, int level) {
    switch (pin) {
    case PROG_B:
        s.port.prog_b(s.port.context, level);
        s.prog_b_low = !level;
        break;
    case TMS:
    case TDI:
        s.moved |= s.levels[pin] != level;
        s.levels[pin] = level;
        break;
    case TCK:
        if (level && !s.levels[TCK]) {
            if (s.moved)
                note(" changed as TCK rose: set them with TCK low, in an earlier call", "TMS or TDI");
            s.port.tck(s.port.context, s.levels[TMS], s.levels[TDI]);
        }
        s.levels[TCK] = level;
        break;
    case PINS: break;
    default: note(" driven by the program", pin_names[pin]); break;
    }
}

/* Drives the pins of the lines of file in mask as its values say, TCK last. */
static void drive_lines(const struct file *file, uint64_t mask) {
    int tck = -1;
    unsigned i;
    s.moved = 0;
    for (i = 0; i < file->count; ++i)
        if ((mask >> i & 1) != 0) {
            const enum pin pin = pin_of(file->offsets[i]);
            const int level = (int)(file->values >> i & 1);
            if (pin == TCK)
                tck = level;
            else
                drive(pin, level);
        }
    if (tck >= 0)
        drive(TCK, tck);
}

EXPORT int close(int fd) {
    struct file *file = file_of(fd);
    unsigned i;
    if (file == NULL)
        return real_close(fd);
    for (i = 0; file->kind == LINES && i < file->count; ++i) {
        s.requested &= ~((uint64_t)1 << file->offsets[i]);
        /* The board's pull-up takes over; a line left low holds the FPGA in reset. */
        if (pin_of(file->offsets[i]) == PROG_B && s.prog_b_low) {
            note(" released while driven low", "PROG_B");
            s.port.prog_b(s.port.context, 1);
            s.prog_b_low = 0;
        }
        /* The TAP's pull-ups hold TMS and TDI high; TCK stays low. */
        if (pin_of(file->offsets[i]) == TMS || pin_of(file->offsets[i]) == TDI)
            s.levels[pin_of(file->offsets[i])] = 1;
        if (pin_of(file->offsets[i]) == TCK)
            s.levels[TCK] = 0;
    }
    file->kind = FREE;
    return real_close(fd);
}

/* The kernel's rules for the flags of a line. */
static int flags_valid(uint64_t flags) {
    const uint64_t valid = GPIO_V2_LINE_FLAG_ACTIVE_LOW | GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT |
                           GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING |
                           GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE |
                           GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN |
                           GPIO_V2_LINE_FLAG_BIAS_DISABLED | GPIO_V2_LINE_FLAG_EVENT_CLOCK_REALTIME;
    const uint64_t edge = GPIO_V2_LINE_FLAG_EDGE_RISING | GPIO_V2_LINE_FLAG_EDGE_FALLING;
    const uint64_t drive_flags = GPIO_V2_LINE_FLAG_OPEN_DRAIN | GPIO_V2_LINE_FLAG_OPEN_SOURCE;
    const uint64_t bias =
        GPIO_V2_LINE_FLAG_BIAS_PULL_UP | GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN | GPIO_V2_LINE_FLAG_BIAS_DISABLED;
    const uint64_t direction = GPIO_V2_LINE_FLAG_INPUT | GPIO_V2_LINE_FLAG_OUTPUT;
    const int biases = !!(flags & GPIO_V2_LINE_FLAG_BIAS_PULL_UP) + !!(flags & GPIO_V2_LINE_FLAG_BIAS_PULL_DOWN) +
                       !!(flags & GPIO_V2_LINE_FLAG_BIAS_DISABLED);
    if ((flags & ~valid) != 0 || (flags & direction) == direction)
        return 0;
    if ((flags & edge) != 0 && (flags & GPIO_V2_LINE_FLAG_OUTPUT) != 0)
        return 0;
    if ((flags & drive_flags) != 0 && ((flags & GPIO_V2_LINE_FLAG_OUTPUT) == 0 || (flags & drive_flags) == drive_flags))
        return 0;
    return biases <= 1 && ((flags & bias) == 0 || (flags & direction) != 0);
}

static int zero(const void *bytes, size_t size) {
    const unsigned char *b = bytes;
    size_t i;
    for (i = 0; i < size; ++i)
        if (b[i] != 0)
            return 0;
    return 1;
}

/* The value of an attribute of the line at index, as the first attribute
 * of that id whose mask holds it gives it, or fallback. */
static uint64_t attribute(const struct gpio_v2_line_config *config, uint32_t id, unsigned index, uint64_t fallback) {
    unsigned i;
    for (i = 0; i < config->num_attrs; ++i)
        if (config->attrs[i].attr.id == id && (config->attrs[i].mask >> index & 1) != 0)
            return id == GPIO_V2_LINE_ATTR_ID_FLAGS ? config->attrs[i].attr.flags
                                                    : config->attrs[i].attr.values >> index & 1;
    return fallback;
}

static int request_lines(struct gpio_v2_line_request *request) {
    const struct gpio_v2_line_config *config = &request->config;
    struct file *file;
    unsigned i, j;
    if (request->num_lines == 0 || request->num_lines > GPIO_V2_LINES_MAX ||
        !zero(request->padding, sizeof request->padding) || config->num_attrs > GPIO_V2_LINE_NUM_ATTRS_MAX ||
        !zero(config->padding, sizeof config->padding))
        return fail(EINVAL);
    for (i = 0; i < config->num_attrs; ++i)
        if (config->attrs[i].attr.padding != 0)
            return fail(EINVAL);
    for (i = 0; i < request->num_lines; ++i) {
        const uint32_t offset = request->offsets[i];
        if (offset >= CHIP_LINES || !flags_valid(attribute(config, GPIO_V2_LINE_ATTR_ID_FLAGS, i, config->flags)))
            return fail(EINVAL);
        for (j = 0; j < i; ++j)
            if (request->offsets[j] == offset)
                return fail(EBUSY);
        if ((s.requested >> offset & 1) != 0 || (long)offset == s.busy_line)
            return fail(EBUSY);
    }
    file = new_file(LINES, O_CLOEXEC);
    if (file == NULL)
        return fail(EMFILE);
    file->count = request->num_lines;
    memcpy(s.consumer, request->consumer, sizeof request->consumer);
    for (i = 0; i < request->num_lines; ++i) {
        const uint32_t offset = request->offsets[i];
        file->offsets[i] = offset;
        s.requested |= (uint64_t)1 << offset;
        if ((attribute(config, GPIO_V2_LINE_ATTR_ID_FLAGS, i, config->flags) & GPIO_V2_LINE_FLAG_OUTPUT) != 0) {
            const uint64_t value = attribute(config, GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES, i, 0);
            file->outputs |= (uint64_t)1 << i;
            file->values |= value << i;
        }
    }
    drive_lines(file, file->outputs);
    request->fd = file->fd;
    return 0;
}

static int chip_ioctl(unsigned long request, void *argument) {
    if (request == GPIO_GET_CHIPINFO_IOCTL) {
        struct gpiochip_info *info = argument;
        memset(info, 0, sizeof *info);
        strcpy(info->name, "gpiochip0");
        strcpy(info->label, "standin");
        info->lines = CHIP_LINES;
        return 0;
    }
    if (request == GPIO_V2_GET_LINE_IOCTL)
        return request_lines(argument);
    violation("an ioctl of the GPIO chip that the stand-in does not serve: %#lx", request);
    return fail(EINVAL);
}

static int line_ioctl(struct file *file, unsigned long request, void *argument) {
    struct gpio_v2_line_values *values = argument;
    const uint64_t mask = file->count < 64 ? values->mask & (((uint64_t)1 << file->count) - 1) : values->mask;
    unsigned i;
    if (request != GPIO_V2_LINE_GET_VALUES_IOCTL && request != GPIO_V2_LINE_SET_VALUES_IOCTL) {
        violation("an ioctl of a GPIO line that the stand-in does not serve: %#lx", request);
        return fail(EINVAL);
    }
    if (mask == 0)
        return fail(EINVAL);
    if (request == GPIO_V2_LINE_SET_VALUES_IOCTL) {
        if ((mask & ~file->outputs) != 0)
            return fail(EPERM);
        file->values = (file->values & ~mask) | (values->bits & mask);
        drive_lines(file, mask);
        return 0;
    }
    values->bits = 0;
    for (i = 0; i < file->count; ++i)
        if ((mask >> i & 1) != 0) {
            const enum pin pin = pin_of(file->offsets[i]);
            uint64_t bit = file->values >> i & 1;
            if ((file->outputs >> i & 1) == 0)
                bit = pin == INIT_B ? (uint64_t)s.port.init_b(s.port.context)
                      : pin == DONE ? (uint64_t)s.port.done(s.port.context)
                      : pin == TDO  ? (uint64_t)fpga_model_tdo(&s.model)
                                    : pin == PROG_B; /* its pull-up */
            values->bits |= bit << i;
        }
    return 0;
}

/* The bytes of a transfer at at, as they go out: flip changes one of the
 * configuration data (data set), not of the TAP's moves and idle clocks. */
static uint32_t piece_of(const struct spi_ioc_transfer *t, uint32_t at, unsigned char *piece, int data) {
    const unsigned char *tx = (const unsigned char *)(uintptr_t)t->tx_buf;
    const uint32_t size = t->len - at < PIECE ? t->len - at : PIECE;
    if (tx != NULL)
        memcpy(piece, tx + at, size);
    else
        memset(piece, 0, size);
    if (!data)
        return size;
    if (s.flip && s.data_bytes <= FLIP_AT && FLIP_AT < s.data_bytes + size)
        piece[FLIP_AT - s.data_bytes] ^= 0x10;
    s.data_bytes += size;
    return size;
}

/* A message on the TAP: SCLK on TCK, MOSI on TDI, MISO from TDO, with TMS as
 * its line holds it. Words of bits bits, each in a byte of its own, in its
 * lowest bits, most significant first. */
static void jtag_transfer(const struct spi_ioc_transfer *t) {
    unsigned char *rx = (unsigned char *)(uintptr_t)t->rx_buf;
    const unsigned bits = t->bits_per_word != 0 ? t->bits_per_word : s.bits != 0 ? s.bits : 8;
    const int shift = bits == 8 && rx == NULL && !s.levels[TMS];
    uint32_t at, size;
    if (bits > 8) {
        violation("a transfer of %lu-bit words on the TAP: 1 to 8", bits);
        return;
    }
    for (at = 0; at < t->len; at += size) {
        unsigned char piece[PIECE];
        uint32_t i;
        size = piece_of(t, at, piece, shift && s.model.tap == FPGA_TAP_SHIFT_DR);
        if (shift) {
            s.port.shift(s.port.context, piece, size);
            continue;
        }
        for (i = 0; i < size; ++i) {
            unsigned out = 0;
            int bit;
            for (bit = (int)bits - 1; bit >= 0; --bit)
                out |= (unsigned)s.port.tck(s.port.context, s.levels[TMS], piece[i] >> bit & 1) << bit;
            if (rx != NULL)
                rx[at + i] = (unsigned char)out;
        }
    }
}

/* One message: its transfers, at most bufsiz bytes in all, go to the model
 * in order, each lasting as long as its bits take at its speed. */
static int message(const struct spi_ioc_transfer *transfers, unsigned count) {
    unsigned long total = 0;
    unsigned i;
    for (i = 0; i < count; ++i) {
        total += transfers[i].len;
        if (s.spi_8bit_only && transfers[i].bits_per_word != 0 && transfers[i].bits_per_word != 8)
            return fail(EINVAL);
    }
    if (total > s.bufsiz)
        return fail(EMSGSIZE);
    for (i = 0; i < count && s.spi_eio; ++i)
        if ((transfers[i].bits_per_word != 0 ? transfers[i].bits_per_word : s.bits != 0 ? s.bits : 8) == 8)
            return fail(EIO);
    if (s.spi_jtag) {
        if ((s.mode & (SPI_CPOL | SPI_CPHA | SPI_LSB_FIRST)) != 0)
            violation("TCK and TDI driven in SPI mode %#lx, not mode 0 most significant bit first",
                      (unsigned long)s.mode);
        for (i = 0; i < count; ++i) {
            const struct spi_ioc_transfer *t = &transfers[i];
            const uint64_t speed = t->speed_hz != 0 ? t->speed_hz : s.speed, before = s.model.now_ns;
            const unsigned bits = t->bits_per_word != 0 ? t->bits_per_word : s.bits != 0 ? s.bits : 8;
            const uint64_t wire_ns = (uint64_t)t->len * bits * 1000000000u / speed;
            jtag_transfer(t);
            /* The model counts its own time for the cycles; the rest at this speed. */
            if (wire_ns > s.model.now_ns - before)
                s.model.now_ns = before + wire_ns;
            s.last_speed = (unsigned long)speed;
        }
        ++s.messages;
        if (total > s.largest)
            s.largest = total;
        return (int)total;
    }
    if ((s.mode & (SPI_CPOL | SPI_CPHA | SPI_LSB_FIRST)) != 0 || (s.bits != 0 && s.bits != 8))
        violation("data sent in SPI mode %#lx, not mode 0 with 8-bit words most significant bit first",
                  (unsigned long)s.mode);
    for (i = 0; i < count; ++i) {
        const struct spi_ioc_transfer *t = &transfers[i];
        const uint64_t speed = t->speed_hz != 0 ? t->speed_hz : s.speed;
        const uint64_t wire_ns = (uint64_t)t->len * 8 * 1000000000u / speed, model_ns = (uint64_t)t->len * 8 * 20;
        uint32_t at;
        if (t->bits_per_word != 0 && t->bits_per_word != 8)
            violation("a transfer of %lu-bit words", t->bits_per_word);
        for (at = 0; at < t->len;) {
            unsigned char piece[PIECE];
            const uint32_t size = piece_of(t, at, piece, 1);
            s.port.send(s.port.context, piece, size);
            at += size;
        }
        /* The model counts 20 ns a clock; the rest of the time at this speed. */
        if (wire_ns > model_ns)
            s.model.now_ns += wire_ns - model_ns;
        s.last_speed = (unsigned long)speed;
    }
    ++s.messages;
    if (total > s.largest)
        s.largest = total;
    return (int)total;
}

static int spi_ioctl(unsigned long request, void *argument) {
    uint8_t *byte = argument;
    uint32_t *word = argument;
    if (_IOC_TYPE(request) == SPI_IOC_MAGIC && _IOC_NR(request) == 0 && _IOC_DIR(request) == _IOC_WRITE) {
        if (_IOC_SIZE(request) % sizeof(struct spi_ioc_transfer) != 0)
            return fail(EINVAL);
        return message(argument, _IOC_SIZE(request) / sizeof(struct spi_ioc_transfer));
    }
    switch (request) {
    case SPI_IOC_RD_MODE: *byte = (uint8_t)s.mode; return 0;
    case SPI_IOC_RD_MODE32: *word = s.mode; return 0;
    case SPI_IOC_WR_MODE:
    case SPI_IOC_WR_MODE32: {
        const uint32_t mode = request == SPI_IOC_WR_MODE ? (s.mode & ~0xffu) | *byte : *word;
        if (s.spi_mode_refused || (mode & ~(uint32_t)SPI_MODE_USER_MASK) != 0)
            return fail(EINVAL);
        s.mode = mode;
        return 0;
    }
    case SPI_IOC_RD_LSB_FIRST: *byte = (s.mode & SPI_LSB_FIRST) != 0; return 0;
    case SPI_IOC_WR_LSB_FIRST:
        s.mode = *byte != 0 ? s.mode | SPI_LSB_FIRST : s.mode & ~(uint32_t)SPI_LSB_FIRST;
        return 0;
    case SPI_IOC_RD_BITS_PER_WORD: *byte = s.bits; return 0;
    case SPI_IOC_WR_BITS_PER_WORD:
        if (s.spi_8bit_only && *byte != 0 && *byte != 8)
            return fail(EINVAL);
        s.bits = *byte;
        return 0;
    case SPI_IOC_RD_MAX_SPEED_HZ: *word = s.speed; return 0;
    case SPI_IOC_WR_MAX_SPEED_HZ:
        if (*word == 0)
            return fail(EINVAL);
        s.speed = *word;
        return 0;
    default: violation("an ioctl of spidev that the stand-in does not serve: %#lx", request); return fail(ENOTTY);
    }
}

EXPORT int ioctl(int fd, unsigned long request, ...) {
    struct file *file = file_of(fd);
    va_list arguments;
    void *argument;
    va_start(arguments, request);
    argument = va_arg(arguments, void *);
    va_end(arguments);
    if (file == NULL) {
        static int (*function)(int, unsigned long, ...);
        if (function == NULL) {
            void *found = next("ioctl");
            memcpy(&function, &found, sizeof function);
        }
        return function(fd, request, argument);
    }
    if (argument == NULL)
        return fail(EFAULT);
    switch (file->kind) {
    case CHIP: return chip_ioctl(request, argument);
    case LINES: return line_ioctl(file, request, argument);
    default: return spi_ioctl(request, argument);
    }
}

/* CLOCK_MONOTONIC is the model's time, which each reading advances by a
 * microsecond, as the model's own micros() does. */
EXPORT int clock_gettime(clockid_t clock, struct timespec *time) {
    static int (*function)(clockid_t, struct timespec *);
    if (clock == CLOCK_MONOTONIC) {
        uint64_t ns;
        setup();
        s.port.micros(s.port.context);
        ns = s.model.now_ns + 1000000000000u;
        time->tv_sec = (time_t)(ns / 1000000000u);
        time->tv_nsec = (long)(ns % 1000000000u);
        return 0;
    }
    if (function == NULL) {
        void *found = next("clock_gettime");
        memcpy(&function, &found, sizeof function);
    }
    return function(clock, time);
}

__attribute__((destructor)) static void report(void) {
    const char *path = getenv("FPGABITS_STANDIN_REPORT");
    const char *model_violation;
    FILE *out;
    int i, open_files = 0;
    if (path == NULL)
        return;
    setup();
    out = fopen(path, "w");
    if (out == NULL)
        return;
    for (i = 0; i < FILES; ++i)
        open_files += s.files[i].kind != FREE;
    model_violation = fpga_model_violation(&s.model);
    fprintf(out, "device_opens %lu\nstill_open %d\nconsumer %s\n", s.device_opens, open_files, s.consumer);
    fprintf(out, "prog_b_pulses %u\ndone %d\ncrc_checks %u\nidcode %08lx\nbytes %lu\n", s.model.prog_b_pulses,
            s.model.done, s.model.crc_checks, (unsigned long)s.model.idcode_seen, s.model.bytes);
    fprintf(out, "messages %lu\nlargest_message %lu\nspeed %lu\n", s.messages, s.largest, s.last_speed);
    fprintf(out, "jprograms %u\ntap_state %s\njtag_idcode %08lx\ncfg_in_bits %lu\ncrc_error %d\ntck_cycles %lu\n",
            s.model.jprograms, tap_names[s.model.tap], (unsigned long)s.model.jtag_idcode, s.model.cfg_in_bits,
            s.model.crc_error, s.model.tck_cycles);
    fprintf(out, "violation %s\n",
            s.violation[0] != '\0'    ? s.violation
            : model_violation != NULL ? model_violation
                                      : "none");
    fclose(out);
}
