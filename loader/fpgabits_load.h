/* fpgabits_load: loads configuration data into an FPGA from a microcontroller,
 * through the slave serial interface (or an SPI peripheral used as one) or
 * the 8-bit parallel slave interface ("parallel x8").
 *
 * C99, for any microcontroller: no heap, no global or static variables, no
 * operating system, nothing beyond <stddef.h> and <stdint.h>. The board is
 * reached only through the callbacks of a struct fpgabits_port that you fill
 * in. All state lives in a struct fpgabits_loader that you provide, on the
 * stack or in static memory.
 *
 * Wiring (pins of the FPGA; docs/loader.md shows both interfaces):
 *   PROG_B  your output, driven low to start a configuration.
 *   INIT_B  your input, open drain with a pull-up: low while the device
 *           clears its memory, high when it is ready, low again on a CRC or
 *           IDCODE error. Never drive it.
 *   DONE    your input, open drain with a pull-up: goes high when the device
 *           has started up.
 *   CCLK    your output: the device takes data on its rising edge.
 *   DIN     serial data (SPI MOSI, mode 0), most significant bit first.
 *   D[7:0]  parallel data, with CSI_B and RDWR_B held low while loading.
 *   M[2:0]  mode pins, strapped for the slave interface you use (see the
 *           device's configuration guide, which also gives the pull-ups).
 *
 * A full configuration:
 *
 *     struct fpgabits_loader loader;
 *     int error = fpgabits_load_begin(&loader, &port, FPGABITS_SERIAL);
 *     while (error == FPGABITS_OK && more data)
 *         error = fpgabits_load_write(&loader, chunk, chunk_size);
 *     if (error == FPGABITS_OK)
 *         error = fpgabits_load_end(&loader);
 *
 * or, with the whole configuration in memory, fpgabits_load(). Every function
 * returns FPGABITS_OK (0) or one of the negative errors below;
 * fpgabits_strerror() gives the text of each. Every function checks all of
 * its arguments before it calls a callback: a refused call leaves the pins
 * as they were. After an error, the load is over: start again with a begin.
 * An error after the reset leaves the device unconfigured (where the data
 * itself fails after the device has taken some, PROG_B pulses again); one
 * before it (an image refused before its data, a partial load refused at its
 * begin) leaves the device as it was. A partial load that fails leaves the
 * running device with what it took. */
#ifndef FPGABITS_LOAD_H
#define FPGABITS_LOAD_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The board, filled in by you. Every callback receives context back. */
struct fpgabits_port {
    void *context;
    /* Drives PROG_B: 0 low, 1 released high. */
    void (*prog_b)(void *context, int level);
    /* Reads INIT_B: 0 or 1; or a negative value, an error of the port's own
     * (a transfer of send() that failed, say), which the loader stops on and
     * returns (FPGABITS_ERR_PORT, or a code of yours). It is read after each
     * send(). */
    int (*init_b)(void *context);
    /* Reads DONE: 0 or 1. */
    int (*done)(void *context);
    /* Clocks count bytes into the device, in order. Serial: each byte most
     * significant bit first, one CCLK per bit (bit-banged GPIO, or an SPI
     * peripheral in mode 0). Parallel x8: one byte per CCLK, bit i of each
     * byte on D[i]; the loader has already ordered the bits as the device
     * wants them (see FPGABITS_PARALLEL8), so this is a plain bus write. The
     * loader passes whole buffers, at most 512 bytes (serial) or 128 bytes
     * (parallel x8) at a time.
     *
     * send() may return before the bytes are out, having started a DMA
     * transfer: the loader leaves them as they are until the next send()
     * returns (its own buffers in turn, a compressed stream's window a half
     * at a time), and calls done() after the last send() of a load. So a
     * port waits for its transfer at the start of the next send() and in
     * done(). The exception is data of yours that goes out as it is (serial
     * fpgabits_load_write(), and fpgabits_image_write() of a file that is not
     * compressed): keep such a chunk unchanged until your next call of the
     * loader returns, with two buffers in turn, or finish the transfer
     * before send() returns. A call that sends nothing calls done() before
     * it returns, so the rule holds whatever the chunks hold. */
    void (*send)(void *context, const unsigned char *bytes, size_t count);
    /* A free-running 32-bit count of microseconds, which wraps from
     * 0xffffffff to 0. The loader waits by polling it together with INIT_B
     * and DONE: micros() and init_b() are called throughout every wait, so
     * either is the place to kick a watchdog. A counter of fewer bits wraps
     * too early (a 16-bit one after 65 ms, which shortens the waits and
     * gives a false FPGABITS_ERR_INIT): widen it, by counting its overflows
     * in its interrupt, or in micros() itself, adding 0x10000 whenever the
     * value read is below the one read before (the loader reads it far more
     * often than it wraps). A counter that does not run (a timer never
     * started) is reported as FPGABITS_ERR_CLOCK, not waited on for ever. */
    uint32_t (*micros)(void *context);

