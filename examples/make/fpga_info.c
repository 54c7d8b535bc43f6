/* A stand-in for firmware that loads its FPGA: it reports the configuration
 * that fpga.c compiles in. */
#include <stdint.h>
#include <stdio.h>

#include "fpga.h"

/* CRC-32 as zlib and gzip compute it, to compare with the bitstream's data. */
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

int main(void) {
    printf("design: %s\n", fpga_design);
    printf("device: %s\n", fpga_device);
    printf("built:  %s\n", fpga_date);
    printf("size:   %lu bytes\n", (unsigned long)fpga_size);
    printf("crc32:  %08lx\n", (unsigned long)crc32(fpga_data, fpga_size));
    return 0;
}
