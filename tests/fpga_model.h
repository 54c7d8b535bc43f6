/* A model of an FPGA's configuration logic behind the pins of a struct
 * fpgabits_port, on a virtual clock, for the loader's tests, the firmware
 * example, and the tests of users' ports and firmware on the build machine
 * (installed as fpgabits::model). It plays one device, named by the device
 * type of a bitstream header, and checks what the device would: INIT_B low
 * while PROG_B is low and while the memory clears, no CCLK before INIT_B is
 * high, the sync word, the packets, the CRC checks and the IDCODE of the
 * device's family, INIT_B low on a failed check, DONE after START and a few
 * start-up clocks, and the clocks after DONE. What a real device would not
 * take is recorded as a violation.
 *
 * It also plays a JTAG chain (IEEE 1149.1) that holds the device's TAP
 * between other devices, through the port's tck() and shift(): IDCODE,
 * USERCODE, BYPASS, CFG_IN (the configuration logic takes the bits as over
 * the serial interface, TCK for CCLK, and read packets too), CFG_OUT (the
 * words that a read packet asked for: the status register STAT, IDCODE, the
 * user-access register AXSS, BOOTSTS), JPROGRAM (as a PROG_B pulse) and
 * JSTART (the start-up, clocked by TCK in Run-Test/Idle). C99. */
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
    /* JTAG: the instruction register's length, 5, 6, 10 or 14 bits, or 6
     * bits for each die of a package of several (some add bits of ones) */
    unsigned ir_bits;
    unsigned dies; /* 1, or the dies whose 6-bit fields the instruction register holds */
};

/* The states of a TAP, as the 1149.1 standard names them. */
enum fpga_tap_state {
    FPGA_TAP_RESET, /* Test-Logic-Reset */
    FPGA_TAP_IDLE,  /* Run-Test/Idle */
    FPGA_TAP_SELECT_DR,
    FPGA_TAP_CAPTURE_DR,
    FPGA_TAP_SHIFT_DR,
    FPGA_TAP_EXIT1_DR,
    FPGA_TAP_PAUSE_DR,
    FPGA_TAP_EXIT2_DR,
    FPGA_TAP_UPDATE_DR,
    FPGA_TAP_SELECT_IR,
    FPGA_TAP_CAPTURE_IR,
    FPGA_TAP_SHIFT_IR,
    FPGA_TAP_EXIT1_IR,
    FPGA_TAP_PAUSE_IR,
    FPGA_TAP_EXIT2_IR,
    FPGA_TAP_UPDATE_IR
};

/* Another device of the JTAG chain: set ir_bits, idcode and ir_capture; the
 * model keeps the rest. */
struct fpga_chain_device {
    unsigned ir_bits;    /* its instruction register: 2 to 64 bits */
    uint32_t idcode;     /* its IDCODE register's value (bit 0 is 1), or 0: none, BYPASS after Test-Logic-Reset */
    uint32_t ir_capture; /* what Capture-IR loads above the two lowest bits, which are 01 whatever this holds */
    /* State: its registers, and 1 once an instruction was taken since
     * Test-Logic-Reset (BYPASS: another is a violation); 0, the reset's
     * instruction, IDCODE where it has one, else BYPASS. */
    uint64_t ir, dr;
    int bypass;
};

