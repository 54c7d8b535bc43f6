/* Drives the stand-in's JTAG lines as its header says a program does, for
 * load/test.sh: resets the TAP, reads the IDCODEs of the chain (0 for a
 * device in BYPASS, from the one nearest TDO), measures the instruction
 * registers' length added up, and prints both on one line. Over GPIO, or
 * over spidev0.0 (FPGABITS_STANDIN_SPI=jtag) with TMS on its GPIO line, 1-bit
 * words for single cycles and 8-bit words for the scans.
 *   jtag_probe gpio|spi [TCK,TMS,TDI,TDO]   lines of gpiochip0: 11,25,10,9 */
#include <fcntl.h>
#include <linux/gpio.h>
#include <linux/spi/spidev.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

enum { TCK, TMS, TDI, TDO, PINS, DEVICES = 9, IDCODE_BITS = DEVICES * 32, IR_FILL = 160, IR_BITS = 300 };

static int lines = -1, spi = -1;
static int index_of[PINS]; /* of each pin among the lines requested, or -1 */

static void check(int ok, const char *what) {
    if (!ok) {
        perror(what);
        exit(1);
    }
}

/* The bit of a pin in the kernel's masks of the lines requested. */
static void set(int pin, int level, __u64 *mask, __u64 *bits) {
    *mask |= (__u64)1 << index_of[pin];
    *bits |= (__u64)(level != 0) << index_of[pin];
}

