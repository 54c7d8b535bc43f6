/* Firmware for a board with two FPGAs. It holds both configurations in flash,
 * the second one compressed, and the first one too when built with
 * MAIN_COMPRESS. At boot it checks what it holds: device, date, size and
 * CRC-32 of each, inflating a compressed one to see that the flash is intact.
 * Then it loads them: the main FPGA over the serial interface, the I/O FPGA
 * over the parallel x8 interface, checking first that each is for the board's
 * device by the IDCODE that the build found in the data.
 *
 * Then it reads the image files of a card, 512 bytes at a time as from an SD
 * card: each is checked whole first (the image reader's check pass), and
 * loaded, with the same chunks, only if it is intact and for the FPGA's
 * device, so that a bad image leaves the FPGA running what it had. Here the
 * card is the directory card/ of the working directory, read with stdio
 * (through semihosting in QEMU), where the build wrote the images.
 *
 * Here the FPGAs are models of their configuration logic, in the same
 * processor; on a real board the port's callbacks drive GPIO and SPI instead.
 * Valid C and C++. */
#include <stdint.h>
#include <stdio.h>

#include "fpga_model.h"
#include "fpgabits_load.h"
#include "io_fpga.h"
#include "main_fpga.h"

/* The work area for compressed data, on the stack: the larger of the two
 * that the configurations need, as their COMPRESS WINDOW gives them. */
#ifdef MAIN_FPGA_COMPRESSED
#define WORK_SIZE (MAIN_FPGA_WORK_SIZE > IO_FPGA_WORK_SIZE ? MAIN_FPGA_WORK_SIZE : IO_FPGA_WORK_SIZE)
#else
#define WORK_SIZE IO_FPGA_WORK_SIZE
#endif

struct fpga {
    const char *name, *device, *date;
    const unsigned char *data;
    size_t size, config_size;
    uint32_t crc32, idcode;
    size_t window; /* 0 where the data is stored as it is */
    int parallel;
};

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

/* Checks what the flash holds; 0 where it is not what the build stored. */
static int report(const struct fpga *fpga) {
    unsigned char work[WORK_SIZE];
    size_t size = fpga->size;
    uint32_t crc;
    if (fpga->window == 0) {
        crc = crc32(fpga->data, fpga->size);
    } else if (fpgabits_inflate_check(fpga->data, fpga->size, work, sizeof work, &size, &crc) != FPGABITS_OK ||
               size != fpga->config_size || crc != fpga->crc32) {
        printf("%s: the flash does not hold what was built\n", fpga->name);
        return 0;
    }
    printf("%s: device %s, built %s, %lu bytes, crc32 %08lx", fpga->name, fpga->device, fpga->date, (unsigned long)size,
           (unsigned long)crc);
    if (fpga->window != 0)
        printf(", compressed to %lu", (unsigned long)fpga->size);
    printf("\n");
    return 1;
}

/* Streams the data as it would come from a file system or a radio: in
 * chunks. */
static int load_in_chunks(const struct fpgabits_port *port, const struct fpga *fpga) {
    const size_t chunk = 1024;
    struct fpgabits_loader loader;
    size_t sent = 0;
    int error = fpgabits_load_begin(&loader, port, FPGABITS_SERIAL);
    while (error == FPGABITS_OK && sent < fpga->size) {
        const size_t count = fpga->size - sent < chunk ? fpga->size - sent : chunk;
        error = fpgabits_load_write(&loader, fpga->data + sent, count);
        sent += count;
    }
    return error == FPGABITS_OK ? fpgabits_load_end(&loader) : error;
}

/* What the model of an FPGA reports after a load. */
static void print_model(const struct fpga_model *model) {
    const char *violation = fpga_model_violation(model);
    printf(", DONE %s, %u CRC checks passed%s%s\n", model->done ? "high" : "low", model->crc_checks,
           violation != NULL ? ", but " : "", violation != NULL ? violation : "");
}

static void configure(const struct fpga *fpga, struct fpga_model *model) {
    const enum fpgabits_interface interface = fpga->parallel ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL;
    unsigned char work[WORK_SIZE];
    struct fpgabits_port port;
    const char *result;
    int error;
    fpga_model_init(model, fpga->device, fpga->parallel);
    fpga_model_port(model, &port);
    /* The board's device is the one the model plays. Bits 27:0 only: the
     * data often writes version 0 in bits 31:28. */
    if (((fpga->idcode ^ model->device.idcode) & 0x0fffffffu) != 0) {
        printf("%s: the data is not for this board's device\n", fpga->name);
        return;
    }
    if (fpga->window != 0) {
        error = fpgabits_load_deflate(&port, interface, fpga->data, fpga->size, work, sizeof work);
        result = error == FPGABITS_OK ? "configured" : fpgabits_strerror(error);
        printf("%s: %s over %s, %lu bytes inflated and sent", fpga->name, result,
               fpga->parallel ? "parallel x8" : "serial", (unsigned long)fpga->config_size);
    } else {
        error = fpga->parallel ? fpgabits_load(&port, interface, fpga->data, fpga->size) : load_in_chunks(&port, fpga);
        result = error == FPGABITS_OK ? "configured" : fpgabits_strerror(error);
        printf("%s: %s over %s, IDCODE %08lx, %lu bytes sent", fpga->name, result,
               fpga->parallel ? "parallel x8" : "serial", (unsigned long)fpga->idcode, (unsigned long)fpga->size);
    }
    print_model(model);
}

