/* fpgabits_load: loads configuration data into an FPGA through one of its
 * interfaces, each a row of fpgabits_link: the slave serial and parallel x8
 * ones through the pins here, JTAG in fpgabits_jtag.c. See fpgabits_load.h. */
#include "fpgabits_internal.h"

/* Bytes sent between two looks at INIT_B in serial mode. */
#define SERIAL_PIECE 512

/* Reads of micros() that return the same value before a wait gives up on
 * the counter: far more than a fast CPU reads from a 1 MHz counter in one
 * microsecond, far fewer than would hang a board whose timer never started. */
#define CLOCK_STUCK_READS 0x100000u /* 2^20 */

#define LOADER_OPEN 0x4c4f4144u /* "LOAD" */

void fpgabits_wait_start(struct fpgabits_wait *wait, const struct fpgabits_port *port) {
    wait->port = port;
    wait->start = wait->last = port->micros(port->context);
    wait->reads = 1;
}

int fpgabits_wait_time(struct fpgabits_wait *wait, uint32_t *waited) {
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

/* The slave serial and parallel x8 interfaces: PROG_B, INIT_B and DONE, the
 * data through send(). */
static int pins_ok(const struct fpgabits_port *port) {
    return port->prog_b != NULL && port->init_b != NULL && port->done != NULL && port->send != NULL &&
           port->micros != NULL;
}

/* INIT_B, 0 or 1, or a negative error of the port's own. */
static int read_init_b(const struct fpgabits_port *port) {
    const int level = port->init_b(port->context);
    return level < 0 ? level : level != 0;
}

/* Waits until INIT_B reads level, for at least minimum microseconds. */
static int wait_init_b(const struct fpgabits_port *port, int level, uint32_t minimum) {
    struct fpgabits_wait wait;
    fpgabits_wait_start(&wait, port);
    for (;;) {
        uint32_t waited;
        int error = fpgabits_wait_time(&wait, &waited);
        if (error != FPGABITS_OK)
            return error;
        /* INIT_B is read on every pass: a port may kick its watchdog there. */
        error = read_init_b(port);
        if (error < 0)
            return error;
        if (error == level && waited >= minimum)
            return FPGABITS_OK;
        if (waited > FPGABITS_INIT_TIMEOUT_US)
            return FPGABITS_ERR_INIT;
    }
}

/* Drives PROG_B low until INIT_B follows (at least 10 us), and releases it. */
static int pulse_prog_b(const struct fpgabits_port *port) {
    int error;
    port->prog_b(port->context, 0);
    error = wait_init_b(port, 0, FPGABITS_PROG_B_LOW_US);
    port->prog_b(port->context, 1);
    return error;
}

/* The pins can read no IDCODE: idcode goes unused. */
static int pins_begin(struct fpgabits_loader *loader, uint32_t idcode) {
    const struct fpgabits_port *port = loader->port;
    int error;
    (void)idcode;
    /* A partial configuration goes only into a device that runs. */
    if (loader->partial) {
        error = read_init_b(port);
        return error < 0                    ? error
               : !error                     ? FPGABITS_ERR_INIT
               : !port->done(port->context) ? FPGABITS_ERR_NO_DONE
                                            : FPGABITS_OK;
    }
    error = pulse_prog_b(port);
    if (error == FPGABITS_OK)
        error = wait_init_b(port, 1, 0);
    if (error == FPGABITS_OK && port->done(port->context))
        error = FPGABITS_ERR_DONE_HIGH;
    if (error == FPGABITS_OK)
        error = wait_init_b(port, 1, FPGABITS_READY_WAIT_US);
    return error;
}

/* Sends one piece and looks at INIT_B. Low means a CRC or IDCODE error while
 * the device is unconfigured (DONE low) or takes a partial configuration;
 * after a full one, DONE is high and INIT_B may mean other things. A port
 * whose transfer failed says so there. */
static int pins_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t count, int borrowed) {
    const struct fpgabits_port *port = loader->port;
    int init_b;
    port->send(port->context, bytes, count);
    loader->borrowed = borrowed;
    loader->sent = 1;
    init_b = read_init_b(port);
    if (init_b < 0)
        return init_b;
    if (!init_b && (loader->partial || !port->done(port->context)))
        return FPGABITS_ERR_CRC;
    return FPGABITS_OK;
}

/* Clocks 0xff until DONE rises (for up to 200 ms), then 64 more clocks for
 * the device's start-up, after which DONE must still be high. */