    /* JTAG (FPGABITS_JTAG): TCK, TMS, TDI and TDO of the chain that holds the
     * FPGA. These members are read only by calls that name FPGABITS_JTAG, and
     * prog_b, init_b, done and send may then be NULL; micros is used too.
     *
     * One TCK cycle: TMS and TDI are set while TCK is low, TDO is read, then
     * TCK goes high (the device samples TMS and TDI) and low again. Returns
     * the TDO it read, 0 or 1, or a negative value: an error of the port's
     * own, which the loader stops on and returns (FPGABITS_ERR_PORT, or a
     * code of yours). */
    int (*tck)(void *context, int tms, int tdi);
    /* The other devices of the chain: between TDI and the FPGA, and between
     * the FPGA and TDO, how many and their instruction registers' lengths
     * added up; zero for a chain of the FPGA alone. The loader keeps them in
     * BYPASS. */
    struct fpgabits_chain_side {
        unsigned devices, ir_bits;
    } tdi_side, tdo_side;
    /* Optional, NULL for none: count x 8 TCK cycles with TMS low, each byte's
     * most significant bit first on TDI, TDO ignored (an SPI peripheral in
     * mode 0 on TCK and TDI, with TMS held low), for the long scans of
     * configuration data. It may return before the bits are out, as send()
     * may, but they are out before the next tck() or shift() returns; a
     * shift() of no bytes waits for them. Returns 0, or a negative error of
     * the port's own as tck() does. */
    int (*shift)(void *context, const unsigned char *bytes, size_t count);
};

enum fpgabits_interface {
    /* Slave serial: DIN and CCLK, or SPI mode 0. */
    FPGABITS_SERIAL,
    /* Parallel x8 slave: the device takes the most significant bit of each
     * configuration byte on D0, so the loader reverses the bits of every byte
     * before send() puts it on D[7:0]. Wire D[i] of the device to bit i of
     * your bus. */
    FPGABITS_PARALLEL8,
    /* JTAG: TCK, TMS, TDI and TDO through tck() (and shift() where the port
     * has it), in a chain of any devices described by tdi_side and tdo_side.
     * The loader checks the chain and reads the silicon's IDCODE before it
     * shifts any instruction (JPROGRAM, which erases the device, comes
     * last), and leaves the TAP in Test-Logic-Reset. */
    FPGABITS_JTAG
};

