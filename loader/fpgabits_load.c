/* fpgabits_load: loads configuration data into an FPGA. See fpgabits_load.h. */
#include "fpgabits_internal.h"

/* Times in microseconds. Where drivers disagree, the longest wait is taken:
 * waiting longer costs a little time at boot, too short a wait fails on the
 * largest devices. */
enum {
    /* PROG_B low: 300 ns to 500 ns are asked for. */
    PROG_B_LOW_US = 10,
    /* Clearing the configuration memory: the drivers allow 10 ms to 1 s; a
     * large device takes tens of milliseconds. */
    INIT_TIMEOUT_US = 1000000,
    /* After INIT_B rises and before the first data: 0, 7.5 or 10 ms. */
    READY_WAIT_US = 10000, /* with INIT_B high */
    /* From the end of the data until DONE rises: 10 ms to 200 ms. */
    DONE_TIMEOUT_US = 200000,
    /* Clocks after DONE rises, for the rest of the start-up: 0, 8, 24 or 64;
     * the most recent guidance says 64. */
    CLOCKS_AFTER_DONE = 64,
    /* Bytes sent between two looks at INIT_B in serial mode. */
    SERIAL_PIECE = 512
};

/* Reads of micros() that return the same value before a wait gives up on
 * the counter: far more than a fast CPU reads from a 1 MHz counter in one
 * microsecond, far fewer than would hang a board whose timer never started. */
#define CLOCK_STUCK_READS 0x100000u /* 2^20 */

#define LOADER_OPEN 0x4c4f4144u /* "LOAD" */

int fpgabits_port_ok(const struct fpgabits_port *port) {
    return port != NULL && port->prog_b != NULL && port->init_b != NULL && port->done != NULL && port->send != NULL &&
           port->micros != NULL;
}

/* The time of a wait, from micros(), which may wrap, and which must not
 * stand still. */
struct wait {
    const struct fpgabits_port *port;
    uint32_t start, last, reads; /* reads of the value last */
};

static void wait_start(struct wait *wait, const struct fpgabits_port *port) {
    wait->port = port;
    wait->start = wait->last = port->micros(port->context);
    wait->reads = 1;
}

/* Microseconds since the wait started into *waited, or FPGABITS_ERR_CLOCK. */
static int wait_time(struct wait *wait, uint32_t *waited) {
    const uint32_t now = wait->port->micros(wait->port->context);
    if (now != wait->last) {
        wait->last = now;
        wait->reads = 0;
    }
    if (++wait->reads >= CLOCK_STUCK_READS)
        return FPGABITS_ERR_CLOCK;
    *waited = (uint32_t)(now - wait->start);
    return FPGABITS_OK;
}

/* Waits until INIT_B reads level, for at least minimum microseconds. */
static int wait_init_b(const struct fpgabits_port *port, int level, uint32_t minimum) {
    struct wait wait;
    wait_start(&wait, port);
    for (;;) {
        uint32_t waited;
        const int error = wait_time(&wait, &waited);
        if (error != FPGABITS_OK)
            return error;
        /* INIT_B is read on every pass: a port may kick its watchdog there. */
        if ((port->init_b(port->context) != 0) == level && waited >= minimum)
            return FPGABITS_OK;
        if (waited > INIT_TIMEOUT_US)
            return FPGABITS_ERR_INIT;
    }
}

/* Checks the arguments of a begin and sets the loader up, still closed. */
static int prepare(struct fpgabits_loader *loader, const struct fpgabits_port *port, enum fpgabits_interface interface,
                   int partial) {
    if (loader == NULL)
        return FPGABITS_ERR_ARGUMENT;
    loader->open = 0;
    if (!fpgabits_port_ok(port) || (interface != FPGABITS_SERIAL && interface != FPGABITS_PARALLEL8))
        return FPGABITS_ERR_ARGUMENT;
    loader->port = port;
    loader->status = FPGABITS_OK;
    loader->interface = (int)interface;
    loader->partial = partial;
    loader->turn = 0;
    loader->borrowed = 0;
    return FPGABITS_OK;
}

