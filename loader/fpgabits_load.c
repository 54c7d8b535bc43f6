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
    READY_WAIT_US = 10000,
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
        if (waited >= minimum && (port->init_b(port->context) != 0) == level)
            return FPGABITS_OK;
        if (waited > INIT_TIMEOUT_US)
            return FPGABITS_ERR_INIT;
    }
}

/* Waits for microseconds, reading INIT_B as every wait does. */
static int wait_for(const struct fpgabits_port *port, uint32_t microseconds) {
    struct wait wait;
    uint32_t waited = 0;
    wait_start(&wait, port);
    while (waited < microseconds) {
        const int error = wait_time(&wait, &waited);
        if (error != FPGABITS_OK)
            return error;
        (void)port->init_b(port->context);
    }
    return FPGABITS_OK;
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
        error = wait_for(port, READY_WAIT_US);
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
static int send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t count) {
    const struct fpgabits_port *port = loader->port;
    port->send(port->context, bytes, count);
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
        uint32_t word = (uint32_t)from[0] | (uint32_t)from[1] << 8 | (uint32_t)from[2] << 16 | (uint32_t)from[3] << 24;
        __asm__("rbit %0, %1" : "=r"(word) : "r"(word));
        word = __builtin_bswap32(word);
        to[0] = (unsigned char)word;
        to[1] = (unsigned char)(word >> 8);
        to[2] = (unsigned char)(word >> 16);
        to[3] = (unsigned char)(word >> 24);
    }
#endif
    for (; count > 0; --count) {
        unsigned byte = *from++;
        byte = (byte & 0xf0u) >> 4 | (byte & 0x0fu) << 4;
        byte = (byte & 0xccu) >> 2 | (byte & 0x33u) << 2;
        *to++ = (unsigned char)((byte & 0xaau) >> 1 | (byte & 0x55u) << 1);
    }
}

/* Sends bytes in pieces, for parallel x8 with their bits reversed where
 * they are not yet. */