/* Errors, with what to check on the board. */
enum fpgabits_error {
    FPGABITS_OK = 0,
    /* A null pointer, a missing callback, an unknown interface, or calls out
     * of order (a write or end without a begin, or after the end): check the
     * code. */
    FPGABITS_ERR_ARGUMENT = -1,
    /* INIT_B did not go low after PROG_B went low, or did not rise again in
     * time, or was low when a partial load began: check power, the PROG_B
     * and INIT_B wiring, INIT_B's pull-up, the mode pins, and that nothing
     * holds INIT_B low. */
    FPGABITS_ERR_INIT = -2,
    /* DONE was high after the reset: check DONE's wiring and that PROG_B
     * reaches the device. */
    FPGABITS_ERR_DONE_HIGH = -3,
    /* INIT_B went low while loading or at the end: the data is corrupt or is
     * for another device (its CRC or IDCODE check failed). Check the
     * bitstream against the board's device, and the CCLK and data lines. The
     * loader stops sending at once. An image reader's check pass gives it
     * for data whose own CRC check fails, as the device would. Over JTAG,
     * where DONE stays low (or a partial load finds INIT low), the loader
     * reads the status register, and gives this for a CRC error it shows. */
    FPGABITS_ERR_CRC = -4,
    /* All data was sent and INIT_B stayed high, but DONE did not rise: the
     * device never saw the sync word (bit order, mode pins, CCLK edge), or the
     * data is incomplete. For a partial load: DONE was low, the device is
     * not configured. */
    FPGABITS_ERR_NO_DONE = -5,
    /* fpgabits_idcode(): the data writes no IDCODE, as in the oldest device
     * families, or is no configuration data. */
    FPGABITS_ERR_NO_IDCODE = -6,
    /* The compressed data is corrupt or cut short; or an image file is cut
     * short (a bitstream file whose data ends before its length, a gzip file
     * without its end) or fails its gzip CRC-32 or size, or a gzip member
     * after content has a header that breaks the rules: check the flash
     * image or the file. */
    FPGABITS_ERR_STREAM = -7,
    /* micros() returned the same value 2^20 times in a row: the microsecond
     * counter does not run. Check that its timer is started and clocked. */
    FPGABITS_ERR_CLOCK = -8,
    /* An image is none of a bitstream file, a gzip file and raw
     * configuration data, or breaks their rules (a bitstream header, a gzip
     * header, no sync word in the first 1 KiB of data), or holds data with
     * the bits of each byte reversed (55 99 AA 66 for the sync word), as
     * made for a bus wired the other way round; or it is a partial
     * configuration (PARTIAL=TRUE in its design name) given to a full load. */
    FPGABITS_ERR_FORMAT = -9,
    /* An image is for another device: its header's device type does not
     * contain the text asked for (or it has no header to tell), or its
     * IDCODE differs from the one asked for (or it writes none). Over JTAG:
     * the data's IDCODE is not the silicon's, or the status register shows
     * an IDCODE error after a load that failed. */
    FPGABITS_ERR_DEVICE = -10,
    /* Compressed data reaches further back than the window that the work
     * area holds: give a larger one, FPGABITS_INFLATE_WORK_SIZE(window) or
     * FPGABITS_IMAGE_WORK_SIZE(window) with the window that the data was made
     * with (32768 for files of the standard gzip). */
    FPGABITS_ERR_WINDOW = -11,
    /* JTAG: the chain does not answer as tdi_side and tdo_side describe it
     * (no IDCODE of an FPGA at its place, other devices than described, an
     * instruction register of no length the FPGA can have or without its
     * capture bits 01), or TDO is stuck high or low: check the wiring of TCK,
     * TMS, TDI and TDO and the description of the chain. No instruction but
     * BYPASS has reached any device. */
    FPGABITS_ERR_CHAIN = -12,
    /* A callback of the port reported an error of its own (init_b(), tck()
     * or shift() returned it): see the port. */
    FPGABITS_ERR_PORT = -13,
    /* JTAG: the FPGA is one that this release does not load over JTAG:
     * several dies in one package, or a family of the oldest devices (an
     * instruction register of 5 bits). Nothing was shifted into it. */
    FPGABITS_ERR_UNSUPPORTED = -14,
    /* fpgabits_runs(): whether the device runs the image cannot be told: the
     * interface reads nothing back, or the image records neither a
     * user-access value nor a USERCODE to compare. */
    FPGABITS_ERR_UNDECIDED = -15
};

/* The loader's state. Its members are private; it is declared here only so
 * that it can live on the stack or in static memory. */
