/* The program whose instructions cortex-m3.sh counts: Cortex-M3 code, run
 * under qemu-arm in user mode, where it is a static Linux program without a
 * C library's start-up (start.S) that reads its input with system calls.
 *
 *     harness ROW INTERFACE FILE CONFIG_SIZE
 *
 * loads FILE with the loader function of ROW (see rows below) over INTERFACE
 * (serial, x8, jtag or jtag-shift) into the counting port (port.c), for a device that is
 * configured once CONFIG_SIZE bytes are in, or only checks it. The load runs between the calls
 * of bench_start() and bench_stop(), which the counter watches for. Prints
 * "ROW: result R, sent N bytes" and exits 0 where the load succeeded and the
 * device took all of its configuration data (or the check passed); 1
 * otherwise, 2 on bad arguments. */
#include "port.h"

enum { INPUT_MAX = 16 << 20, WINDOW = 1024 };

static unsigned char input[INPUT_MAX];
static unsigned char work[FPGABITS_IMAGE_WORK_SIZE(WINDOW)];

/* Linux system calls, EABI: the number in r7, the arguments in r0 to r2. */
static long system_call(long number, long a, long b, long c) {
    register long r0 __asm__("r0") = a;
    register long r1 __asm__("r1") = b;
    register long r2 __asm__("r2") = c;
    register long r7 __asm__("r7") = number;
    __asm__ volatile("svc #0" : "+r"(r0) : "r"(r1), "r"(r2), "r"(r7) : "memory");
    return r0;
}

enum { SYS_READ = 3, SYS_WRITE = 4, SYS_OPEN = 5, SYS_CLOSE = 6 };

static void print(const char *text) {
    size_t length = 0;
    while (text[length] != '\0')
        ++length;
    system_call(SYS_WRITE, 1, (long)text, (long)length);
}

/* In decimal, without a division: the Cortex-A8 that runs the code has no
 * divide instruction in Thumb state, and the Cortex-M3 code would use one. */
static void print_number(long value) {
    static const long powers[] = {1000000000, 100000000, 10000000, 1000000, 100000, 10000, 1000, 100, 10, 1};
    char text[13];
    size_t length = 0, i;
    if (value < 0) {
        print("-");
        value = -value;
    }
    for (i = 0; i < sizeof powers / sizeof powers[0]; ++i) {
        char digit = '0';
        while (value >= powers[i]) {
            value -= powers[i];
            ++digit;
        }
        if (digit != '0' || length > 0 || powers[i] == 1)
            text[length++] = digit;
    }
    text[length] = '\0';
    print(text);
}

static int same(const char *a, const char *b) {
    while (*a != '\0' && *a == *b) {
        ++a;
        ++b;
    }
    return *a == *b;
}

/* A decimal number, or -1. */
static long parse_number(const char *text) {
    long value = 0;
    if (*text == '\0')
        return -1;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9' || value > (INPUT_MAX + 0L) * 16)
            return -1;
        value = value * 10 + (*text - '0');
    }
    return value;
}

/* The file's size, or -1 where it cannot be read or is larger than the input
 * buffer. */
static long read_file(const char *path) {
    const long file = system_call(SYS_OPEN, (long)path, 0, 0);
    long size = 0;
    if (file < 0)
        return -1;
    for (;;) {
        const long got = system_call(SYS_READ, file, (long)(input + size), INPUT_MAX - size);
        if (got < 0 || (got == 0 && size == INPUT_MAX)) {
            size = -1;
            break;
        }
        if (got == 0)
            break;
        size += got;
        if (size == INPUT_MAX) {
            unsigned char byte;
            if (system_call(SYS_READ, file, (long)&byte, 1) != 0)
                size = -1;
            break;
        }
    }
    system_call(SYS_CLOSE, file, 0, 0);
    return size;
}

/* The loader functions measured, one a row: each loads the data of one file,
 * as a firmware would call the function. A new function is a new row here,
 * with its input in cortex-m3.sh. */
