/* fpgabits_jtag: loads configuration data over JTAG, as a row of
 * fpgabits_link, and reads the silicon's IDCODE. See fpgabits_load.h.
 *
 * The chain runs from TDI through the devices of tdi_side, the FPGA and the
 * devices of tdo_side to TDO: the bits that come out first are those of the
 * device nearest TDO, and the bits shifted in first end up there. Every
 * register shifts its lowest bit first. The FPGA's instruction register has
 * 6 bits, or 10 or 14 with ones above the same 6-bit codes; its capture
 * shows, in its lowest bits, 01, then the INIT bit (the memory is clear) in
 * bit 4 and DONE in bit 5.
 *
 * A load: Test-Logic-Reset, which selects each device's IDCODE (or BYPASS);
 * those registers read out and checked against the description of the
 * chain; the instruction registers filled with ones (BYPASS, in every
 * device) and measured; the FPGA's capture checked; its IDCODE compared
 * with the data's; JPROGRAM, which clears the device, and its capture
 * polled until the memory is clear (a partial load leaves the device as it
 * is); CFG_IN, and the data in one scan through the data registers; JSTART
 * and clocks in Run-Test/Idle until DONE, and 64 more; Test-Logic-Reset. No
 * instruction but BYPASS reaches any device before the chain has passed its
 * checks, and the other devices only ever get BYPASS. */
#include "fpgabits_internal.h"

#if FPGABITS_WITH_JTAG

/* Instructions, as their 6-bit codes. */
enum { CFG_OUT = 0x04, CFG_IN = 0x05, USERCODE = 0x08, JPROGRAM = 0x0b, JSTART = 0x0c, BYPASS = 0x3f };

/* Bits of the FPGA's IR capture. */
enum { CAPTURE_INIT = 0x10, CAPTURE_DONE = 0x20 };

enum {
    /* The longest instruction register of an FPGA that the chain's
     * measurement allows for: several dies have 6 bits each. */
    LONGEST_IR = 64,
    /* Clocks in Run-Test/Idle after JSTART before DONE is looked at: as
     * many as the most demanding source asks. */
    STARTUP_CLOCKS = 2000
};

static int jtag_ok(const struct fpgabits_port *port) {
    return port->tck != NULL && port->micros != NULL;
}

/* One TCK cycle: TDO, or 0 after an error of the port's, which the load
 * keeps in loader->status and every later cycle skips. */
static int cycle(struct fpgabits_loader *loader, int tms, int tdi) {
    const struct fpgabits_port *port = loader->port;
    int tdo;
    if (loader->status != FPGABITS_OK)
        return 0;
    tdo = port->tck(port->context, tms, tdi);
    if (tdo < 0)
        loader->status = tdo;
    return tdo > 0;
}

/* Test-Logic-Reset from any state, whatever errors came before. */
static void test_logic_reset(const struct fpgabits_port *port) {
    int i;
    for (i = 0; i < 5; ++i)
        port->tck(port->context, 1, 1);
}

/* From Run-Test/Idle to Shift-DR, or to Shift-IR. */
static void to_shift(struct fpgabits_loader *loader, int instruction) {
    cycle(loader, 1, 1);
    if (instruction)
        cycle(loader, 1, 1);
    cycle(loader, 0, 1);
    cycle(loader, 0, 1);
}

/* From Exit1, where the last bit of a scan leaves Shift with TMS high,
 * through Update to Run-Test/Idle. */
static void to_idle(struct fpgabits_loader *loader) {
    cycle(loader, 1, 1);
    cycle(loader, 0, 1);
}

/* From Run-Test/Idle back to it: code into the FPGA's instruction register
 * and BYPASS into the others'. Returns the FPGA's capture. */
static uint32_t instruction(struct fpgabits_loader *loader, unsigned code) {
    const struct fpgabits_port *port = loader->port;
    const unsigned before = port->tdo_side.ir_bits, length = loader->ir_bits;
    const unsigned total = before + length + port->tdi_side.ir_bits;
    const uint32_t bits = code | ~0u << 6;
    uint32_t capture = 0;
    unsigned i;
    to_shift(loader, 1);
    for (i = 0; i < total; ++i) {
        const unsigned at = i - before;
        const int tdo = cycle(loader, i + 1 == total, at < length ? (int)(bits >> at & 1) : 1);
        if (at < length)
            capture |= (uint32_t)tdo << at;
    }
    to_idle(loader);
    return capture;
}