struct fpgabits_loader {
    const struct fpgabits_port *port; /* the board */
    uint32_t open;                    /* a mark set by begin, cleared by end */
    int status;                       /* FPGABITS_OK, or the error that ended the load */
    int interface;                    /* enum fpgabits_interface */
    int partial;                      /* begun with fpgabits_load_begin_partial() */
    int turn;                         /* the buffer used last */
    int borrowed;                     /* the last send() or shift() was of the caller's bytes, which may still go out */
    int sent;                         /* send() or shift() was called in the current call of the loader */
    unsigned ir_bits;                 /* JTAG: the length of the FPGA's instruction register */
    uint32_t idcode;                  /* JTAG: the silicon's IDCODE */
    unsigned char buffer[2][128];     /* bit-reversed bytes for parallel x8, or 0xff, in turn */
};

/* Resets the device and waits until it is ready for data: drives PROG_B low
 * until INIT_B follows (at least 10 us), releases it, waits for INIT_B to rise
 * (each for up to 1 s), checks that DONE is low, and waits 10 ms more. */
int fpgabits_load_begin(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                        enum fpgabits_interface interface);

/* Begins loading a partial configuration into a device that is configured and
 * running: PROG_B is left alone, which would erase the device. INIT_B and
 * DONE must be high: otherwise nothing is sent, and the result is
 * FPGABITS_ERR_INIT (INIT_B low; over JTAG the error the status register
 * shows, where it shows one) or FPGABITS_ERR_NO_DONE (DONE low: the device
 * is not configured). Then write and end as for a full configuration;
 * a CRC error shows on INIT_B even though DONE stays high. */
int fpgabits_load_begin_partial(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                                enum fpgabits_interface interface);

/* Sends size bytes of configuration data, unchanged and in order: chunks of
 * any size, one byte included, make the same stream as one write. Between
 * buffers it watches INIT_B, and stops at the first sign of a CRC error. */
int fpgabits_load_write(struct fpgabits_loader *loader, const void *data, size_t size);

/* Ends the load: clocks 0xFF bytes until DONE rises (for up to 200 ms), then
 * 64 more clocks for the device's start-up, after which DONE must still be
 * high. INIT_B low on the way means a CRC error; once DONE is high it means
 * nothing. A partial load only gets the 64 clocks, and must leave INIT_B and
 * DONE high. The loader is closed after. */
int fpgabits_load_end(struct fpgabits_loader *loader);

/* A full configuration from data in memory: begin, one write and end. */
int fpgabits_load(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data, size_t size);

/* Finds the IDCODE that the configuration data writes: the device it is for,
 * in the format of the JTAG IDCODE (version, device, maker, 1), to compare
 * with the board's device before loading (compare bits 27:0; the files often
 * write version 0). Some 16 nm devices with a processor (device types zu...)
 * write a value that differs from the IDCODE that JTAG reads: compare with
 * what their streams write. On FPGABITS_ERR_NO_IDCODE, *idcode is 0. */
int fpgabits_idcode(const void *data, size_t size, uint32_t *idcode);

/* Reads the IDCODE of the FPGA's silicon over JTAG, after checking the chain
 * as a load does, and leaves the TAP in Test-Logic-Reset: nothing else
 * happens to the device. The serial and parallel x8 interfaces cannot read
 * it: FPGABITS_ERR_ARGUMENT. Loads over JTAG compare it with the IDCODE that
 * their data writes, where they know it before the reset. */
int fpgabits_read_idcode(const struct fpgabits_port *port, enum fpgabits_interface interface, uint32_t *idcode);

/* What the device runs, as far as the interface can read it. */
struct fpgabits_status {
    /* The members that were read, as FPGABITS_READ_ bits; the others are
     * 0 and mean nothing. */
    unsigned read;
    uint32_t idcode;     /* the silicon's IDCODE (JTAG) */
    int done;            /* DONE high: the device is configured and started */
    int init;            /* INIT high: its memory is clear and it shows no error */
    uint32_t stat;       /* the status register as read */
    uint32_t usr_access; /* the user-access value (AXSS), where the family has one */
    uint32_t usercode;   /* the USERCODE (JTAG) */
    uint32_t bootsts;    /* the boot status register, where the family has one */
    /* From the status register, as its family lays it out: */
    unsigned errors;   /* FPGABITS_STATUS_ bits of the errors it shows */
    int startup_state; /* the start-up sequence's phase, 0 to 7; -1 where not read */
};

