/* Prints what a compiler made of fpgabits.i: each text's bytes and then the
 * array's size and bytes, all in hexadecimal, one per line. Compiled as C and
 * as C++ by the tests. */
#include <stdio.h>
#include <string.h>

#include "fpgabits.i"

static void hex(const unsigned char *bytes, size_t size) {
    size_t i;
    for (i = 0; i < size; ++i)
        printf("%02x", bytes[i]);
    printf("\n");
}

int main(void) {
    hex((const unsigned char *)FPGAappl, strlen(FPGAappl));
    hex((const unsigned char *)FPGAtype, strlen(FPGAtype));
    hex((const unsigned char *)FPGAdate, strlen(FPGAdate));
    printf("%lu\n", (unsigned long)sizeof FPGABITS);
    hex(FPGABITS, sizeof FPGABITS);
    return 0;
}