/* Reads an image file from its start, in chunks of 512 bytes, into the image
 * reader: with port NULL, the check pass. The image must be for the board's
 * device: the device type of the configuration in flash, and the IDCODE of
 * the device. Its work area, on the stack, serves the card's gzip files,
 * which the build made with a window of IMAGE_WINDOW bytes. The chunks take
 * two buffers in turn: a port may still be sending one by DMA until the
 * write after it returns. */
static int read_image(FILE *file, const struct fpgabits_port *port, const struct fpga *fpga,
                      const struct fpga_model *model, struct fpgabits_image_info *info) {
    unsigned char work[FPGABITS_IMAGE_WORK_SIZE(IMAGE_WINDOW)];
    unsigned char chunks[2][512];
    struct fpgabits_image image;
    size_t size;
    int turn = 0;
    int error = fpgabits_image_begin(&image, port, fpga->parallel ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL, fpga->device,
                                     model->device.idcode, work, sizeof work);
    rewind(file);
    while (error == FPGABITS_OK && (size = fread(chunks[turn], 1, sizeof chunks[turn], file)) > 0) {
        error = fpgabits_image_write(&image, chunks[turn], size);
        turn ^= 1;
    }
    return fpgabits_image_end(&image, info);
}

/* Checks an image file of the card, and loads it into the FPGA if it is
 * good: a line of what its header says, and one of the check and the load.
 * A refused image says nothing of the size and CRC-32 that the reader saw
 * before the fault; the FPGA's model shows that it was left alone. */
static void load_image(const char *path, const struct fpga *fpga, struct fpga_model *model) {
    struct fpgabits_image_info info;
    struct fpgabits_port port;
    FILE *file = fopen(path, "rb");
    int error;
    if (file == NULL) {
        printf("%s: cannot open\n", path);
        return;
    }
    error = read_image(file, NULL, fpga, model, &info);
    if (ferror(file)) {
        printf("%s: cannot read\n", path);
        fclose(file);
        return;
    }
    printf("%s: design %s, device %s, built %s\n", path, info.design, info.device, info.date);
    if (error != FPGABITS_OK) {
        printf("  refused: %s\n  %s keeps IDCODE %08lx", fpgabits_strerror(error), fpga->name,
               (unsigned long)model->idcode_seen);
        print_model(model);
    } else {
        printf("  %lu bytes, crc32 %08lx, IDCODE %08lx: ", (unsigned long)info.config_size, (unsigned long)info.crc32,
               (unsigned long)info.idcode);
        fpga_model_port(model, &port);
        error = read_image(file, &port, fpga, model, &info);
        printf("%s %s", fpga->name, error == FPGABITS_OK ? "configured" : fpgabits_strerror(error));
        print_model(model);
    }
    fclose(file);
}

/* The card's image files and the FPGA each is for: the main FPGA's,
 * compressed, and the I/O FPGA's, which fpgabits_add_image() wrote, and a
 * copy of the first with one byte changed, made by examples/test.sh
 * and by the README's commands. */
static const struct {
    const char *path;
    int fpga;
} card[] = {{"card/main.bit.gz", 0}, {"card/io.bit", 1}, {"card/bad.bit.gz", 0}};

int main(void) {
    struct fpga fpgas[2];
    struct fpga_model models[2];
    int i;
    fpgas[0].name = "main";
    fpgas[0].device = main_fpga_device;
    fpgas[0].date = main_fpga_date;
    fpgas[0].data = main_fpga_data;
    fpgas[0].size = main_fpga_size;
    fpgas[0].config_size = main_fpga_config_size;
    fpgas[0].idcode = main_fpga_idcode;
#ifdef MAIN_FPGA_COMPRESSED
    fpgas[0].crc32 = main_fpga_crc32;
    fpgas[0].window = main_fpga_window;
#else
    fpgas[0].crc32 = 0;
    fpgas[0].window = 0;
#endif
    fpgas[0].parallel = 0;
    fpgas[1].name = "io";
    fpgas[1].device = io_fpga_device;
    fpgas[1].date = io_fpga_date;
    fpgas[1].data = io_fpga_data;
    fpgas[1].size = io_fpga_size;
    fpgas[1].config_size = io_fpga_config_size;
    fpgas[1].idcode = io_fpga_idcode;
    fpgas[1].crc32 = io_fpga_crc32;
    fpgas[1].window = io_fpga_window;
    fpgas[1].parallel = 1;

    for (i = 0; i < 2; ++i)
        if (!report(&fpgas[i]))
            return 1;
    for (i = 0; i < 2; ++i)
        configure(&fpgas[i], &models[i]);
    for (i = 0; i < (int)(sizeof card / sizeof card[0]); ++i)
        load_image(card[i].path, &fpgas[card[i].fpga], &models[card[i].fpga]);
    return 0;
}
