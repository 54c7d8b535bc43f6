/* A model of an FPGA's configuration logic behind the pins of a struct
 * fpgabits_port, on a virtual clock, for the loader's tests, the firmware
 * example, and the tests of users' ports and firmware on the build machine
 * (installed as fpgabits::model). It plays one device, named by the device
 * type of a bitstream header, and checks what the device would: INIT_B low
 * while PROG_B is low and while the memory clears, no CCLK before INIT_B is
 * high, the sync word, the packets, the CRC checks and the IDCODE of the
 * device's family, INIT_B low on a failed check, DONE after START and a few
 * start-up clocks, and the clocks after DONE. What a real device would not
 * take is recorded as a violation. C99. */
#ifndef FPGA_MODEL_H
#define FPGA_MODEL_H

#include <stdint.h>

#include "fpgabits_load.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Device families by the check of their stream: CRC-32C, CRC-16 with
 * 5 address bits and an IDCODE, CRC-16 with 4 address bits and no IDCODE,
 * and the 22-bit check of the 16-bit streams with a full or a half sync word. */
enum fpga_group { FPGA_32C, FPGA_16A, FPGA_16N, FPGA_22F, FPGA_22H };

struct fpga_device {
    enum fpga_group group;
    int generation;  /* 32C only: 0 to 4, which sets the padding before the sync word */
    uint32_t idcode; /* as the stream writes it; 0 where the family has none, or where it is not known */
};

/* Finds the device of a device type such as "7a35tcsg324" or "xc3s500e-4".
 * Returns 0 when the family is not known. */
int fpga_device_of(const char *type, struct fpga_device *device);

/* The checks, one written word at a time: register address and data. */
uint32_t fpga_crc32c(uint32_t crc, unsigned address, uint32_t word);
uint32_t fpga_crc16(uint32_t crc, unsigned address_bits, unsigned address, uint32_t word);
uint32_t fpga_crc22(uint32_t crc, unsigned address, unsigned word);

struct fpga_model {
    /* What it plays, set by fpga_model_init(); the faults may be set after. */
    struct fpga_device device;
    int parallel;
    int init_b_stuck_low, init_b_stuck_high, done_stuck_high;
    int init_b_low_when_done; /* as after start-up, where INIT_B may serve other ends */
    int done_falls_at_read;   /* DONE, once high, reads low from this read on, as on a restart: 0, never */
    uint64_t clear_ns;        /* to clear the memory after PROG_B rises: 2 ms */
    uint64_t deaf_ns;         /* after INIT_B rises, CCLK is ignored this long: 0 */
    uint64_t startup_ns;      /* DONE rises no sooner after the start-up began: 0 */
    uint32_t micros_offset;   /* the microsecond counter's value at time 0 */
    uint32_t micros_stuck;    /* reads that return one value before the counter runs on: 0 */
    uint64_t micros_stuck_ns; /* when the counter stands still: 0, at its first read */
    uint64_t micros_read_ns;  /* each read of the counter takes: 1 us, a slow CPU */
    uint64_t watchdog_ns;     /* a watchdog kicked by each read of INIT_B bites after: 0, none */
    /* As a port that sends by DMA after send() has returned, and waits for
     * it in the next send() and in done(): the bytes of each send() must
     * stay as they are until then. */
    int dma;

    /* Pins and time. */
    uint64_t now_ns;
    uint64_t prog_b_fell_ns, clear_until_ns, startup_began_ns, init_b_read_ns;
    uint64_t micros_from_ns;  /* the counter counts from here: 0, later by the time it stood still */
    uint64_t micros_still_ns; /* the last read that stood still */
    uint32_t micros_reads;    /* that stood still */
    int prog_b, state, done;

    /* The stream. */
    uint64_t bits; /* bits received and not yet a word */
    int bit_count;
    uint32_t sync; /* the last 32 bits, while looking for the sync word */
    /* Its packets, and those of the streams that it carries, in whole words,
     * for the other dies of the package (written to register 1E). */
    struct fpga_stream {
        int synced;
        uint32_t sync;                /* a carried stream's last word, while looking for the sync word */
        unsigned reg, write;          /* the register and opcode of the packet */
        uint32_t words_left;          /* data words of the packet still to come */
        int count_words, check_words; /* long-count words, and auto-CRC words, to come */
        uint32_t high_word;           /* first half of a two-word value in 16-bit streams */
        int value_words;
        uint32_t crc;
    } streams[4];
    int start_armed;
    long startup_clocks; /* since the start-up began; -1 before */

    /* The bytes of the last send(), where dma is set. */
    const unsigned char *sent;
    size_t sent_count;
    unsigned char sent_copy[512];

    /* What it saw since PROG_B last fell. */
    unsigned long bytes, bytes_after_error, clocks_after_done;
    unsigned crc_checks, prog_b_pulses;
    uint32_t idcode_seen;
    char violation[160]; /* the first, or empty */
};

/* Plays the device of type, unconfigured and ready, on the serial or the
 * parallel x8 interface. Returns 0 for an unknown family. */
int fpga_model_init(struct fpga_model *model, const char *type, int parallel);

/* Points the callbacks of port at the model; those that it does not play
 * (JTAG's, fault()) become NULL. */
void fpga_model_port(struct fpga_model *model, struct fpgabits_port *port);

/* After a load: the first violation seen, counting a configuration that got
 * fewer than 64 clocks after DONE, or NULL. */
const char *fpga_model_violation(const struct fpga_model *model);

#ifdef __cplusplus
}
#endif

#endif
