/* Reports the configurations that the program holds and the one that the
 * board library holds: size, CRC-32 and whether the data is aligned. */
#include <stdio.h>

#include "aux_fpga.h"
#include "crc32.h"
#include "io_fpga.h"
#include "main_fpga.h"

static void report(const char *name, const unsigned char *data, size_t size, uintptr_t alignment) {
    printf("%s: %lu bytes, crc32 %08lx, %s\n", name, (unsigned long)size, (unsigned long)crc32(data, size),
           (uintptr_t)data % alignment == 0 ? "aligned" : "not aligned");
}

int main(void) {
    report("main", main_fpga_data, main_fpga_size, 64);
    report("aux", aux_fpga_data, aux_fpga_size, 1);
    report("io", io_fpga_data, io_fpga_size, 256);
    return 0;
}