static int write_pieces(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size, int reverse) {
    if (loader == NULL || loader->open != LOADER_OPEN || (bytes == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
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
        error = send(loader, piece, count);
        if (error != FPGABITS_OK)
            return fail(loader, error);
        bytes += count;
        size -= count;
    }
    return loader->status;
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
    return send(loader, buffer, count);
}

static int finish(struct fpgabits_loader *loader) {
    const struct fpgabits_port *port = loader->port;
    const size_t bytes_after_done = loader->interface == FPGABITS_PARALLEL8 ? CLOCKS_AFTER_DONE : CLOCKS_AFTER_DONE / 8;
    struct wait wait;
    int error;
    if (loader->partial) {
        error = send_ones(loader, bytes_after_done);
        if (error == FPGABITS_OK && !port->done(port->context))
            error = FPGABITS_ERR_NO_DONE;
        return error;
    }
    wait_start(&wait, port);
    for (;;) {
        uint32_t waited;
        if (port->done(port->context))
            return send_ones(loader, bytes_after_done);
        error = wait_time(&wait, &waited);
        if (error == FPGABITS_OK && waited > DONE_TIMEOUT_US)
            error = port->init_b(port->context) ? FPGABITS_ERR_NO_DONE : FPGABITS_ERR_CRC;
        /* 64 clocks in serial mode, 8 in parallel x8. */
        if (error == FPGABITS_OK)
            error = send_ones(loader, 8);
        if (error != FPGABITS_OK)
            return error;
    }
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

/* The stream: padding, a sync word, then packets. Its words have 32 bits,
 * or 16 in two older families, which also have a 16-bit sync word (AA99) or
 * the 32-bit one followed by 16-bit packets. A packet header holds a type
 * (1: register and word count, 2: a long count for the register of the type
 * 1 before it, as two more words in 16-bit streams), an opcode (2: write)
 * and the count of data words that follow. The IDCODE, 32 bits, is written
 * before the frame data (FDRI). */
static uint32_t word_at(const unsigned char *bytes, size_t at, unsigned size) {
    uint32_t word = 0;
    unsigned i;
    for (i = 0; i < size; ++i)
        word = word << 8 | bytes[at + i];
    return word;
}

/* Walks the packets from at, with words of word_size bytes, to the IDCODE
 * or the first frame data. */
static int find_in_packets(const unsigned char *bytes, size_t size, size_t at, unsigned word_size, uint32_t *idcode) {
    const unsigned bits = word_size * 8;
    const unsigned frame_data = word_size == 4 ? 2 : 3;
    /* 32-bit streams with a 16-bit CRC write the frame length first (FLR)
     * and the IDCODE to register 0E, as 16-bit streams do; the others
     * write it to register 0C. */
    unsigned idcode_register = word_size == 4 ? 0x0c : 0x0e;
    unsigned reg = 0;
    while (word_size <= size - at) {
        const uint32_t word = word_at(bytes, at, word_size);
        uint32_t count;
        at += word_size;
        if (word >> (bits - 3) == 1) {
            reg = word_size == 4 ? word >> 13 & 0x1f : word >> 5 & 0x3f;
            count = word & (word_size == 4 ? 0x7ffu : 0x1fu);
        } else if (word >> (bits - 3) == 2 && word_size == 4) {
            count = word & 0x07ffffff;
        } else if (word >> (bits - 3) == 2) {
            if (4 > size - at)
                break;
            reg = word >> 5 & 0x3f;
            count = word_at(bytes, at, 4);
            at += 4;
        } else {
            continue;
        }
        if ((word >> (bits - 5) & 3) != 2)
            continue;
        if (word == 0x30016001u)
            idcode_register = 0x0e;
        if (reg == idcode_register && count == 4 / word_size) {
            if (4 > size - at)
                break;
            *idcode = word_at(bytes, at, 4);
            return FPGABITS_OK;
        }
        if (reg == frame_data && count > 0)
            return FPGABITS_ERR_NO_IDCODE;
        if (count > (size - at) / word_size)
            break;
        at += (size_t)count * word_size;
    }
    return FPGABITS_IDCODE_SYNCED;
}

int fpgabits_find_idcode(const unsigned char *bytes, size_t size, uint32_t *idcode) {
    size_t at;
    *idcode = 0;
    for (at = 0; at + 2 <= size; ++at) {
        unsigned word_size = 2;
        size_t next = at + 2;
        uint32_t type;
        if (at + 4 <= size && word_at(bytes, at, 4) == 0x5599aa66u)
            return FPGABITS_IDCODE_REVERSED;
        if (bytes[at] != 0xaa || bytes[at + 1] != 0x99)
            continue;
        if (at + 4 > size)
            break;
        if (bytes[at + 2] == 0x55 && bytes[at + 3] == 0x66) {
            uint32_t word;
            /* 16-bit NOPs (2000) may follow the full sync word too. */
            for (next = at + 4;
                 next + 4 <= size && word_at(bytes, next, 2) == 0x2000 && word_at(bytes, next + 2, 2) == 0x2000;
                 next += 2) {
            }
            if (next + 4 > size)
                break;
            /* A 32-bit header: a NOP, type 1 with its unused register bits
             * and reserved bits clear, or type 2. 16-bit packets do not read
             * so. */
            word = word_at(bytes, next, 4);
            if (word == 0x20000000u || (word >> 29 == 1 && (word & 0x07fc1800u) == 0) || word >> 29 == 2)
                word_size = 4;
        }
        /* A sync word followed by no packet header is a stray one, in the
         * padding or in data: the stream starts at a later one. */
        type = word_at(bytes, next, word_size) >> (word_size * 8 - 3);
        if (type == 1 || type == 2)
            return find_in_packets(bytes, size, next, word_size, idcode);
    }
    return FPGABITS_IDCODE_UNSYNCED;
}

int fpgabits_idcode(const void *data, size_t size, uint32_t *idcode) {
    if (idcode == NULL || (data == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
    *idcode = 0;
    return size > 0 && fpgabits_find_idcode((const unsigned char *)data, size, idcode) == FPGABITS_OK
               ? FPGABITS_OK
               : FPGABITS_ERR_NO_IDCODE;
}

const char *fpgabits_strerror(int error) {
    switch (error) {
    case FPGABITS_OK: return "no error";
    case FPGABITS_ERR_ARGUMENT: return "bad argument or call order";
    case FPGABITS_ERR_INIT: return "INIT_B did not go low with PROG_B, or stayed low";
    case FPGABITS_ERR_DONE_HIGH: return "DONE high after reset";
    case FPGABITS_ERR_CRC: return "CRC error: corrupt data, or for another device";
    case FPGABITS_ERR_NO_DONE: return "DONE stayed low: no sync word, or data incomplete";
    case FPGABITS_ERR_NO_IDCODE: return "no IDCODE in the data";
    case FPGABITS_ERR_STREAM: return "corrupt compressed data, or an image cut short";
    case FPGABITS_ERR_CLOCK: return "the microsecond counter does not advance";
    case FPGABITS_ERR_FORMAT: return "not a bitstream, gzip or configuration data file, or its bits are reversed";
    case FPGABITS_ERR_DEVICE: return "the image is for another device";
    default: return "unknown error";
    }
}
