/* What the loader's files share among themselves; not part of its contract.
 * See fpgabits_load.h. */
#ifndef FPGABITS_INTERNAL_H
#define FPGABITS_INTERNAL_H

#include "fpgabits_load.h"

/* Set to 1 where code is to be small rather than fast, as compilers set
 * __OPTIMIZE_SIZE__ at -Os; 0 or 1 chooses. */
#ifndef FPGABITS_SMALL
#ifdef __OPTIMIZE_SIZE__
#define FPGABITS_SMALL 1
#else
#define FPGABITS_SMALL 0
#endif
#endif

/* Takes the bytes that come out of the inflater, in order. */
typedef int (*fpgabits_sink)(void *context, const unsigned char *bytes, size_t size);

/* The inflater lives in a work area of FPGABITS_INFLATE_WORK_SIZE(window)
 * bytes: its state, then the window. It reads input as it comes, in chunks
 * of any size, and hands the window on to sink each time it is full. */
struct fpgabits_inflater;

/* Sets up an inflater for a new stream; NULL where the work area is too
 * small for the smallest window. With reversed set, the bits of each byte
 * come out in the other order, as parallel x8 wants them. */
struct fpgabits_inflater *fpgabits_inflate_start(void *work, size_t work_size, int reversed, fpgabits_sink sink,
                                                 void *context);

/* Inflates from *in up to end, and moves *in past what it used. Returns
 * FPGABITS_OK when it needs more input, FPGABITS_INFLATE_END once the last
 * block has ended and all its output has gone to the sink (*in then stands
 * at the first byte after the stream), or an error, which ends the stream.
 * Unless final is set, it leaves the last bytes, fewer than
 * FPGABITS_INFLATE_LOOKAHEAD, for a later call with more input after them;
 * with final set, there is no more input, and a stream that has not ended
 * is cut short. */
int fpgabits_inflate_run(struct fpgabits_inflater *inflater, const unsigned char **in, const unsigned char *end,
                         int final);
#define FPGABITS_INFLATE_END 1
/* The most input one step reads: a block header with dynamic codes. */
#define FPGABITS_INFLATE_LOOKAHEAD 288

/* CRC-32 as gzip computes it: start from 0, and pass each result back in
 * with the bytes that follow. */
uint32_t fpgabits_crc32(uint32_t crc, const unsigned char *bytes, size_t size);

/* Looks for the stream of configuration data that may go on, and follows
 * it as the device's configuration logic does, with stream, which then goes
 * on with fpgabits_stream_write(): FPGABITS_OK where it writes its IDCODE
 * (stream->idcode); FPGABITS_ERR_NO_IDCODE where frame data begins first;
 * where the data ends first, FPGABITS_IDCODE_UNSYNCED (no sync word yet)
 * or FPGABITS_IDCODE_SYNCED; FPGABITS_IDCODE_REVERSED where the sync word
 * comes with its bits reversed, as in data made for a bus wired the other
 * way round. With verify set, it checks the stream's CRCs as the device
 * does, and returns FPGABITS_ERR_CRC at the first that fails. */
int fpgabits_find_idcode(const unsigned char *bytes, size_t size, struct fpgabits_stream *stream, int verify);
#define FPGABITS_IDCODE_UNSYNCED 1
#define FPGABITS_IDCODE_SYNCED 2
#define FPGABITS_IDCODE_REVERSED 3

/* More of a stream that fpgabits_find_idcode() found, in writes of any
 * size: FPGABITS_OK, or FPGABITS_ERR_CRC where a check fails.
 * stream->checks counts those that passed. Without verify, it reads no
 * further than the first frame data. */
int fpgabits_stream_write(struct fpgabits_stream *stream, const unsigned char *bytes, size_t size);

/* Set to 0 to leave JTAG out of the loader, for firmware that never uses
 * it: FPGABITS_JTAG is then FPGABITS_ERR_ARGUMENT. */
#ifndef FPGABITS_WITH_JTAG
#define FPGABITS_WITH_JTAG 1
#endif

/* Times in microseconds. Where drivers disagree, the longest wait is taken:
 * waiting longer costs a little time at boot, too short a wait fails on the
 * largest devices. */
