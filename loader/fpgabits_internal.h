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
 * stream->checks counts those that passed. */
int fpgabits_stream_write(struct fpgabits_stream *stream, const unsigned char *bytes, size_t size);

/* Whether a port has all its callbacks. */
int fpgabits_port_ok(const struct fpgabits_port *port);

/* fpgabits_load_write() for bytes already in the order the device takes
 * them: for parallel x8, with the bits of each byte reversed. */
int fpgabits_load_send(struct fpgabits_loader *loader, const unsigned char *bytes, size_t size);

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
