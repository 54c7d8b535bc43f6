/* Firmware for a board with two FPGAs. It holds both configurations in flash
 * and reports what it holds: the device, date, size and CRC-32 of each. On a
 * real board it would now load them. Valid C and C++. */
#include <stdint.h>
#include <stdio.h>

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

int main(void) {
    report("main", main_fpga_device, main_fpga_date, main_fpga_data, main_fpga_size);
    report("io", io_fpga_device, io_fpga_date, io_fpga_data, io_fpga_size);
    return 0;
}