int fpgabits_load_begin(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                        enum fpgabits_interface interface) {
    int error = prepare(loader, port, interface, 0);
    if (error != FPGABITS_OK)
        return error;
    port->prog_b(port->context, 0);
    error = wait_init_b(port, 0, PROG_B_LOW_US);
    port->prog_b(port->context, 1);
    if (error == FPGABITS_OK)
        error = wait_init_b(port, 1, 0);
    if (error == FPGABITS_OK && port->done(port->context))
        error = FPGABITS_ERR_DONE_HIGH;
    if (error == FPGABITS_OK)
        error = wait_init_b(port, 1, READY_WAIT_US);
    if (error == FPGABITS_OK)
        loader->open = LOADER_OPEN;
    return error;
}

int fpgabits_load_begin_partial(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                                enum fpgabits_interface interface) {
    const int error = prepare(loader, port, interface, 1);
    if (error != FPGABITS_OK)
        return error;
    /* A partial configuration goes only into a device that runs. */
    if (!port->init_b(port->context))
        return FPGABITS_ERR_INIT;
    if (!port->done(port->context))
        return FPGABITS_ERR_NO_DONE;
    loader->open = LOADER_OPEN;
    return FPGABITS_OK;
}

/* Ends the load with an error, which later calls return too. */
static int fail(struct fpgabits_loader *loader, int error) {
    loader->status = error;
    return error;
}

/* Sends one buffer and looks at INIT_B. Low means a CRC or IDCODE error while
 * the device is unconfigured (DONE low) or takes a partial configuration;
 * after a full one, DONE is high and INIT_B may mean other things. */
static int send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t count, int borrowed) {
    const struct fpgabits_port *port = loader->port;
    port->send(port->context, bytes, count);
    loader->borrowed = borrowed;
    loader->sent = 1;
    if (!port->init_b(port->context) && (loader->partial || !port->done(port->context)))
        return FPGABITS_ERR_CRC;
    return FPGABITS_OK;
}

/* The loader's buffers, in turn, so that the one passed to send() before
 * stays as it is until this one is sent. */
static unsigned char *next_buffer(struct fpgabits_loader *loader) {
    loader->turn ^= 1;
    return loader->buffer[loader->turn];
}

/* Copies count bytes, with the bits of each in the other order. */
static void reverse_bits(unsigned char *to, const unsigned char *from, size_t count) {
#if defined(__GNUC__) && defined(__arm__) && (defined(__thumb2__) || (!defined(__thumb__) && __ARM_ARCH >= 7))
    /* RBIT reverses the bits of a word, REV then puts its bytes back in
     * their places. */
    for (; count >= 4; count -= 4, from += 4, to += 4) {
        uint32_t word;
        __builtin_memcpy(&word, from, 4);
        __asm__("rbit %0, %1" : "=r"(word) : "r"(word));
        word = __builtin_bswap32(word);
        __builtin_memcpy(to, &word, 4);
    }
#endif
    for (; count > 0; --count) {
        static const unsigned char reversed[16] = {0x0, 0x8, 0x4, 0xc, 0x2, 0xa, 0x6, 0xe,
                                                   0x1, 0x9, 0x5, 0xd, 0x3, 0xb, 0x7, 0xf};
        const unsigned byte = *from++;
        *to++ = (unsigned char)(reversed[byte & 15] << 4 | reversed[byte >> 4]);
    }
}

/* Sends bytes in pieces, for parallel x8 with their bits reversed where
 * they are not yet. */