#define FPGA_CHAIN_MAX 8 /* other devices on each side of the FPGA */

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
    uint64_t clear_ns;        /* to clear the memory after PROG_B rises or JPROGRAM: 2 ms; UINT64_MAX, for ever */
    uint64_t deaf_ns;         /* after INIT_B rises, CCLK is ignored this long: 0 */
    uint64_t startup_ns;      /* DONE rises no sooner after the start-up began: 0 */
    /* The start-up's phase, 0 to 7, that it never leaves, as one that waits
     * for a clock to lock: DONE rises only in phase 4 or later. 7, the end:
     * none. */
    int startup_stalls_in;
    uint32_t micros_offset;   /* the microsecond counter's value at time 0 */
    uint32_t micros_stuck;    /* reads that return one value before the counter runs on: 0 */
    uint64_t micros_stuck_ns; /* when the counter stands still: 0, at its first read */
    uint64_t micros_read_ns;  /* each read of the counter takes: 1 us, a slow CPU */
    uint64_t watchdog_ns;     /* a watchdog kicked by each read of INIT_B bites after: 0, none */
    /* JTAG: the other devices of the chain, before fpga_model_port(), in
     * the order of the bits from TDI to TDO: tdi_side[0] takes TDI, and
     * tdo_side[tdo_devices - 1] drives TDO. None by default. */
    struct fpga_chain_device tdi_side[FPGA_CHAIN_MAX], tdo_side[FPGA_CHAIN_MAX];
    unsigned tdi_devices, tdo_devices;
    uint32_t jtag_idcode;              /* the IDCODE that JTAG reads: the device's, or 0fffe093 where it is not known */
    uint32_t usercode;                 /* what USERCODE reads, as a bitstream sets it: FFFFFFFF */
    int tdo_stuck_low, tdo_stuck_high; /* TDO reads 0, or 1, whatever happens, as with a cut wire */
    /* As a port that sends by DMA after send() has returned, and waits for
     * it in the next send() and in done(): the bytes of each send() must
     * stay as they are until then; and those of each shift() until the
     * next tck() or shift(). */
    int dma;

    /* Pins and time. */
    uint64_t now_ns;
    uint64_t prog_b_fell_ns; /* when the last reset began: PROG_B fell, or JPROGRAM */
    uint64_t clear_until_ns, startup_began_ns, init_b_read_ns;
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
        int one_word; /* the packet writes one word, as a value of AXSS takes */
        uint32_t crc;
    } streams[4];
    int start_armed;
    long startup_clocks; /* since the start-up began; -1 before */

    /* The TAP: its state, the device's instruction and registers (the
     * data register is that of the instruction, of dr_bits bits), each
     * shifted out from its lowest bit. */
    enum fpga_tap_state tap;
    unsigned instruction; /* the code without the padding of ones: 09 IDCODE, 05 CFG_IN... */
    uint64_t ir, dr;
    unsigned dr_bits;
    unsigned out_bits; /* CFG_OUT: bits of the word in dr still to go out before the next word loads */

    /* Readback: the register that the last read packet named, its value
     * then, and the words of it that CFG_OUT has given of those asked. */
    unsigned read_register;
    uint32_t read_value;
    uint32_t read_words, read_given;
    /* Registers that reads find: the last word that the stream wrote alone
     * to AXSS (32C), 0 after a reset; and BOOTSTS, how the last
     * configuration ended in bits 7:0 (0 VALID: one was recorded, 4
     * ID_ERROR, 5 CRC_ERROR), the one before in 15:8, kept over resets. */
    uint32_t axss, bootsts;

    /* The bytes of the last send() or shift(), where dma is set. */
    const unsigned char *sent;
    size_t sent_count;
    unsigned char sent_copy[512];

    /* What it saw since PROG_B last fell. */
    unsigned long bytes, bytes_after_error, clocks_after_done;
    unsigned crc_checks, prog_b_pulses;
    uint32_t idcode_seen;
    /* Checks that failed: a CRC, the IDCODE. Over the serial and parallel
     * interfaces INIT_B falls too; over JTAG it does not, and DONE stays low. */
    int crc_error, id_error;
    unsigned long cfg_in_bits; /* shifted into the configuration logic through CFG_IN */
    unsigned jprograms;        /* JPROGRAM instructions taken, ever, as prog_b_pulses */
    unsigned long tck_cycles;  /* ever */
    char violation[160];       /* the first, or empty */
};

/* Plays the device of type, unconfigured and ready, on the serial or the
 * parallel x8 interface. Returns 0 for an unknown family. */
int fpga_model_init(struct fpga_model *model, const char *type, int parallel);

/* Points the callbacks of port at the model: context, prog_b, init_b, done,
 * send, micros, tck and shift; and describes the chain in tdi_side and
 * tdo_side, as the model's holds it then. */
void fpga_model_port(struct fpga_model *model, struct fpgabits_port *port);

/* TDO as it is between two TCK cycles: what the next tck() returns. */
int fpga_model_tdo(const struct fpga_model *model);

/* After a load: the first violation seen, counting a configuration that got
 * fewer than 64 clocks after DONE, or NULL. */
const char *fpga_model_violation(const struct fpga_model *model);

#ifdef __cplusplus
}
#endif

#endif