/* cycles TCK cycles in Run-Test/Idle, through shift() where the port has
 * it: the loader's buffer of ones stays as it is while they go out. */
static void idle(struct fpgabits_loader *loader, unsigned cycles) {
    const struct fpgabits_port *port = loader->port;
    unsigned char *const ones = loader->buffer[0];
    if (port->shift != NULL && loader->status == FPGABITS_OK) {
        unsigned i;
        for (i = 0; i < sizeof loader->buffer[0]; ++i)
            ones[i] = 0xff;
        while (cycles >= 8 && loader->status == FPGABITS_OK) {
            const unsigned count = cycles / 8 < sizeof loader->buffer[0] ? cycles / 8 : sizeof loader->buffer[0];
            const int error = port->shift(port->context, ones, count);
            if (error < 0)
                loader->status = error;
            cycles -= count * 8;
        }
    }
    for (; cycles > 0; --cycles)
        cycle(loader, 0, 1);
}

/* The register that Test-Logic-Reset selected in the next device of the
 * chain: its IDCODE, whose lowest bit is 1, or 0 for BYPASS, a single bit.
 * Ones go in behind it. */
static uint32_t device_register(struct fpgabits_loader *loader) {
    uint32_t value = 1;
    unsigned i;
    if (!cycle(loader, 0, 1))
        return 0;
    for (i = 1; i < 32; ++i)
        value |= (uint32_t)cycle(loader, 0, 1) << i;
    return value;
}

/* Checks that the chain answers as the port describes it, and leaves every
 * device in BYPASS: from Test-Logic-Reset to Run-Test/Idle, with the FPGA's
 * IDCODE in *idcode and its instruction register measured. */
static int check_chain(struct fpgabits_loader *loader, uint32_t *idcode) {
    const struct fpgabits_port *port = loader->port;
    const unsigned fpga = port->tdo_side.devices, devices = fpga + 1 + port->tdi_side.devices;
    const unsigned outside = port->tdi_side.ir_bits + port->tdo_side.ir_bits, longest = outside + LONGEST_IR;
    unsigned i, length;
    int error = FPGABITS_OK, ones = 1;
    test_logic_reset(port);
    cycle(loader, 0, 1);
    to_shift(loader, 0);
    *idcode = 0;
    for (i = 0; i < devices; ++i) {
        const uint32_t value = device_register(loader);
        /* Ones read as an IDCODE mean fewer devices than described, or TDO
         * stuck high. */
        if (value == 0xffffffffu || (i == fpga && value == 0))
            error = FPGABITS_ERR_CHAIN;
        if (i == fpga)
            *idcode = value;
    }
    /* Then the ones shifted in: a zero means more devices than described,
     * or TDO stuck low. */
    for (i = 0; i < 32; ++i)
        ones &= cycle(loader, i == 31, 1);
    to_idle(loader);
    if (error != FPGABITS_OK || !ones)
        return loader->status != FPGABITS_OK ? loader->status : FPGABITS_ERR_CHAIN;
    /* The instruction registers: all ones, BYPASS in every device, then a
     * zero, and the cycles it takes to come out. */
    to_shift(loader, 1);
    for (i = 0; i < longest; ++i)
        ones = cycle(loader, 0, 1);
    cycle(loader, 0, 0);
    for (length = 1; length <= longest && cycle(loader, 0, 1); ++length) {
    }
    cycle(loader, 1, 1);
    to_idle(loader);
    if (loader->status != FPGABITS_OK)
        return loader->status;
    if (!ones || length <= outside || length > longest)
        return FPGABITS_ERR_CHAIN;
    length -= outside;
    loader->ir_bits = length;
    /* The FPGA's capture, where the description puts it, ends in 01. */
    if (length < 5 || (instruction(loader, BYPASS) & 3) != 1)
        return loader->status != FPGABITS_OK ? loader->status : FPGABITS_ERR_CHAIN;
    /* 5 bits: the oldest family, without JPROGRAM; 12 to 38: several dies. */
    if (length == 5 || length == 12 || length == 18 || length == 22 || length == 24 || length == 38)
        return FPGABITS_ERR_UNSUPPORTED;
    if (length != 6 && length != 10 && length != 14)
        return FPGABITS_ERR_CHAIN;
    return loader->status;
}