static int pins_finish(struct fpgabits_loader *loader) {
    const struct fpgabits_port *port = loader->port;
    const unsigned clocks = fpgabits_link_of(loader->interface)->clocks;
    const size_t after_done = clocks == 8 ? FPGABITS_CLOCKS_AFTER_DONE / 8 : FPGABITS_CLOCKS_AFTER_DONE;
    struct fpgabits_wait wait;
    int error = FPGABITS_OK;
    fpgabits_wait_start(&wait, port);
    while (!loader->partial && error == FPGABITS_OK && !port->done(port->context)) {
        uint32_t waited;
        error = fpgabits_wait_time(&wait, &waited);
        if (error == FPGABITS_OK && waited > FPGABITS_DONE_TIMEOUT_US) {
            error = read_init_b(port);
            error = error < 0 ? error : error ? FPGABITS_ERR_NO_DONE : FPGABITS_ERR_CRC;
        }
        /* 64 clocks in serial mode, 8 in parallel x8. */
        if (error == FPGABITS_OK)
            error = fpgabits_load_ones(loader, 8);
    }
    /* The clocks after DONE, and DONE still high after them: a port that
     * finishes its transfers in done() has finished them all. */
    if (error == FPGABITS_OK)
        error = fpgabits_load_ones(loader, after_done);
    if (error == FPGABITS_OK && !port->done(port->context))
        error = FPGABITS_ERR_NO_DONE;
    return error;
}

/* A port that sends by DMA waits for its transfer in done(). */
static void pins_settle(struct fpgabits_loader *loader) {
    loader->port->done(loader->port->context);
}

static void pins_reset(struct fpgabits_loader *loader) {
    pins_settle(loader);
    pulse_prog_b(loader->port);
}

static const struct fpgabits_link serial = {pins_ok,      pins_begin, pins_send, pins_finish, pins_settle, pins_reset,
                                            SERIAL_PIECE, 8,          0};
static const struct fpgabits_link parallel8 = {pins_ok, pins_begin, pins_send, pins_finish, pins_settle, pins_reset,
                                               128,     1,          1};

const struct fpgabits_link *fpgabits_link_of(int interface) {
    switch (interface) {
    case FPGABITS_SERIAL: return &serial;
    case FPGABITS_PARALLEL8: return &parallel8;
#if FPGABITS_WITH_JTAG
    case FPGABITS_JTAG: return &fpgabits_jtag_link;
#endif
    default: return NULL;
    }
}

int fpgabits_load_start(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                        enum fpgabits_interface interface, int partial, uint32_t idcode) {
    const struct fpgabits_link *const link = fpgabits_link_of(interface);
    int error;
    if (loader == NULL)
        return FPGABITS_ERR_ARGUMENT;
    loader->open = 0;
    if (port == NULL || link == NULL || !link->port_ok(port))
        return FPGABITS_ERR_ARGUMENT;
    loader->port = port;
    loader->status = FPGABITS_OK;
    loader->interface = (int)interface;
    loader->partial = partial;
    loader->turn = 0;
    loader->borrowed = 0;
    error = link->begin(loader, idcode);
    if (error == FPGABITS_OK)
        loader->open = LOADER_OPEN;
    return error;
}

int fpgabits_load_begin(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                        enum fpgabits_interface interface) {
    return fpgabits_load_start(loader, port, interface, 0, 0);
}

int fpgabits_load_begin_partial(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                                enum fpgabits_interface interface) {
    return fpgabits_load_start(loader, port, interface, 1, 0);
}