/* Bits of struct fpgabits_status's read. */
#define FPGABITS_READ_IDCODE 0x01u
#define FPGABITS_READ_DONE 0x02u
#define FPGABITS_READ_INIT 0x04u
#define FPGABITS_READ_STAT 0x08u
#define FPGABITS_READ_USR_ACCESS 0x10u
#define FPGABITS_READ_USERCODE 0x20u
#define FPGABITS_READ_BOOTSTS 0x40u

/* Bits of struct fpgabits_status's errors. */
#define FPGABITS_STATUS_CRC_ERROR 0x01u     /* a configuration CRC check failed */
#define FPGABITS_STATUS_ID_ERROR 0x02u      /* the data's IDCODE is not the device's */
#define FPGABITS_STATUS_DECRYPT_ERROR 0x04u /* decryption or a security check failed */
#define FPGABITS_STATUS_AUTH_ERROR 0x08u    /* authentication failed */

/* Reads what the device runs without disturbing it. Over JTAG: the chain is
 * checked as a load does, then the silicon's IDCODE, DONE and INIT from the
 * instruction register's capture, the USERCODE, and, where the device's
 * family is known by its IDCODE, the status register, the user-access value
 * and the boot status through CFG_IN and CFG_OUT, each read ended with a
 * DESYNC; the TAP is left in Test-Logic-Reset. Over the serial and parallel
 * x8 interfaces: DONE and INIT_B from their pins (a readback would need
 * pins that the design may use). Returns FPGABITS_OK whenever it could
 * read, a blank device included (done 0); over JTAG a chain that does not
 * answer as described is FPGABITS_ERR_CHAIN, a device that cannot be
 * loaded over JTAG (several dies, the oldest family) FPGABITS_ERR_UNSUPPORTED,
 * as for a load. */
int fpgabits_status(const struct fpgabits_port *port, enum fpgabits_interface interface,
                    struct fpgabits_status *status);

struct fpgabits_image_info;

/* Whether the device runs the image of info (an image reader's, or one
 * filled by hand): 1 when DONE is high, the silicon's IDCODE is the image's
 * (bits 27:0) and so is its user-access value, or where the image records
 * none its USERCODE; 0 when it does not; FPGABITS_ERR_UNDECIDED when that
 * cannot be told: the interface reads no IDCODE or user values back (but
 * DONE low is a 0), or the image records neither (a user-access value of 0
 * and a USERCODE of FFFFFFFF, as by default, never match). A boot that finds
 * the right design running skips the load. */
int fpgabits_runs(const struct fpgabits_port *port, enum fpgabits_interface interface,
                  const struct fpgabits_image_info *image);

/* One line that names what the status register shows: "CRC error", "the
 * data's IDCODE is not this device's", "decryption error", "startup did not
 * finish: check the bitstream's startup clock", or that it shows no error
 * or was not read. */
const char *fpgabits_cause(const struct fpgabits_status *status);

/* Compressed configurations: fpgabits_add_bitstream(... COMPRESS) stores the
 * data as raw DEFLATE (RFC 1951), made with a window of <NAME>_WINDOW bytes,
 * and these functions inflate it with a work area that you provide, on the
 * stack or in static memory, of <NAME>_WORK_SIZE bytes, which is
 * FPGABITS_INFLATE_WORK_SIZE(<NAME>_WINDOW) (the window and 2,176 bytes of
 * state and tables), any alignment:
 *
 *     static unsigned char work[MAIN_FPGA_WORK_SIZE];
 *
 * A work area serves streams made with a window of up to W bytes, the
 * largest power of two with W + 1,792 bytes (the size that release 1.2
 * asked for) in the area; at least 512 + 1,792 bytes (a smaller one is
 * FPGABITS_ERR_ARGUMENT). With W + 2,176 bytes or more,
 * FPGABITS_INFLATE_WORK_SIZE(W), it has larger tables and is about twice as
 * fast. Both functions are safe on any data: a corrupt, cut or hostile
 * stream gives FPGABITS_ERR_STREAM, never an access outside the data and the
 * work area; one that reaches back further than the window that fits the
 * work area, FPGABITS_ERR_WINDOW. Neither uses the heap or recursion.
 *
 * Compiled to be small (-Os, or with FPGABITS_SMALL defined as 1), the
 * inflater leaves out the loop that decodes most of a stream, about 770
 * bytes of code, and decodes a step at a time, about half as fast;
 * FPGABITS_SMALL defined as 0 keeps the loop at any optimisation. */