/* The SoCs of the 16 nm generation (device types zu...): JTAG reads the
 * IDCODE of their family 23 (bits 27:21), while their streams write the
 * IDCODE of their programmable logic, which differs by no known rule. */
static int compares(uint32_t silicon) {
    return (silicon >> 21 & 0x7f) != 0x23;
}

/* Polls the FPGA's IR capture, shifting in code (under which the clocks in
 * Run-Test/Idle between run: JSTART's clock the start-up on), until bit is
 * set or, after timeout microseconds, error. */
static int wait_for(struct fpgabits_loader *loader, unsigned code, uint32_t bit, uint32_t timeout, int error) {
    struct fpgabits_wait wait;
    fpgabits_wait_start(&wait, loader->port);
    for (;;) {
        uint32_t waited;
        const int stuck = fpgabits_wait_time(&wait, &waited);
        if (stuck != FPGABITS_OK)
            return stuck;
        if (instruction(loader, code) & bit)
            return loader->status;
        if (loader->status != FPGABITS_OK)
            return loader->status;
        if (waited > timeout)
            return error;
        idle(loader, 64);
    }
}

/* The families whose configuration registers the loader reads back, told
 * by their IDCODE's bits 27:21 (and one device of family 1C, whose streams
 * have 16-bit words): how their words and status register are laid out. */
enum family { UNKNOWN, WORDS16, SERIES16A, SERIES22F, SERIES22H, SERIES32, SERIES32C, SERIES32DE };

static enum family family_of(uint32_t idcode) {
    static const unsigned char families[][2] = {{0x09, SERIES16A},  {0x0a, SERIES16A},  {0x0e, SERIES16A},
                                                {0x11, SERIES22H},  {0x20, SERIES22F},  {0x0f, SERIES32},
                                                {0x15, SERIES32},   {0x21, SERIES32},   {0x1b, SERIES32C},
                                                {0x1c, SERIES32DE}, {0x25, SERIES32DE}, {0x23, SERIES32DE}};
    const unsigned code = idcode >> 21 & 0x7f;
    unsigned i;
    if ((idcode & 0x0ffff000u) == 0x0384e000u)
        return SERIES22H;
    for (i = 0; i < sizeof families / sizeof families[0]; ++i)
        if (families[i][0] == code)
            return (enum family)families[i][1];
    return UNKNOWN;
}

/* width-bit words into the FPGA's CFG_IN, each most significant bit first,
 * in one scan from and back to Run-Test/Idle, past the bypass registers of
 * the devices between TDI and the FPGA: their captured zeros reach it
 * first, made up to a word of zeros (which no family reads as a packet), and
 * as many ones come after the words to push them through. */
static void configuration_words(struct fpgabits_loader *loader, const uint32_t *words, unsigned count, unsigned width) {
    const unsigned ahead = loader->port->tdi_side.devices & (width - 1), shift = width == 32 ? 5 : 4;
    const unsigned pad = ahead != 0 ? width - ahead : 0, total = pad + (count << shift) + ahead;
    unsigned i;
    instruction(loader, CFG_IN);
    to_shift(loader, 0);
    for (i = 0; i < total; ++i) {
        const unsigned at = i - pad, word = at >> shift;
        cycle(loader, i + 1 == total, word < count ? (int)(words[word] >> (width - 1 - (at & (width - 1))) & 1) : 0);
    }
    to_idle(loader);
}

/* A configuration register of width bits, read back through CFG_IN and
 * CFG_OUT in a session of its own that ends with a DESYNC: the words that
 * go in before the value comes out are those of read, and those after it
 * of desync (none for the groups that end the session before). */