/* Ends the load with an error, which later calls return too. */
static int fail(struct fpgabits_loader *loader, int error) {
    loader->status = error;
    return error;
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

void fpgabits_load_settle(struct fpgabits_loader *loader) {
    if (loader->borrowed) {
        loader->borrowed = 0;
        fpgabits_link_of(loader->interface)->settle(loader);
    }
}

/* Sends bytes in pieces, with their bits reversed where the interface wants
 * them so and they are not yet (reverse). */
static int write_pieces(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size, int reverse) {
    const struct fpgabits_link *link;
    if (loader == NULL || loader->open != LOADER_OPEN || (bytes == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
    link = fpgabits_link_of(loader->interface);
    loader->sent = 0;
    while (loader->status == FPGABITS_OK && size > 0) {
        const unsigned char *piece = bytes;
        const size_t count = size < link->piece ? size : link->piece;
        int error;
        if (reverse && link->reversed) {
            unsigned char *const buffer = next_buffer(loader);
            reverse_bits(buffer, bytes, count);
            piece = buffer;
        }
        /* The caller's bytes, where sent as they are. */
        error = link->send(loader, piece, count, reverse && piece == bytes);
        if (error != FPGABITS_OK)
            return fail(loader, error);
        bytes += count;
        size -= count;
    }
    if (!loader->sent)
        fpgabits_load_settle(loader);
    return loader->status;
}

void fpgabits_load_abort(struct fpgabits_loader *loader, int error) {
    if (loader->open != LOADER_OPEN || loader->status != FPGABITS_OK)
        return;
    if (!loader->partial)
        fpgabits_link_of(loader->interface)->reset(loader);
    fail(loader, error);
    loader->open = 0;
}

int fpgabits_load_write(struct fpgabits_loader *loader, const void *data, size_t size) {
    return write_pieces(loader, (const unsigned char *)data, size, 1);
}

int fpgabits_load_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size) {
    return write_pieces(loader, bytes, size, 0);
}

int fpgabits_load_ones(struct fpgabits_loader *loader, size_t count) {
    unsigned char *const buffer = next_buffer(loader);
    size_t i;
    for (i = 0; i < count; ++i)
        buffer[i] = 0xff;
    return fpgabits_link_of(loader->interface)->send(loader, buffer, count, 0);
}

int fpgabits_load_end(struct fpgabits_loader *loader) {
    int error;
    if (loader == NULL || loader->open != LOADER_OPEN)
        return FPGABITS_ERR_ARGUMENT;
    error = loader->status == FPGABITS_OK ? fpgabits_link_of(loader->interface)->finish(loader) : loader->status;
    loader->open = 0;
    return error;
}

int fpgabits_load(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data, size_t size) {
    struct fpgabits_loader loader;
    uint32_t idcode = 0;
    int error;
    /* Over JTAG, the data's IDCODE is compared with the silicon's. */
    if (interface == FPGABITS_JTAG && data != NULL)
        fpgabits_idcode(data, size, &idcode);
    error = fpgabits_load_start(&loader, port, interface, 0, idcode);
    if (error == FPGABITS_OK)
        error = fpgabits_load_write(&loader, data, size);
    if (error == FPGABITS_OK)
        return fpgabits_load_end(&loader);
    return error;
}

int fpgabits_status(const struct fpgabits_port *port, enum fpgabits_interface interface,
                    struct fpgabits_status *status) {
    const struct fpgabits_status none = {0, 0, 0, 0, 0, 0, 0, 0, 0, -1};
    int init;
    if (port == NULL || status == NULL || fpgabits_link_of(interface) == NULL)
        return FPGABITS_ERR_ARGUMENT;
    *status = none;
    if (interface == FPGABITS_JTAG)
        return fpgabits_jtag_status(port, status);
    if (port->init_b == NULL || port->done == NULL)
        return FPGABITS_ERR_ARGUMENT;
    init = read_init_b(port);
    if (init < 0)
        return init;
    status->done = port->done(port->context) != 0;
    status->init = init;
    status->read = FPGABITS_READ_DONE | FPGABITS_READ_INIT;
    return FPGABITS_OK;
}

int fpgabits_runs(const struct fpgabits_port *port, enum fpgabits_interface interface,
                  const struct fpgabits_image_info *image) {
    struct fpgabits_status status;
    int error;
    if (image == NULL)
        return FPGABITS_ERR_ARGUMENT;
    error = fpgabits_status(port, interface, &status);
    if (error != FPGABITS_OK)
        return error;
    if (!status.done)
        return 0;
    if (image->usr_access == 0 && image->usercode == 0xffffffffu)
        return FPGABITS_ERR_UNDECIDED;
    if (!(status.read & FPGABITS_READ_IDCODE) ||
        (image->usr_access != 0 ? !(status.read & FPGABITS_READ_USR_ACCESS) : !(status.read & FPGABITS_READ_USERCODE)))
        return FPGABITS_ERR_UNDECIDED;
    return ((image->idcode ^ status.idcode) & 0x0fffffffu) == 0 &&
           (image->usr_access != 0 ? status.usr_access == image->usr_access : status.usercode == image->usercode);
}

const char *fpgabits_cause(const struct fpgabits_status *status) {
    if (status == NULL || !(status->read & FPGABITS_READ_STAT))
        return "the status register was not read";
    if (status->errors & FPGABITS_STATUS_CRC_ERROR)
        return "CRC error";
    if (status->errors & FPGABITS_STATUS_ID_ERROR)
        return "the data's IDCODE is not this device's";
    if (status->errors & FPGABITS_STATUS_DECRYPT_ERROR)
        return "decryption error";
    if (status->errors & FPGABITS_STATUS_AUTH_ERROR)
        return "authentication error";
    if (!status->done && status->startup_state > 0)
        return "startup did not finish: check the bitstream's startup clock";
    return status->done ? "no error: configured" : "no error shown";
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
    case FPGABITS_ERR_CHAIN: return "the JTAG chain does not answer as described";
    case FPGABITS_ERR_PORT: return "the port reported a failure";
    case FPGABITS_ERR_UNSUPPORTED: return "not loadable over JTAG: several dies, or the oldest family";
    case FPGABITS_ERR_UNDECIDED: return "cannot tell what the device runs";
    default: return "unknown error";
    }
}
