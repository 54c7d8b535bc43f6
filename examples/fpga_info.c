/* A stand-in for firmware that loads its FPGA: it compiles the generated
 * fpgabits.i in and reports what it holds. */
#include <stdint.h>
#include <stdio.h>

#include "fpgabits.i"

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
    printf("design: %s\n", FPGAappl);
    printf("device: %s\n", FPGAtype);
    printf("built:  %s\n", FPGAdate);
    printf("size:   %lu bytes\n", (unsigned long)sizeof FPGABITS);
    printf("crc32:  %08lx\n", (unsigned long)crc32(FPGABITS, sizeof FPGABITS));
    return 0;
}