static uint32_t read_back(struct fpgabits_loader *loader, const uint32_t *read, unsigned reads, const uint32_t *desync,
                          unsigned desyncs, unsigned width) {
    const unsigned after = loader->port->tdo_side.devices;
    uint32_t value = 0;
    unsigned i;
    configuration_words(loader, read, reads, width);
    instruction(loader, CFG_OUT);
    to_shift(loader, 0);
    /* The bypass bits of the devices between the FPGA and TDO first. */
    for (i = 0; i < after + width; ++i) {
        const int tdo = cycle(loader, i + 1 == after + width, 1);
        if (i >= after)
            value = value << 1 | (uint32_t)tdo;
    }
    to_idle(loader);
    if (desyncs > 0)
        configuration_words(loader, desync, desyncs, width);
    return value;
}

/* A register of a family's: 32-bit words (address 07 STAT, 0D AXSS, 16
 * BOOTSTS), or 16-bit ones (08 STAT, 20 BOOTSTS). */
static uint32_t read_register(struct fpgabits_loader *loader, enum family family, unsigned address) {
    static const uint32_t desync32[4] = {0x30008001u, 0x0000000du, 0x20000000u, 0x20000000u};
    static const uint32_t desync16[4] = {0x30a1, 0x000d, 0x2000, 0x2000};
    uint32_t read[7];
    if (family == SERIES22F || family == SERIES22H) {
        const unsigned full = family == SERIES22F;
        read[0] = 0x2000;
        read[1] = 0xaa99;
        read[2] = 0x5566;
        read[2 + full] = 0x2801u | address << 5;
        read[3 + full] = 0x2000;
        read[4 + full] = 0x2000;
        /* The half sync word's group ends its session before the value
         * comes out. */
        if (!full) {
            read[3] = desync16[0];
            read[4] = desync16[1];
            read[5] = read[6] = 0x2000;
        }
        return read_back(loader, read, full ? 6 : 7, desync16, full ? 4 : 0, 16);
    }
    read[0] = 0xaa995566u;
    read[1] = read[3] = read[4] = 0x20000000u;
    read[2] = 0x28000001u | address << 13;
    return read_back(loader, read, 5, desync32, 4, 32);
}

/* What the status register shows, as each family lays it out. */
static void decode_status(struct fpgabits_status *status, enum family family) {
    const uint32_t stat = status->stat;
    status->startup_state = -1;
    switch (family) {
    case SERIES16A: status->errors = (stat & 1) | (stat >> 13 & 1) << 1; break;
    case SERIES22F:
    case SERIES22H: status->errors = (stat & 3) | (family == SERIES22F ? (stat >> 6 & 1) << 2 : 0); break;
    case SERIES32C:
    case SERIES32DE:
        status->errors = (stat & 1) | (stat >> 15 & 1) << 1 | (stat >> 16 & 1) << 2;
        if (family == SERIES32DE)
            status->errors |= (stat >> 27 & 1) << 3;
        status->startup_state = (int)(stat >> 18 & 7);
        break;
    default: break;
    }
}

/* Reads the status registers of the FPGA, whose instruction register the
 * chain's check measured, into status, and leaves the TAP in
 * Run-Test/Idle. */
static void read_status(struct fpgabits_loader *loader, struct fpgabits_status *status) {
    const enum family family = family_of(loader->idcode);
    const uint32_t capture = instruction(loader, BYPASS);
    unsigned i;
    status->idcode = loader->idcode;
    status->done = (capture & CAPTURE_DONE) != 0;
    status->init = (capture & CAPTURE_INIT) != 0;
    status->read |= FPGABITS_READ_IDCODE | FPGABITS_READ_DONE | FPGABITS_READ_INIT;
    instruction(loader, USERCODE);
    to_shift(loader, 0);
    for (i = 0; i < loader->port->tdo_side.devices + 32; ++i)
        status->usercode = status->usercode >> 1 | (uint32_t)cycle(loader, i == loader->port->tdo_side.devices + 31, 1)
                                                       << 31;
    to_idle(loader);
    status->read |= FPGABITS_READ_USERCODE;
    if (family == UNKNOWN)
        return;
    status->stat = read_register(loader, family, family == SERIES22F || family == SERIES22H ? 0x08 : 0x07);
    status->read |= FPGABITS_READ_STAT;
    decode_status(status, family);
    if (family == SERIES32 || family == SERIES32C || family == SERIES32DE) {
        status->usr_access = read_register(loader, family, 0x0d);
        status->read |= FPGABITS_READ_USR_ACCESS;
    }
    if (family == SERIES32C || family == SERIES32DE || family == SERIES22F) {
        status->bootsts = read_register(loader, family, family == SERIES22F ? 0x20 : 0x16);
        status->read |= FPGABITS_READ_BOOTSTS;
    }
}

