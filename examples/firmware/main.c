/* Firmware for a board with two FPGAs. It holds both configurations in flash,
 * reports what it holds (device, date, size and CRC-32 of each), checks that
 * each is for the board's device, and loads them: the main FPGA over the
 * serial interface, streaming the data in chunks, the I/O FPGA over the
 * parallel x8 interface in one call. Here the FPGAs are models of their
 * configuration logic, in the same processor; on a real board the port's
 * callbacks drive GPIO and SPI instead. Valid C and C++. */
#include <stdint.h>
#include <stdio.h>

#include "fpga_model.h"
#include "fpgabits_load.h"
#include "io_fpga.h"
#include "main_fpga.h"

/* CRC-32 as zlib and gzip compute it. */
static uint32_t crc32(const unsigned char *bytes, size_t size) {
    uint32_t crc = 0xffffffffu;
    size_t i;
    int bit;
    for (i = 0; i < size; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

static void report(const char *fpga, const char *device, const char *date, const unsigned char *data, size_t size) {
    printf("%s: device %s, built %s, %lu bytes, crc32 %08lx\n", fpga, device, date, (unsigned long)size,
           (unsigned long)crc32(data, size));
}

/* Streams the data as it would come from a file system or a radio: in
 * chunks. Counts the bytes handed to the loader in *sent. */
static int load_in_chunks(const struct fpgabits_port *port, const unsigned char *data, size_t size, size_t *sent) {
    const size_t chunk = 1024;
    struct fpgabits_loader loader;
    int error = fpgabits_load_begin(&loader, port, FPGABITS_SERIAL);
    *sent = 0;
    while (error == FPGABITS_OK && *sent < size) {
        const size_t count = size - *sent < chunk ? size - *sent : chunk;
        error = fpgabits_load_write(&loader, data + *sent, count);
        *sent += count;
    }
    return error == FPGABITS_OK ? fpgabits_load_end(&loader) : error;
}

static void configure(const char *fpga, const char *device, const unsigned char *data, size_t size, int parallel) {
    struct fpga_model model;
    struct fpgabits_port port;
    const char *violation;
    size_t sent = size;
    uint32_t idcode;
    int error;
    fpga_model_init(&model, device, parallel);
    fpga_model_port(&model, &port);
    /* The board's device is the one the model plays. */
    if (fpgabits_idcode(data, size, &idcode) != FPGABITS_OK ||
        ((idcode ^ model.device.idcode) & 0x0fffffffu) != 0) {
        printf("%s: the data is not for this board's device\n", fpga);
        return;
    }
    error = parallel ? fpgabits_load(&port, FPGABITS_PARALLEL8, data, size) : load_in_chunks(&port, data, size, &sent);
    violation = fpga_model_violation(&model);
    printf("%s: %s over %s, IDCODE %08lx, %lu bytes sent, DONE %s, %u CRC checks passed%s%s\n", fpga,
           fpgabits_strerror(error), parallel ? "parallel x8" : "serial", (unsigned long)idcode, (unsigned long)sent,
           model.done ? "high" : "low", model.crc_checks, violation != NULL ? ", but " : "",
           violation != NULL ? violation : "");
}

int main(void) {
    report("main", main_fpga_device, main_fpga_date, main_fpga_data, main_fpga_size);
    report("io", io_fpga_device, io_fpga_date, io_fpga_data, io_fpga_size);
    configure("main", main_fpga_device, main_fpga_data, main_fpga_size, 0);
    configure("io", io_fpga_device, io_fpga_data, io_fpga_size, 1);
    return 0;
}