/* One TCK cycle: TMS and TDI set with TCK low, TDO read, TCK high. */
static int cycle(int tms, int tdi) {
    struct gpio_v2_line_values values;
    memset(&values, 0, sizeof values);
    if (spi >= 0) {
        unsigned char tx = (unsigned char)tdi, rx = 0;
        struct spi_ioc_transfer transfer;
        set(TMS, tms, &values.mask, &values.bits);
        check(ioctl(lines, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0, "TMS");
        memset(&transfer, 0, sizeof transfer);
        transfer.tx_buf = (uintptr_t)&tx;
        transfer.rx_buf = (uintptr_t)&rx;
        transfer.len = 1;
        transfer.bits_per_word = 1;
        check(ioctl(spi, SPI_IOC_MESSAGE(1), &transfer) == 1, "a TCK cycle over SPI");
        return rx & 1;
    }
    set(TCK, 0, &values.mask, &values.bits);
    set(TMS, tms, &values.mask, &values.bits);
    set(TDI, tdi, &values.mask, &values.bits);
    check(ioctl(lines, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0, "TMS and TDI");
    memset(&values, 0, sizeof values);
    set(TDO, 0, &values.mask, &values.bits);
    check(ioctl(lines, GPIO_V2_LINE_GET_VALUES_IOCTL, &values) == 0, "TDO");
    {
        const int tdo = (int)(values.bits >> index_of[TDO] & 1);
        memset(&values, 0, sizeof values);
        set(TCK, 1, &values.mask, &values.bits);
        check(ioctl(lines, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0, "TCK");
        return tdo;
    }
}

/* Whole bytes of bits with TMS low over SPI, most significant bit first; TDO
 * into out where it is not NULL. */
static void spi_bytes(const char *in, char *out, size_t count) {
    unsigned char tx[64], rx[64];
    struct spi_ioc_transfer transfer;
    size_t i;
    memset(tx, 0, sizeof tx);
    memset(rx, 0, sizeof rx);
    for (i = 0; i < count * 8; ++i)
        tx[i / 8] |= (unsigned char)((in[i] == '1') << (7 - i % 8));
    memset(&transfer, 0, sizeof transfer);
    transfer.tx_buf = (uintptr_t)tx;
    transfer.rx_buf = out != NULL ? (uintptr_t)rx : 0;
    transfer.len = (uint32_t)count;
    transfer.bits_per_word = 8;
    check(ioctl(spi, SPI_IOC_MESSAGE(1), &transfer) == (int)count, "a scan over SPI");
    for (i = 0; out != NULL && i < count * 8; ++i)
        out[i] = (char)('0' + (rx[i / 8] >> (7 - i % 8) & 1));
}

/* From Run-Test/Idle, a scan of the IR or the DR: in, '0' and '1' in the
 * order shifted, and what TDO gave into out from bit skip on; back to
 * Run-Test/Idle. Over SPI, whole bytes go as words of 8 bits, those before
 * skip (a multiple of 8) without reading TDO. */
static void scan(int ir, const char *in, char *out, size_t skip) {
    const size_t count = strlen(in);
    size_t i = 0;
    cycle(1, 0);
    if (ir)
        cycle(1, 0);
    cycle(0, 0);
    cycle(0, 0);
    if (spi >= 0) {
        struct gpio_v2_line_values values;
        memset(&values, 0, sizeof values);
        set(TMS, 0, &values.mask, &values.bits);
        check(ioctl(lines, GPIO_V2_LINE_SET_VALUES_IOCTL, &values) == 0, "TMS");
        /* The last bit leaves Shift with TMS high. */
        while (i + 8 < count) {
            size_t bytes = (count - 1 - i) / 8;
            if (i < skip && bytes > (skip - i) / 8)
                bytes = (skip - i) / 8;
            if (bytes > 64)
                bytes = 64;
            spi_bytes(in + i, i < skip ? NULL : out + i, bytes);
            i += bytes * 8;
        }
    }
    for (; i < count; ++i)
        out[i] = (char)('0' + cycle(i + 1 == count, in[i] == '1'));
    cycle(1, 0);
    cycle(0, 0);
}

static void request(const char *wiring) {
    unsigned offsets[PINS] = {11, 25, 10, 9};
    struct gpio_v2_line_request r;
    int chip, pin;
    if (wiring != NULL)
        check(sscanf(wiring, "%u,%u,%u,%u", &offsets[TCK], &offsets[TMS], &offsets[TDI], &offsets[TDO]) == 4, "lines");
    chip = open("/dev/gpiochip0", O_RDWR | O_CLOEXEC);
    check(chip >= 0, "/dev/gpiochip0");
    memset(&r, 0, sizeof r);
    strcpy(r.consumer, "jtag-probe");
    r.config.flags = GPIO_V2_LINE_FLAG_OUTPUT;
    r.config.num_attrs = 2;
    r.config.attrs[0].attr.id = GPIO_V2_LINE_ATTR_ID_FLAGS;
    r.config.attrs[0].attr.flags = GPIO_V2_LINE_FLAG_INPUT;
    r.config.attrs[1].attr.id = GPIO_V2_LINE_ATTR_ID_OUTPUT_VALUES;
    for (pin = 0; pin < PINS; ++pin) {
        /* Over SPI, TCK and TDI are its SCLK and MOSI. */
        index_of[pin] = -1;
        if (spi >= 0 && (pin == TCK || pin == TDI))
            continue;
        index_of[pin] = (int)r.num_lines;
        r.offsets[r.num_lines++] = offsets[pin];
    }
    /* TCK low, TMS and TDI high. */
    r.config.attrs[0].mask = (__u64)1 << index_of[TDO];
    r.config.attrs[1].mask = ((__u64)1 << r.num_lines) - 1;
    set(TMS, 1, &r.config.attrs[1].mask, &r.config.attrs[1].attr.values);
    if (spi < 0)
        set(TDI, 1, &r.config.attrs[1].mask, &r.config.attrs[1].attr.values);
    check(ioctl(chip, GPIO_V2_GET_LINE_IOCTL, &r) == 0, "the JTAG lines");
    lines = r.fd;
    close(chip);
}

int main(int argc, char **argv) {
    char in[IR_BITS + 1], out[IR_BITS + 1];
    size_t at = 0;
    int device, i;
    if (argc < 2 || (strcmp(argv[1], "gpio") != 0 && strcmp(argv[1], "spi") != 0)) {
        fprintf(stderr, "usage: jtag_probe gpio|spi [TCK,TMS,TDI,TDO]\n");
        return 2;
    }
    if (strcmp(argv[1], "spi") == 0) {
        const uint32_t mode = SPI_MODE_0, speed = 1000000;
        spi = open("/dev/spidev0.0", O_RDWR | O_CLOEXEC);
        check(spi >= 0, "/dev/spidev0.0");
        check(ioctl(spi, SPI_IOC_WR_MODE32, &mode) == 0 && ioctl(spi, SPI_IOC_WR_MAX_SPEED_HZ, &speed) == 0,
              "SPI mode 0");
    }
    request(argc > 2 ? argv[2] : NULL);
    for (i = 0; i < 5; ++i)
        cycle(1, 1);
    cycle(0, 1);

    /* Test-Logic-Reset put IDCODE or BYPASS in each device; ones follow. */
    memset(in, '1', IDCODE_BITS);
    in[IDCODE_BITS] = '\0';
    scan(0, in, out, 0);
    printf("idcodes");
    for (device = 0; device < DEVICES && at + 32 <= IDCODE_BITS; ++device) {
        uint32_t idcode = 0;
        if (out[at] == '0') {
            printf(" 00000000");
            ++at;
            continue;
        }
        for (i = 31; i >= 0; --i)
            idcode = idcode << 1 | (uint32_t)(out[at + (size_t)i] == '1');
        if (idcode == 0xffffffffu)
            break;
        printf(" %08lx", (unsigned long)idcode);
        at += 32;
    }

    /* Ones fill the instruction registers (BYPASS after), then a zero comes
     * out as many bits after it went in as they hold. */
    memset(in, '1', IR_BITS);
    in[IR_FILL] = '0';
    in[IR_BITS] = '\0';
    scan(1, in, out, IR_FILL);
    out[IR_BITS] = '\0';
    if (strchr(out + IR_FILL, '0') == NULL)
        printf("; ir_bits none\n");
    else
        printf("; ir_bits %d\n", (int)(strchr(out + IR_FILL, '0') - out - IR_FILL));
    for (i = 0; i < 5; ++i)
        cycle(1, 1);
    close(lines);
    if (spi >= 0)
        close(spi);
    return 0;
}