/* After a load that failed: the error that the status register names, CRC
 * or IDCODE, else error. */
static int cause(struct fpgabits_loader *loader, int error) {
    struct fpgabits_status status = {0, 0, 0, 0, 0, 0, 0, 0, 0, -1};
    const int before = loader->status;
    loader->status = FPGABITS_OK;
    read_status(loader, &status);
    loader->status = before;
    return status.errors & FPGABITS_STATUS_CRC_ERROR  ? FPGABITS_ERR_CRC
           : status.errors & FPGABITS_STATUS_ID_ERROR ? FPGABITS_ERR_DEVICE
                                                      : error;
}

static int jtag_begin(struct fpgabits_loader *loader, uint32_t idcode) {
    uint32_t silicon;
    int error = check_chain(loader, &silicon);
    loader->idcode = silicon;
    if (error == FPGABITS_OK && idcode != 0 && ((idcode ^ silicon) & 0x0fffffffu) != 0 && compares(silicon))
        error = FPGABITS_ERR_DEVICE;
    if (error == FPGABITS_OK && loader->partial) {
        /* A partial configuration goes only into a device that runs. */
        const uint32_t capture = instruction(loader, BYPASS);
        /* INIT low: the status register may tell why. */
        error = !(capture & CAPTURE_INIT)   ? cause(loader, FPGABITS_ERR_INIT)
                : !(capture & CAPTURE_DONE) ? FPGABITS_ERR_NO_DONE
                                            : loader->status;
    } else if (error == FPGABITS_OK) {
        instruction(loader, JPROGRAM);
        error = wait_for(loader, BYPASS, CAPTURE_INIT, FPGABITS_INIT_TIMEOUT_US, FPGABITS_ERR_INIT);
        if (error == FPGABITS_OK && (instruction(loader, BYPASS) & CAPTURE_DONE))
            error = FPGABITS_ERR_DONE_HIGH;
        if (error == FPGABITS_OK) {
            struct fpgabits_wait wait;
            uint32_t waited = 0;
            fpgabits_wait_start(&wait, loader->port);
            while (error == FPGABITS_OK && waited < FPGABITS_READY_WAIT_US && loader->status == FPGABITS_OK) {
                idle(loader, 64);
                error = fpgabits_wait_time(&wait, &waited);
            }
        }
    }
    if (error == FPGABITS_OK) {
        instruction(loader, CFG_IN);
        to_shift(loader, 0);
        error = loader->status;
    }
    if (error != FPGABITS_OK)
        test_logic_reset(loader->port);
    return error;
}

/* Configuration data in Shift-DR, each byte's most significant bit first:
 * through shift() where the port has it, else a TCK cycle a bit. */
static int jtag_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t count, int borrowed) {
    const struct fpgabits_port *port = loader->port;
    int error = FPGABITS_OK;
    loader->sent = 1;
    if (port->shift != NULL) {
        error = port->shift(port->context, bytes, count);
        loader->borrowed = borrowed;
    } else {
        int (*const tck)(void *context, int tms, int tdi) = port->tck;
        void *const context = port->context;
        const unsigned char *const end = bytes + count;
        /* A cycle a bit, unrolled: the port's call is most of the time. */
#define BIT(n)                                                                                                         \
    if ((error = tck(context, 0, (int)(byte >> (n)&1))) < 0)                                                           \
    break
        while (bytes < end) {
            const unsigned byte = *bytes++;
            BIT(7);
            BIT(6);
            BIT(5);
            BIT(4);
            BIT(3);
            BIT(2);
            BIT(1);
            BIT(0);
        }
#undef BIT
    }
    if (error >= 0)
        return FPGABITS_OK;
    test_logic_reset(port);
    return error;
}

