/* The port of the instruction count: a device that is ready at once, whose
 * send only counts the bytes, and that is configured once all of its
 * configuration data is in. */
#ifndef FPGABITS_BENCH_PORT_H
#define FPGABITS_BENCH_PORT_H

#include "fpgabits_load.h"

struct counting_device {
    int reset;          /* PROG_B is low */
    size_t config_size; /* DONE rises once this many bytes are in */
    size_t sent;        /* bytes that send() took */
    uint32_t clock;     /* microseconds; each reading advances it by 1 ms */
};

/* Fills in port for device, for config_size bytes of configuration data. */
void counting_port(struct fpgabits_port *port, struct counting_device *device, size_t config_size);

#endif