#define FPGABITS_INFLATE_STATE_SIZE 2176
#define FPGABITS_INFLATE_WORK_SIZE(window) ((size_t)(window) + FPGABITS_INFLATE_STATE_SIZE)

/* Inflates the data straight into the device, a window at a time: a full
 * configuration as fpgabits_load() makes it. On FPGABITS_ERR_STREAM or
 * FPGABITS_ERR_WINDOW it stops sending and pulses PROG_B: the device is
 * unconfigured, even where the data it had taken so far let it start. */
int fpgabits_load_deflate(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data,
                          size_t size, void *work, size_t work_size);

/* Inflates the data without loading it, for the size and the CRC-32 (as gzip
 * computes it) of what the device would receive: compare them with
 * <name>_config_size and <name>_crc32 to check the flash at boot, before the
 * device is reset. On FPGABITS_ERR_STREAM or FPGABITS_ERR_WINDOW, they are
 * those of the part inflated before the error; on FPGABITS_ERR_ARGUMENT they
 * are not set. */
int fpgabits_inflate_check(const void *data, size_t size, void *work, size_t work_size, size_t *config_size,
                           uint32_t *crc32);

/* Image files, from wherever the firmware reads them (an SD card, external
 * flash, a link), in chunks of any size, 1 byte to megabytes:
 *
 *   - a bitstream file, its header read by the rules of fpgabits;
 *   - a gzip file (RFC 1952) of a bitstream file or of raw data, such as
 *     gzip or fpgabits_add_image(... COMPRESS) make, of one member or of
 *     several in a row, as gzip reads them;
 *   - raw configuration data: 0xFF padding, optionally the bus-width pattern
 *     00 00 00 BB 11 22 00 44 and more 0xFF, and the sync word within the
 *     first 1 KiB.
 *
 * Nothing reaches the device before the image has shown its format, its
 * header's device type and its IDCODE: the first configuration data (at most
 * 1 KiB) is held back until the IDCODE is found or frame data begins, and a
 * wrong device or IDCODE is refused with nothing moved. begin calls no
 * callback. PROG_B moves in the write that completes the hold-back, which
 * then also waits for the reset (as fpgabits_load_begin() does), or, for an
 * image shorter than that, in end. After an error nothing more is sent,
 * every later write returns the error, and end returns it too. An error
 * that a full load's image shows after the reset (a gzip CRC-32, a file cut
 * short) pulses PROG_B again, so that no design that failed its checks runs;
 * a partial load keeps what the device took.
 *
 * A check pass, with port NULL, runs the same chunks through everything but
 * the pins and fills the info, so that firmware can verify a new image on
 * external storage, or as it arrives, before it resets the device. It also
 * follows the configuration data as the device's configuration logic will,
 * and checks its CRCs as the device does: a copy with any byte of its data
 * changed gives FPGABITS_ERR_CRC (unless its CRC was turned off when it was
 * built: info.crc_checks then says 0):
 *
 *     struct fpgabits_image image;
 *     struct fpgabits_image_info info;
 *     static unsigned char work[FPGABITS_IMAGE_WORK_SIZE(1024)];
 *     int error = fpgabits_image_begin(&image, NULL, FPGABITS_SERIAL, "7a35t", 0, work, sizeof work);
 *     while (error == FPGABITS_OK && read a chunk)
 *         error = fpgabits_image_write(&image, chunk, chunk_size);
 *     error = fpgabits_image_end(&image, &info);
 *
 * then, if it passed, the same again with the port to load it. */