/* After the data: its last bits past the bypass registers of the devices
 * between TDI and the FPGA, JSTART, and clocks in Run-Test/Idle until DONE
 * and 64 more, after which it must still be high; Test-Logic-Reset. A
 * partial load only gets the 64 clocks. */
static int jtag_finish(struct fpgabits_loader *loader) {
    const unsigned ahead = loader->port->tdi_side.devices;
    unsigned i;
    int error;
    for (i = 0; i <= ahead; ++i)
        cycle(loader, i == ahead, 1);
    to_idle(loader);
    if (!loader->partial) {
        instruction(loader, JSTART);
        idle(loader, STARTUP_CLOCKS);
    }
    /* A start-up that waits longer (for a clock to lock, say) goes on
     * under JSTART, and so do the clocks after DONE. */
    error = wait_for(loader, loader->partial ? BYPASS : JSTART, CAPTURE_DONE, FPGABITS_DONE_TIMEOUT_US,
                     FPGABITS_ERR_NO_DONE);
    if (error == FPGABITS_OK) {
        idle(loader, FPGABITS_CLOCKS_AFTER_DONE);
        if (!(instruction(loader, BYPASS) & CAPTURE_DONE))
            error = FPGABITS_ERR_NO_DONE;
        if (loader->status != FPGABITS_OK)
            error = loader->status;
    }
    /* A CRC error does not pull INIT low over JTAG: the status register
     * tells what went wrong. */
    if (error == FPGABITS_ERR_NO_DONE)
        error = cause(loader, error);
    test_logic_reset(loader->port);
    return error;
}

/* A shift() of nothing returns once the bytes before it are out. */
static void jtag_settle(struct fpgabits_loader *loader) {
    const struct fpgabits_port *port = loader->port;
    if (port->shift != NULL)
        port->shift(port->context, loader->buffer[0], 0);
}

/* Out of Shift-DR, and JPROGRAM: the device clears its memory. */
static void jtag_reset(struct fpgabits_loader *loader) {
    cycle(loader, 1, 1);
    to_idle(loader);
    instruction(loader, JPROGRAM);
    test_logic_reset(loader->port);
}

const struct fpgabits_link fpgabits_jtag_link = {jtag_ok, jtag_begin, jtag_send, jtag_finish, jtag_settle, jtag_reset,
                                                 512,     1,          0};

int fpgabits_read_idcode(const struct fpgabits_port *port, enum fpgabits_interface interface, uint32_t *idcode) {
    struct fpgabits_loader loader = {0};
    int error;
    if (idcode == NULL || port == NULL || interface != FPGABITS_JTAG || !jtag_ok(port))
        return FPGABITS_ERR_ARGUMENT;
    loader.port = port;
    loader.status = FPGABITS_OK;
    error = check_chain(&loader, idcode);
    test_logic_reset(port);
    return error;
}

int fpgabits_jtag_status(const struct fpgabits_port *port, struct fpgabits_status *status) {
    struct fpgabits_loader loader = {0};
    int error;
    if (!jtag_ok(port))
        return FPGABITS_ERR_ARGUMENT;
    loader.port = port;
    loader.status = FPGABITS_OK;
    error = check_chain(&loader, &loader.idcode);
    if (error == FPGABITS_OK)
        read_status(&loader, status);
    test_logic_reset(port);
    return error == FPGABITS_OK ? loader.status : error;
}

#else

int fpgabits_read_idcode(const struct fpgabits_port *port, enum fpgabits_interface interface, uint32_t *idcode) {
    (void)port;
    (void)interface;
    (void)idcode;
    return FPGABITS_ERR_ARGUMENT;
}

int fpgabits_jtag_status(const struct fpgabits_port *port, struct fpgabits_status *status) {
    (void)port;
    (void)status;
    return FPGABITS_ERR_ARGUMENT;
}

#endif