static int load_deflate(const struct fpgabits_port *port, enum fpgabits_interface interface, size_t size) {
    return fpgabits_load_deflate(port, interface, input, size, work, sizeof work);
}

static int load(const struct fpgabits_port *port, enum fpgabits_interface interface, size_t size) {
    return fpgabits_load(port, interface, input, size);
}

/* An image file, 512 bytes at a time as from an SD card: loaded, or with
 * port NULL checked. */
static int read_image(const struct fpgabits_port *port, enum fpgabits_interface interface, size_t size) {
    struct fpgabits_image image;
    size_t at;
    int error = fpgabits_image_begin(&image, port, interface, 0, 0, work, sizeof work);
    for (at = 0; error == FPGABITS_OK && at < size; at += 512)
        error = fpgabits_image_write(&image, input + at, size - at < 512 ? size - at : 512);
    return fpgabits_image_end(&image, 0);
}

static int check_image(const struct fpgabits_port *port, enum fpgabits_interface interface, size_t size) {
    (void)port;
    return read_image(0, interface, size);
}

static const struct row {
    const char *name;
    int (*run)(const struct fpgabits_port *port, enum fpgabits_interface interface, size_t size);
    int sends; /* the device receives the configuration */
} rows[] = {
    {"fpgabits_load_deflate", load_deflate, 1}, /* raw DEFLATE, window 1024 */
    {"fpgabits_load", load, 1},                 /* the configuration data as it is */
    {"fpgabits_image", read_image, 1},          /* a gzip file of the bitstream file, window 1024 */
    {"fpgabits_image_check", check_image, 0},   /* the check pass of the bitstream file */
    {"fpgabits_image_bit", read_image, 1},      /* the bitstream file */
};

/* The interfaces: serial and parallel x8 through the pins, JTAG through
 * tck() alone and with shift(). */
static const struct {
    const char *name;
    enum fpgabits_interface interface;
    int jtag;
} interfaces[] = {{"serial", FPGABITS_SERIAL, 0},
                  {"x8", FPGABITS_PARALLEL8, 0},
                  {"jtag", FPGABITS_JTAG, 1},
                  {"jtag-shift", FPGABITS_JTAG, 2}};

/* The counter counts the instructions executed between the calls of these
 * two, outside the harness's own code. */
__attribute__((noinline)) void bench_start(void) {
    __asm__ volatile("");
}

__attribute__((noinline)) void bench_stop(void) {
    __asm__ volatile("");
}

int harness_main(const long *stack) {
    const long argc = stack[0];
    const char *const *argv = (const char *const *)(stack + 1);
    const struct row *row = 0;
    struct counting_device device;
    struct fpgabits_port port;
    enum fpgabits_interface interface;
    long size, config_size;
    size_t i;
    int result;
    if (argc != 5) {
        print("usage: harness ROW INTERFACE FILE CONFIG_SIZE\n");
        return 2;
    }
    for (i = 0; i < sizeof rows / sizeof rows[0]; ++i)
        if (same(argv[1], rows[i].name))
            row = &rows[i];
    for (i = 0; i < sizeof interfaces / sizeof interfaces[0] && !same(argv[2], interfaces[i].name); ++i) {
    }
    size = read_file(argv[3]);
    config_size = parse_number(argv[4]);
    if (row == 0 || i == sizeof interfaces / sizeof interfaces[0] || size < 0 || config_size < 0) {
        print("harness: unknown row or interface, unreadable file, or bad size\n");
        return 2;
    }
    interface = interfaces[i].interface;
    counting_port(&port, &device, (size_t)config_size, interfaces[i].jtag);
    /* The silicon of the data's device. */
    fpgabits_idcode(input, (size_t)size, &device.idcode);
    bench_start();
    result = row->run(&port, interface, (size_t)size);
    bench_stop();
    print(row->name);
    print(": result ");
    print_number(result);
    print(", sent ");
    print_number((long)device.sent);
    print(" bytes\n");
    return result == FPGABITS_OK && (!row->sends || device.sent >= (size_t)config_size) ? 0 : 1;
}
