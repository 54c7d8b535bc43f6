/* The port's callbacks, compiled apart so that the trace counter tells their
 * instructions from the loader's by their addresses (see bench.ld). */
#include "port.h"

static void prog_b(void *context, int level) {
    ((struct counting_device *)context)->reset = level == 0;
}

static int init_b(void *context) {
    return !((const struct counting_device *)context)->reset;
}

static int done(void *context) {
    const struct counting_device *device = (const struct counting_device *)context;
    return device->sent >= device->config_size;
}

static void send(void *context, const unsigned char *bytes, size_t count) {
    (void)bytes;
    ((struct counting_device *)context)->sent += count;
}

static uint32_t micros(void *context) {
    return ((struct counting_device *)context)->clock += 1000;
}

/* The TAP's states, as the IEEE 1149.1 diagram numbers them here. */
enum {
    RESET,
    IDLE,
    SELECT_DR,
    CAPTURE_DR,
    SHIFT_DR,
    EXIT1_DR,
    PAUSE_DR,
    EXIT2_DR,
    UPDATE_DR,
    SELECT_IR,
    CAPTURE_IR,
    SHIFT_IR,
    EXIT1_IR,
    PAUSE_IR,
    EXIT2_IR,
    UPDATE_IR
};

/* The next state with TMS low, and with TMS high. */
static const unsigned char next[16][2] = {
    {IDLE, RESET},         {IDLE, SELECT_DR},     {CAPTURE_DR, SELECT_IR}, {SHIFT_DR, EXIT1_DR},
    {SHIFT_DR, EXIT1_DR},  {PAUSE_DR, UPDATE_DR}, {PAUSE_DR, EXIT2_DR},    {SHIFT_DR, UPDATE_DR},
    {IDLE, SELECT_DR},     {CAPTURE_IR, RESET},   {SHIFT_IR, EXIT1_IR},    {SHIFT_IR, EXIT1_IR},
    {PAUSE_IR, UPDATE_IR}, {PAUSE_IR, EXIT2_IR},  {SHIFT_IR, UPDATE_IR},   {IDLE, SELECT_DR}};

enum { IDCODE = 0x09, CFG_IN = 0x05, BYPASS = 0x3f };

/* A 6-bit instruction register whose capture shows the memory clear (bit
 * 4) and DONE (bit 5); IDCODE, BYPASS and CFG_IN, whose bits are counted. */
static int tck(void *context, int tms, int tdi) {
    struct counting_device *d = (struct counting_device *)context;
    int tdo = 0;
    if (d->state == SHIFT_IR) {
        tdo = d->ir & 1;
        d->ir = d->ir >> 1 | (unsigned)tdi << 5;
    } else if (d->state == SHIFT_DR) {
        /* BYPASS is a register of one bit: what goes in comes out next. */
        tdo = d->dr & 1;
        d->dr = d->instruction == BYPASS ? (uint32_t)tdi : d->dr >> 1 | (uint32_t)tdi << 31;
        if (d->instruction == CFG_IN && ++d->bits % 8 == 0)
            ++d->sent;
    }
    d->state = next[d->state][tms != 0];
    if (d->state == RESET)
        d->instruction = IDCODE;
    else if (d->state == CAPTURE_IR)
        d->ir = 0x11 | (d->sent >= d->config_size ? 0x20 : 0);
    else if (d->state == UPDATE_IR)
        d->instruction = d->ir;
    else if (d->state == CAPTURE_DR)
        d->dr = d->instruction == IDCODE ? d->idcode : 0;
    return tdo;
}

/* In Shift-DR with CFG_IN: all the bytes go in. */
static int shift(void *context, const unsigned char *bytes, size_t count) {
    struct counting_device *d = (struct counting_device *)context;
    (void)bytes;
    if (d->state == SHIFT_DR && d->instruction == CFG_IN)
        d->sent += count;
    return 0;
}

void counting_port(struct fpgabits_port *port, struct counting_device *device, size_t config_size, int jtag) {
    device->reset = 0;
    device->config_size = config_size;
    device->sent = 0;
    device->clock = 0;
    device->state = RESET;
    device->instruction = IDCODE;
    device->ir = 0;
    device->dr = 0;
    device->bits = 0;
    port->context = device;
    port->prog_b = prog_b;
    port->init_b = init_b;
    port->done = done;
    port->send = send;
    port->micros = micros;
    port->tck = jtag ? tck : 0;
    port->tdi_side.devices = port->tdi_side.ir_bits = 0;
    port->tdo_side.devices = port->tdo_side.ir_bits = 0;
    port->shift = jtag == 2 ? shift : 0;
}
