/* Reports the configurations that the program holds and the one that the
 * board library holds: size, CRC-32, whether the data is aligned, and the
 * values that the build found in the bitstream, whose CRC-32 must be that of
 * the data held. */
#include <stdio.h>

#include "aux_fpga.h"
#include "crc32.h"
#include "fpgabits_load.h"
#include "io_fpga.h"
#include "main_fpga.h"

/* Sized at compile time from the window that the build gave the stream. */
static unsigned char aux_work[AUX_FPGA_WORK_SIZE];

/* What the build found: CRC-32, IDCODE, user access and USERCODE. */
struct found {
    uint32_t crc32, idcode, usr_access, usercode;
};

static int report(const char *name, size_t size, uint32_t crc, const unsigned char *data, uintptr_t alignment,
                  struct found found) {
    if (crc != found.crc32) {
        printf("%s: the data's CRC-32 is %08lx, the build found %08lx\n", name, (unsigned long)crc,
               (unsigned long)found.crc32);
        return 1;
    }
    printf("%s: %lu bytes, crc32 %08lx, %s, IDCODE %08lx, USR_ACCESS %08lx, USERCODE %08lx\n", name,
           (unsigned long)size, (unsigned long)crc, (uintptr_t)data % alignment == 0 ? "aligned" : "not aligned",
           (unsigned long)found.idcode, (unsigned long)found.usr_access, (unsigned long)found.usercode);
    return 0;
}

int main(void) {
    const struct found main_found = {main_fpga_crc32, main_fpga_idcode, main_fpga_usr_access, main_fpga_usercode};
    const struct found aux_found = {aux_fpga_crc32, aux_fpga_idcode, aux_fpga_usr_access, aux_fpga_usercode};
    const struct found io_found = {io_fpga_crc32, io_fpga_idcode, io_fpga_usr_access, io_fpga_usercode};
    size_t size;
    uint32_t crc;
    if (report("main", main_fpga_size, crc32(main_fpga_data, main_fpga_size), main_fpga_data, 64, main_found) != 0)
        return 1;
    /* Compressed: the size and CRC-32 of what it inflates to, which must be
     * what the build stored. */
    if (fpgabits_inflate_check(aux_fpga_data, aux_fpga_size, aux_work, sizeof aux_work, &size, &crc) != FPGABITS_OK ||
        size != aux_fpga_config_size) {
        printf("aux: does not inflate to what the build stored\n");
        return 1;
    }
    if (report("aux", size, crc, aux_fpga_data, 1, aux_found) != 0)
        return 1;
    return report("io", io_fpga_size, crc32(io_fpga_data, io_fpga_size), io_fpga_data, 256, io_found);
}