enum {
    /* PROG_B low: 300 ns to 500 ns are asked for. */
    FPGABITS_PROG_B_LOW_US = 10,
    /* Clearing the configuration memory: the drivers allow 10 ms to 1 s; a
     * large device takes tens of milliseconds. */
    FPGABITS_INIT_TIMEOUT_US = 1000000,
    /* After the memory is clear and before the first data: 0, 7.5 or 10 ms. */
    FPGABITS_READY_WAIT_US = 10000,
    /* From the end of the data until DONE rises: 10 ms to 200 ms. */
    FPGABITS_DONE_TIMEOUT_US = 200000,
    /* Clocks after DONE rises, for the rest of the start-up: 0, 8, 24 or 64;
     * the most recent guidance says 64. */
    FPGABITS_CLOCKS_AFTER_DONE = 64
};

/* The time of a wait, from micros(), which may wrap, and which must not
 * stand still. */
struct fpgabits_wait {
    const struct fpgabits_port *port;
    uint32_t start, last, reads; /* the first value, the last, and how often it was read in a row */
};
void fpgabits_wait_start(struct fpgabits_wait *wait, const struct fpgabits_port *port);
/* Microseconds since the wait started into *waited, or FPGABITS_ERR_CLOCK
 * where micros() stood still too long. */
int fpgabits_wait_time(struct fpgabits_wait *wait, uint32_t *waited);

/* How a load reaches the device: each interface is a row, described here
 * once, which the loader, the inflater and the image reader follow. */
struct fpgabits_link {
    /* Whether the port has the callbacks that the interface needs. */
    int (*port_ok)(const struct fpgabits_port *port);
    /* Resets the device and readies it for data, or for a partial load
     * checks that it runs. Where the interface can read the silicon's IDCODE,
     * refuses data whose IDCODE, idcode (0 where not known), is another
     * device's, before the reset. */
    int (*begin)(struct fpgabits_loader *loader, uint32_t idcode);
    /* Sends count bytes, in the order the device takes them, at most piece
     * of them; borrowed: they are the caller's, which may still go out when
     * it returns. */
    int (*send)(struct fpgabits_loader *loader, const unsigned char *bytes, size_t count, int borrowed);
    /* After the data: the clocks of the start-up, until DONE and after it. */
    int (*finish)(struct fpgabits_loader *loader);
    /* Waits for the caller's bytes that may still be going out. */
    void (*settle)(struct fpgabits_loader *loader);
    /* Resets the device after a full load's data failed after its reset. */
    void (*reset)(struct fpgabits_loader *loader);
    unsigned piece;         /* bytes that send() takes at most */
    unsigned char clocks;   /* configuration clocks a byte takes */
    unsigned char reversed; /* the bits of each byte go out in the other order */
};

/* fpgabits_status() over JTAG, its arguments checked but the port's. */
int fpgabits_jtag_status(const struct fpgabits_port *port, struct fpgabits_status *status);

/* The row of an interface, or NULL for none. */
const struct fpgabits_link *fpgabits_link_of(int interface);
extern const struct fpgabits_link fpgabits_jtag_link;

/* fpgabits_load_begin() and _begin_partial(), with the IDCODE that the data
 * writes where it is known (0 where not), which a load over JTAG compares
 * with the silicon's before the reset. */
int fpgabits_load_start(struct fpgabits_loader *loader, const struct fpgabits_port *port,
                        enum fpgabits_interface interface, int partial, uint32_t idcode);

/* fpgabits_load_write() for bytes already in the order the device takes
 * them: for parallel x8, with the bits of each byte reversed. */
int fpgabits_load_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size);

/* Sends count bytes of 0xff from the loader's own buffers in turn, as
 * configuration clocks with the data lines high. */
int fpgabits_load_ones(struct fpgabits_loader *loader, size_t count);

/* For a call of the loader that ends having sent nothing: the caller's
 * bytes of an earlier call that may still be going out have gone out once
 * it returns (done() waits for a port's transfer). */
void fpgabits_load_settle(struct fpgabits_loader *loader);

/* Ends a load that failed for its data after the reset, not for the
 * device: a full load pulses PROG_B, so that no design that failed its
 * checks is left running, and the device is unconfigured. Nothing happens
 * where the load is no longer open or already failed. */
void fpgabits_load_abort(struct fpgabits_loader *loader, int error);

#endif
