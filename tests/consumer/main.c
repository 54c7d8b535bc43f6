/* Reports the configurations that the program holds and the one that the
 * board library holds: size, CRC-32 and whether the data is aligned. */
#include <stdio.h>

#include "aux_fpga.h"
#include "crc32.h"
#include "io_fpga.h"
#include "main_fpga.h"

static void report(const char *name, size_t size, uint32_t crc, const unsigned char *data, uintptr_t alignment) {
    printf("%s: %lu bytes, crc32 %08lx, %s\n", name, (unsigned long)size, (unsigned long)crc,
           (uintptr_t)data % alignment == 0 ? "aligned" : "not aligned");
}

int main(void) {
    report("main", main_fpga_size, crc32(main_fpga_data, main_fpga_size), main_fpga_data, 64);
    /* Compressed: the size and CRC-32 of what it inflates to. */
    report("aux", aux_fpga_config_size, aux_fpga_crc32, aux_fpga_data, 1);
    report("io", io_fpga_size, crc32(io_fpga_data, io_fpga_size), io_fpga_data, 256);
    return 0;
}