static int write_pieces(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size, int reverse) {
    if (loader == NULL || loader->open != LOADER_OPEN || (bytes == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
    loader->sent = 0;
    while (loader->status == FPGABITS_OK && size > 0) {
        const unsigned char *piece = bytes;
        size_t count = size;
        int error;
        if (loader->interface == FPGABITS_PARALLEL8) {
            if (count > sizeof loader->buffer[0])
                count = sizeof loader->buffer[0];
            if (reverse) {
                unsigned char *const buffer = next_buffer(loader);
                reverse_bits(buffer, bytes, count);
                piece = buffer;
            }
        } else if (count > SERIAL_PIECE) {
            count = SERIAL_PIECE;
        }
        /* The caller's bytes, sent as they are. */
        error = send(loader, piece, count, reverse && piece == bytes);
        if (error != FPGABITS_OK)
            return fail(loader, error);
        bytes += count;
        size -= count;
    }
    if (!loader->sent)
        fpgabits_load_settle(loader);
    return loader->status;
}

void fpgabits_load_settle(struct fpgabits_loader *loader) {
    if (loader->borrowed) {
        loader->borrowed = 0;
        loader->port->done(loader->port->context);
    }
}

void fpgabits_load_abort(struct fpgabits_loader *loader, int error) {
    const struct fpgabits_port *port = loader->port;
    if (loader->open != LOADER_OPEN || loader->status != FPGABITS_OK)
        return;
    fail(loader, error);
    loader->open = 0;
    if (!loader->partial) {
        /* The transfers end first. */
        port->done(port->context);
        port->prog_b(port->context, 0);
        wait_init_b(port, 0, PROG_B_LOW_US);
        port->prog_b(port->context, 1);
    }
}

int fpgabits_load_write(struct fpgabits_loader *loader, const void *data, size_t size) {
    return write_pieces(loader, (const unsigned char *)data, size, 1);
}

int fpgabits_load_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size) {
    return write_pieces(loader, bytes, size, 0);
}

/* Sends count bytes of 0xff: DIN or D[7:0] high while CCLK runs. */
static int send_ones(struct fpgabits_loader *loader, size_t count) {
    unsigned char *const buffer = next_buffer(loader);
    size_t i;
    for (i = 0; i < count; ++i)
        buffer[i] = 0xff;
    return send(loader, buffer, count, 0);
}

static int finish(struct fpgabits_loader *loader) {
    const struct fpgabits_port *port = loader->port;
    const size_t bytes_after_done = loader->interface == FPGABITS_PARALLEL8 ? CLOCKS_AFTER_DONE : CLOCKS_AFTER_DONE / 8;
    struct wait wait;
    int error = FPGABITS_OK;
    wait_start(&wait, port);
    while (!loader->partial && error == FPGABITS_OK && !port->done(port->context)) {
        uint32_t waited;
        error = wait_time(&wait, &waited);
        if (error == FPGABITS_OK && waited > DONE_TIMEOUT_US)
            error = port->init_b(port->context) ? FPGABITS_ERR_NO_DONE : FPGABITS_ERR_CRC;
        /* 64 clocks in serial mode, 8 in parallel x8. */
        if (error == FPGABITS_OK)
            error = send_ones(loader, 8);
    }
    /* The clocks after DONE, and DONE still high after them: a port that
     * finishes its transfers in done() has finished them all. */
    if (error == FPGABITS_OK)
        error = send_ones(loader, bytes_after_done);
    if (error == FPGABITS_OK && !port->done(port->context))
        error = FPGABITS_ERR_NO_DONE;
    return error;
}

int fpgabits_load_end(struct fpgabits_loader *loader) {
    int error;
    if (loader == NULL || loader->open != LOADER_OPEN)
        return FPGABITS_ERR_ARGUMENT;
    error = loader->status == FPGABITS_OK ? finish(loader) : loader->status;
    loader->open = 0;
    return error;
}

int fpgabits_load(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data, size_t size) {
    struct fpgabits_loader loader;
    int error = fpgabits_load_begin(&loader, port, interface);
    if (error == FPGABITS_OK)
        error = fpgabits_load_write(&loader, data, size);
    if (error == FPGABITS_OK)
        return fpgabits_load_end(&loader);
    return error;
}

const char *fpgabits_strerror(int error) {
    switch (error) {
    case FPGABITS_OK: return "no error";
    case FPGABITS_ERR_ARGUMENT: return "bad argument or call order";
    case FPGABITS_ERR_INIT: return "INIT_B stuck high or low";
    case FPGABITS_ERR_DONE_HIGH: return "DONE high after reset";
    case FPGABITS_ERR_CRC: return "CRC error: corrupt, or another device";
    case FPGABITS_ERR_NO_DONE: return "DONE low: no sync word, or data cut short";
    case FPGABITS_ERR_NO_IDCODE: return "no IDCODE in data";
    case FPGABITS_ERR_STREAM: return "corrupt or cut short data";
    case FPGABITS_ERR_CLOCK: return "the microsecond counter does not advance";
    case FPGABITS_ERR_FORMAT: return "unknown image format, or bits reversed";
    case FPGABITS_ERR_DEVICE: return "image for another device";
    case FPGABITS_ERR_WINDOW: return "image needs a larger window: FPGABITS_IMAGE_WORK_SIZE(32768) for stock gzip";
    default: return "unknown error";
    }
}
