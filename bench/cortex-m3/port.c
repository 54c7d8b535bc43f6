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

void counting_port(struct fpgabits_port *port, struct counting_device *device, size_t config_size) {
    device->reset = 0;
    device->config_size = config_size;
    device->sent = 0;
    device->clock = 0;
    port->context = device;
    port->prog_b = prog_b;
    port->init_b = init_b;
    port->done = done;
    port->send = send;
    port->micros = micros;
}
