/* The port of the instruction count: a device that is ready at once, whose
 * send only counts the bytes, and that is configured once all of its
 * configuration data is in; over JTAG, a TAP of its own alone in the chain,
 * which answers as the loader's checks want it to and counts the bits of
 * CFG_IN. */
#ifndef FPGABITS_BENCH_PORT_H
#define FPGABITS_BENCH_PORT_H

#include "fpgabits_load.h"

struct counting_device {
    int reset;          /* PROG_B is low */
    size_t config_size; /* DONE rises once this many bytes are in */
    size_t sent;        /* bytes that send() took */
    uint32_t clock;     /* microseconds; each reading advances it by 1 ms */
    /* JTAG: the TAP's state, its instruction, the instruction and data
     * registers being shifted, and the bits of CFG_IN. */
    int state;
    unsigned instruction, ir;
    uint32_t dr, idcode;
    size_t bits;
};

/* Fills in port for device, for config_size bytes of configuration data;
 * jtag: 0 for the pins, 1 for JTAG through tck() alone, 2 with shift(). The
 * TAP reads the IDCODE device->idcode. */
void counting_port(struct fpgabits_port *port, struct counting_device *device, size_t config_size, int jtag);

#endif
