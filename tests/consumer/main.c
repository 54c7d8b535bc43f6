/* Reports the configurations that the program holds and the one that the
 * board library holds: size, CRC-32, whether the data is aligned, and the
 * IDCODE that the build found in the data. */
#include <stdio.h>

#include "aux_fpga.h"
#include "crc32.h"
#include "fpgabits_load.h"
#include "io_fpga.h"
#include "main_fpga.h"

/* Sized at compile time from the window that the build gave the stream. */
static unsigned char aux_work[AUX_FPGA_WORK_SIZE];

static void report(const char *name, size_t size, uint32_t crc, const unsigned char *data, uintptr_t alignment,
                   uint32_t idcode) {
    printf("%s: %lu bytes, crc32 %08lx, %s, IDCODE %08lx\n", name, (unsigned long)size, (unsigned long)crc,
           (uintptr_t)data % alignment == 0 ? "aligned" : "not aligned", (unsigned long)idcode);
}

int main(void) {
    size_t size;
    uint32_t crc;
    report("main", main_fpga_size, crc32(main_fpga_data, main_fpga_size), main_fpga_data, 64, main_fpga_idcode);
    /* Compressed: the size and CRC-32 of what it inflates to, which must be
     * what the build stored. */
    if (fpgabits_inflate_check(aux_fpga_data, aux_fpga_size, aux_work, sizeof aux_work, &size, &crc) != FPGABITS_OK ||
        size != aux_fpga_config_size || crc != aux_fpga_crc32) {
        printf("aux: does not inflate to what the build stored\n");
        return 1;
    }
    report("aux", size, crc, aux_fpga_data, 1, aux_fpga_idcode);
    report("io", io_fpga_size, crc32(io_fpga_data, io_fpga_size), io_fpga_data, 256, io_fpga_idcode);
    return 0;
}
