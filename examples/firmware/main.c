/* Firmware for a board with two FPGAs. It holds both configurations in flash,
 * the second one compressed, and the first one too when built with
 * MAIN_COMPRESS. At boot it checks what it holds: device, date, size and
 * CRC-32 of each, inflating a compressed one to see that the flash is intact.
 * Then it loads them, unless they already run what it holds: the main FPGA
 * over the serial interface, the I/O FPGA over the parallel x8 interface,
 * checking first that each is for the board's device by the IDCODE that the
 * build found in the data. Whether an FPGA already runs its design, as after
 * a restart of the processor alone, tells a boot that need not load it:
 * the main FPGA's JTAG port reads back the user-access value that the build
 * fingerprinted its data with; the I/O FPGA's design has a register that
 * the firmware writes after a load and reads at boot. Here the program boots
 * twice: the second boot loads nothing.
 *
 * Then it reads the image files of a card, 512 bytes at a time as from an SD
 * card: each is checked whole first (the image reader's check pass), and
 * loaded, with the same chunks, only if it is intact and for the FPGA's
 * device, so that a bad image leaves the FPGA running what it had; the main
 * FPGA's over JTAG. Here the card is the directory card/ of the working
 * directory, read with stdio (through semihosting in QEMU), where the build
 * wrote the images.
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
    uint32_t crc32, idcode, usr_access, usercode;
    size_t window; /* 0 where the data is stored as it is */
    enum fpgabits_interface interface;
    struct fpga_model model;
    /* The I/O FPGA's design register, which comes up 0 when the design
     * starts. Here it sits beside the model, and reads 0 once the model was
     * reset after it was written. */
    uint32_t design_register;
    unsigned written_at_reset;
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
    if (fpga->window == 0)
        crc = crc32(fpga->data, fpga->size);
    if ((fpga->window != 0 &&
         fpgabits_inflate_check(fpga->data, fpga->size, work, sizeof work, &size, &crc) != FPGABITS_OK) ||
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

static const char *interface_name(enum fpgabits_interface interface) {
    return interface == FPGABITS_PARALLEL8 ? "parallel x8" : interface == FPGABITS_JTAG ? "JTAG" : "serial";
}

static uint32_t read_design_register(const struct fpga *fpga) {
    return fpga->model.done && fpga->model.prog_b_pulses == fpga->written_at_reset ? fpga->design_register : 0;
}

/* Whether the FPGA runs the design in flash: over JTAG by the user-access
 * value, else by what the design's register holds. */
static int runs(struct fpga *fpga, const struct fpgabits_port *port) {
    struct fpgabits_image_info info;
    uint32_t value;
    if (fpga->interface == FPGABITS_SERIAL) {
        info.idcode = fpga->idcode;
        info.usr_access = fpga->usr_access;
        info.usercode = fpga->usercode;
        if (fpgabits_runs(port, FPGABITS_JTAG, &info) != 1)
            return 0;
        printf("%s: runs this design, user-access %08lx over JTAG: not loaded\n", fpga->name,
               (unsigned long)fpga->usr_access);
        return 1;
    }
    value = read_design_register(fpga);
    if (value != fpga->crc32)
        return 0;
    printf("%s: runs this design, its register reads crc32 %08lx: not loaded\n", fpga->name, (unsigned long)value);
    return 1;
}

static void configure(struct fpga *fpga) {
    unsigned char work[WORK_SIZE];
    struct fpgabits_port port;
    const char *result;
    int error;
    fpga_model_port(&fpga->model, &port);
    /* The board's device is the one the model plays. Bits 27:0 only: the
     * data often writes version 0 in bits 31:28. */
    if (((fpga->idcode ^ fpga->model.device.idcode) & 0x0fffffffu) != 0) {
        printf("%s: the data is not for this board's device\n", fpga->name);
        return;
    }
    if (runs(fpga, &port))
        return;
    if (fpga->window != 0) {
        error = fpgabits_load_deflate(&port, fpga->interface, fpga->data, fpga->size, work, sizeof work);
        result = error == FPGABITS_OK ? "configured" : fpgabits_strerror(error);
        printf("%s: %s over %s, %lu bytes inflated and sent", fpga->name, result, interface_name(fpga->interface),
               (unsigned long)fpga->config_size);
    } else {
        error = fpga->interface == FPGABITS_SERIAL ? load_in_chunks(&port, fpga)
                                                   : fpgabits_load(&port, fpga->interface, fpga->data, fpga->size);
        result = error == FPGABITS_OK ? "configured" : fpgabits_strerror(error);
        printf("%s: %s over %s, IDCODE %08lx, %lu bytes sent", fpga->name, result, interface_name(fpga->interface),
               (unsigned long)fpga->idcode, (unsigned long)fpga->size);
    }
    print_model(&fpga->model);
    if (error == FPGABITS_OK && fpga->interface == FPGABITS_PARALLEL8) {
        fpga->design_register = fpga->crc32;
        fpga->written_at_reset = fpga->model.prog_b_pulses;
    }
}

/* Reads an image file from its start, in chunks of 512 bytes, into the image
 * reader: with port NULL, the check pass. The image must be for the board's
 * device: the device type of the configuration in flash, and the IDCODE of
 * the device. Its work area, on the stack, serves the card's gzip files,
 * which the build made with a window of IMAGE_WINDOW bytes. The chunks take
 * two buffers in turn: a port may still be sending one by DMA until the
 * write after it returns. */
static int read_image(FILE *file, const struct fpgabits_port *port, enum fpgabits_interface interface,
                      const struct fpga *fpga, struct fpgabits_image_info *info) {
    unsigned char work[FPGABITS_IMAGE_WORK_SIZE(IMAGE_WINDOW)];
    unsigned char chunks[2][512];
    struct fpgabits_image image;
    size_t size;
    int turn = 0;
    int error =
        fpgabits_image_begin(&image, port, interface, fpga->device, fpga->model.device.idcode, work, sizeof work);
    rewind(file);
    while (error == FPGABITS_OK && (size = fread(chunks[turn], 1, sizeof chunks[turn], file)) > 0) {
        error = fpgabits_image_write(&image, chunks[turn], size);
        turn ^= 1;
    }
    return fpgabits_image_end(&image, info);
}

/* Checks an image file of the card, and loads it into the FPGA over the
 * interface if it is good: a line of what its header says, and one of the
 * check and the load. A refused image says nothing of the size and CRC-32
 * that the reader saw before the fault; the FPGA's model shows that it was
 * left alone. */
static void load_image(const char *path, struct fpga *fpga, enum fpgabits_interface interface) {
    struct fpgabits_image_info info;
    struct fpgabits_port port;
    FILE *file = fopen(path, "rb");
    int error;
    if (file == NULL) {
        printf("%s: cannot open\n", path);
        return;
    }
    error = read_image(file, NULL, interface, fpga, &info);
    if (ferror(file)) {
        printf("%s: cannot read\n", path);
        fclose(file);
        return;
    }
    printf("%s: design %s, device %s, built %s\n", path, info.design, info.device, info.date);
    if (error != FPGABITS_OK) {
        printf("  refused: %s\n  %s keeps IDCODE %08lx", fpgabits_strerror(error), fpga->name,
               (unsigned long)fpga->model.idcode_seen);
        print_model(&fpga->model);
    } else {
        printf("  %lu bytes, crc32 %08lx, IDCODE %08lx\n  ", (unsigned long)info.config_size, (unsigned long)info.crc32,
               (unsigned long)info.idcode);
        fpga_model_port(&fpga->model, &port);
        error = read_image(file, &port, interface, fpga, &info);
        printf("%s %s over %s", fpga->name, error == FPGABITS_OK ? "configured" : fpgabits_strerror(error),
               interface_name(interface));
        print_model(&fpga->model);
    }
    fclose(file);
}

/* The card's image files, the FPGA each is for, and the interface it goes
 * over: the main FPGA's, compressed, and the I/O FPGA's, which
 * fpgabits_add_image() wrote, and a copy of the first with one byte changed,
 * made by examples/test.sh and by the README's commands. */
static const struct {
    const char *path;
    int fpga;
    enum fpgabits_interface interface;
} card[] = {{"card/main.bit.gz", 0, FPGABITS_JTAG},
            {"card/io.bit", 1, FPGABITS_PARALLEL8},
            {"card/bad.bit.gz", 0, FPGABITS_JTAG}};

int main(void) {
    struct fpga fpgas[2];
    int boot, i;
    fpgas[0].name = "main";
    fpgas[0].device = main_fpga_device;
    fpgas[0].date = main_fpga_date;
    fpgas[0].data = main_fpga_data;
    fpgas[0].size = main_fpga_size;
    fpgas[0].config_size = main_fpga_config_size;
    fpgas[0].crc32 = main_fpga_crc32;
    fpgas[0].idcode = main_fpga_idcode;
    fpgas[0].usr_access = main_fpga_usr_access;
    fpgas[0].usercode = main_fpga_usercode;
#ifdef MAIN_FPGA_COMPRESSED
    fpgas[0].window = main_fpga_window;
#else
    fpgas[0].window = 0;
#endif
    fpgas[0].interface = FPGABITS_SERIAL;
    fpgas[1].name = "io";
    fpgas[1].device = io_fpga_device;
    fpgas[1].date = io_fpga_date;
    fpgas[1].data = io_fpga_data;
    fpgas[1].size = io_fpga_size;
    fpgas[1].config_size = io_fpga_config_size;
    fpgas[1].crc32 = io_fpga_crc32;
    fpgas[1].idcode = io_fpga_idcode;
    fpgas[1].usr_access = io_fpga_usr_access;
    fpgas[1].usercode = io_fpga_usercode;
    fpgas[1].window = io_fpga_window;
    fpgas[1].interface = FPGABITS_PARALLEL8;

    for (i = 0; i < 2; ++i)
        if (!report(&fpgas[i]))
            return 1;
    /* Power on: the FPGAs come up blank. */
    for (i = 0; i < 2; ++i)
        fpga_model_init(&fpgas[i].model, fpgas[i].device, fpgas[i].interface == FPGABITS_PARALLEL8);
    for (boot = 1; boot <= 2; ++boot) {
        printf("boot %d\n", boot);
        for (i = 0; i < 2; ++i)
            configure(&fpgas[i]);
    }
    for (i = 0; i < (int)(sizeof card / sizeof card[0]); ++i)
        load_image(card[i].path, &fpgas[card[i].fpga], card[i].interface);
    return 0;
}