/* The work area of an image reader: the held-back data, the input kept for
 * the inflater, the inflater's tables and a window for gzip files made with
 * a window of up to window bytes (32768 for the standard gzip; the window
 * given to fpgabits_add_image(... COMPRESS WINDOW)), any alignment; at
 * least FPGABITS_IMAGE_WORK_SIZE(512). A gzip file that reaches back further
 * gives FPGABITS_ERR_WINDOW. */
#define FPGABITS_IMAGE_STATE_SIZE (FPGABITS_INFLATE_STATE_SIZE + 1536)
#define FPGABITS_IMAGE_WORK_SIZE(window) ((size_t)(window) + FPGABITS_IMAGE_STATE_SIZE)

/* What an image holds, as far as it was read. */
struct fpgabits_image_info {
    /* The texts that fpgabits writes as FPGAappl, FPGAtype and FPGAdate for
     * a bitstream file (unescaped: "design", "device", "date time"); "" for
     * raw data. */
    char design[32], device[32], date[32];
    size_t config_size; /* bytes of configuration data */
    uint32_t crc32;     /* their CRC-32, as gzip computes it: by the check pass only, 0 when loading */
    uint32_t idcode;    /* as fpgabits_idcode() finds it in the held-back data; 0 where none */
    /* The configuration CRC checks of the data that the check pass found
     * right, the device's own (CRC writes, the words after frame data that
     * some families check, and those of streams nested in the data for the
     * other dies of a package); 0 when loading. An image without any was
     * built with its CRC turned off: a corrupt copy of it loads unnoticed. */
    unsigned crc_checks;
    /* The user-access value (AXSS) that the data writes before its frame
     * data, as one word to register 0D of a CRC-32C stream; 0 where it
     * writes none. */
    uint32_t usr_access;
    /* The USERCODE that a bitstream file's design name records
     * ("UserID=0x..."); FFFFFFFF where it records none. */
    uint32_t usercode;
};

/* The image reader's state. Its members are private; they are declared here
 * only so that the state can live on the stack or in static memory. */

/* One configuration stream as the check pass reads it, as the device's
 * configuration logic does: the file's own, or one that it carries for
 * another die of the package. */
struct fpgabits_stream_level {
    /* The running check of each kind of stream still possible: CRC-32C or
     * the 22-bit check, and CRC-16 with five and with four address bits. */
    uint32_t crc[3];
    uint32_t left;        /* data words of the packet still to come, or its long count being read */
    uint32_t high;        /* the first half of a two-word CRC value in a 16-bit stream */
    uint32_t sync;        /* the last bytes or words, while looking for the sync word */
    unsigned char state;  /* looking for the sync word, its width, or reading packets */
    unsigned char reg;    /* the register of the packet */
    unsigned char write;  /* the packet writes */
    unsigned char counts; /* words of a 16-bit stream's long count still to come */
    unsigned char checks; /* words after frame data that the device checks, still to come */
    unsigned char halves; /* halves of a two-word CRC value read */
};

#define FPGABITS_STREAM_LEVELS 4

struct fpgabits_stream {
    struct fpgabits_stream_level level[FPGABITS_STREAM_LEVELS]; /* the file's stream, and those it carries */
    uint32_t word;              /* bytes of the file's stream that make no whole word yet, the last lowest */
    uint32_t idcode;            /* the IDCODE that it writes, as far as read */
    unsigned bytes;             /* bytes in word */
    unsigned kind;              /* the kinds of stream it may still be, by their checks */
    unsigned checks;            /* CRC checks passed */
    uint32_t usr_access;        /* the last word written alone to the user-access register, or 0 */
    int found;                  /* FPGABITS_OK once the IDCODE is read, FPGABITS_ERR_NO_IDCODE where frame
                                 * data comes first; FPGABITS_IDCODE_SYNCED before either */
    unsigned char idcode_words; /* words of the IDCODE still to come */
    unsigned char axss;         /* the next data word is written alone to the user-access register */
    unsigned char framed;       /* frame data has begun */
    unsigned char verify;       /* the CRC checks are computed */
};

