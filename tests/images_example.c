/* Runs read_image(), the example of docs/images.md that examples/test.sh
 * takes from the page into read_image.c, against the FPGA model with its
 * check of DMA: the file given, checked and then loaded, 512 bytes at a
 * time. Prints the two results, DONE and the model's first violation. */
#include <stdio.h>

#include "fpga_model.h"
#include "fpgabits_load.h"

#define BOARD_FPGA_IDCODE 0x0362d093u

#include "read_image.c"

int main(int argc, char **argv) {
    struct fpga_model model;
    struct fpgabits_port port;
    struct fpgabits_image_info info;
    FILE *file = argc == 2 ? fopen(argv[1], "rb") : NULL;
    const char *violation;
    int checked, loaded;
    if (file == NULL || !fpga_model_init(&model, "7a35tcsg324", 0))
        return 2;
    model.dma = 1;
    fpga_model_port(&model, &port);
    checked = read_image(file, NULL, &info);
    loaded = read_image(file, &port, &info);
    fclose(file);
    violation = fpga_model_violation(&model);
    printf("check: %s, load: %s, DONE %s, %s\n", fpgabits_strerror(checked), fpgabits_strerror(loaded),
           model.done ? "high" : "low", violation != NULL ? violation : "no violation");
    return 0;
}