struct fpgabits_image {
    int status;            /* FPGABITS_OK, or the first error */
    int outer;             /* the stage of the file: gzip header, DEFLATE, trailer, or the file as it is */
    int inner;             /* the stage of the content: bitstream header, data, or raw data */
    int decided;           /* the held-back data was let go */
    int partial;           /* begun with fpgabits_image_begin_partial() */
    int partial_marked;    /* the design name says PARTIAL=TRUE */
    int matched;           /* characters of PARTIAL=TRUE matched in the design name; -1 after its end */
    int userid;            /* characters of USERID=0X matched in it, then those and its hexadecimal digits; -1 after */
    int interface;         /* enum fpgabits_interface */
    unsigned field;        /* the header field being read, 0 to 4 */
    unsigned count;        /* bytes of the inner stage read */
    unsigned flags;        /* the gzip header's flags */
    unsigned outer_count;  /* bytes of the outer stage read */
    uint32_t open;         /* a mark set by begin, cleared by end */
    uint32_t left;         /* bytes of the header field or the data still to come */
    uint32_t value;        /* a gzip field's value being read */
    uint32_t idcode;       /* the IDCODE asked for; 0 for any */
    uint32_t header_crc;   /* CRC-32 of the gzip header so far */
    uint32_t content_crc;  /* CRC-32 of the gzip member's content so far */
    uint32_t content_size; /* its size, modulo 2^32 */
    size_t kept;           /* input kept in the work area for the stage after */
    size_t held;           /* configuration data held back */
    size_t work_size;      /* of the work area */
    unsigned char *work;   /* the caller's work area */
    struct fpgabits_inflater *inflater; /* in the work area, for a gzip file */
    const struct fpgabits_port *port;   /* NULL for a check pass */
    const char *device;                 /* the device type asked for; NULL for any */
    char date[16], time[16];            /* the header's texts, before they make info.date */
    struct fpgabits_image_info info;    /* what was read */
    struct fpgabits_stream stream;      /* the configuration stream, followed by the check pass */
    struct fpgabits_loader loader;      /* the load, once the held-back data is let go */
};

/* Begins reading an image. port NULL: a check, which calls no callback.
 * device NULL or "": any device type; else the header's device type must
 * contain it, in any case (as fpgabits_add_bitstream(... DEVICE) does), and
 * raw data, which has no header, is refused; the text must stay valid until
 * end.
 * idcode 0: any; else bits 27:0 of the IDCODE that the data writes must be
 * the same. A bitstream whose design name says PARTIAL=TRUE is refused
 * (FPGABITS_ERR_FORMAT): loaded after a reset, it leaves the device
 * unconfigured. */
int fpgabits_image_begin(struct fpgabits_image *image, const struct fpgabits_port *port,
                         enum fpgabits_interface interface, const char *device, uint32_t idcode, void *work,
                         size_t work_size);

/* The same for a partial configuration, loaded into a running device as
 * fpgabits_load_begin_partial() does, leaving PROG_B alone. A bitstream file
 * must say PARTIAL=TRUE in its design name (else FPGABITS_ERR_FORMAT); raw
 * data, which has no header to say it, is the caller's to choose. */
int fpgabits_image_begin_partial(struct fpgabits_image *image, const struct fpgabits_port *port,
                                 enum fpgabits_interface interface, const char *device, uint32_t idcode, void *work,
                                 size_t work_size);

/* The next size bytes of the image. Bytes after a bitstream file's data, or
 * after the last gzip member (a byte other than 1F after a member), are not
 * read: the padding of flash and SD card images does no harm. */
int fpgabits_image_write(struct fpgabits_image *image, const void *data, size_t size);

/* Ends the image: an image cut short is an error; the load ends as
 * fpgabits_load_end() ends it. Fills info (when not NULL) with what was
 * read, after an error too, and returns the first error. Safe after a
 * failed begin. */
int fpgabits_image_end(struct fpgabits_image *image, struct fpgabits_image_info *info);

/* One line of text for an error, such as "CRC error: corrupt, or another
 * device". */
const char *fpgabits_strerror(int error);

#ifdef __cplusplus
}
#endif

#endif
