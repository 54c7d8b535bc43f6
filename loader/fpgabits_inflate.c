/* fpgabits_inflate: a raw DEFLATE decoder (RFC 1951) that streams
 * configuration data into the loader, with the window and tables in a work
 * area of the caller's. It takes its input in chunks of any size: a step
 * starts only once the input holds all it can read (a block header, or a
 * literal or match), or holds the last of the stream, so no step is ever
 * undone. See fpgabits_load.h and fpgabits_internal.h. */
#include "fpgabits_internal.h"

enum {
    MAX_BITS = 15,  /* longest Huffman code */
    LITERALS = 288, /* literal/length symbols, two of them never used */
    DISTANCES = 30,
    FAST_BITS = 8,      /* codes this short decode with one look-up */
    MIN_WINDOW = 512,   /* the smallest window that zlib makes streams with */
    MAX_WINDOW = 32768, /* the farthest a stream may reach back */
    ALIGNMENT = 8,      /* of the inflater in the work area */
    /* The input a literal or a match reads at most: codes of 15 bits, with
     * 5 and 13 extra bits, 48 bits. */
    SYMBOL_LOOKAHEAD = 8,
    /* The results of a step besides FPGABITS_OK and the errors. */
    MORE = 2 /* it needs more input */
};

/* Where the stream stands: before a block header, in a stored block, in a
 * block of codes, or after the last block. */
enum mode { BLOCK, STORED, CODES, DONE };

/* A canonical Huffman code: how many codes of each length, and the symbols
 * in code order. */
struct code {
    uint16_t count[MAX_BITS + 1];
    uint16_t *symbol;
};

struct fpgabits_inflater {
    const unsigned char *in, *end; /* the input of this run */
    int final;                     /* no more input after end */
    uint32_t bits;                 /* input bits not yet used, the next one lowest */
    unsigned bit_count;
    int mode, last;       /* enum mode; the block is the last one */
    unsigned stored_left; /* bytes of a stored block still to come */
    unsigned char *window;
    size_t window_size, at; /* the window, and where the next byte goes */
    size_t total;           /* bytes out so far */
    fpgabits_sink sink;
    void *context;
    /* The distance code serves as the code of the code lengths too. */
    struct code literal, distance;
    uint16_t literal_symbols[LITERALS], distance_symbols[DISTANCES];
    /* For the next FAST_BITS bits of input: the symbol and the length of a
     * literal code that short (length << 9 | symbol), or 0. */
    uint16_t fast[1 << FAST_BITS];
    unsigned char lengths[LITERALS + DISTANCES]; /* of a block's codes */
};

/* The work area holds the inflater, aligned, in its first
 * FPGABITS_INFLATE_STATE_SIZE bytes, and the window after them. */
typedef char
    inflater_fits_its_area[sizeof(struct fpgabits_inflater) + ALIGNMENT - 1 <= FPGABITS_INFLATE_STATE_SIZE ? 1 : -1];

static const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const unsigned char length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t distance_base[DISTANCES] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                  33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const unsigned char distance_extra[DISTANCES] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

/* Makes at least n bits (at most 25) available; 0 where the input ends first. */
static int need(struct fpgabits_inflater *s, unsigned n) {
    while (s->bit_count < n) {
        if (s->in == s->end)
            return 0;
        s->bits |= (uint32_t)*s->in++ << s->bit_count;
        s->bit_count += 8;
    }
    return 1;
}

/* Takes n bits, n at most 16, into *value. */
static int take(struct fpgabits_inflater *s, unsigned n, unsigned *value) {
    if (!need(s, n))
        return FPGABITS_ERR_STREAM;
    *value = s->bits & ((1u << n) - 1);
    s->bits >>= n;
    s->bit_count -= n;
    return FPGABITS_OK;
}

/* Builds a code from the code lengths of n symbols. Returns how many codes
 * are missing for it to be complete, or -1 where it has too many. */
static int build(struct code *c, const unsigned char *length, unsigned n) {
    uint16_t offset[MAX_BITS + 1];
    unsigned i;
    int left = 1;
    for (i = 0; i <= MAX_BITS; ++i)
        c->count[i] = 0;
    for (i = 0; i < n; ++i)
        ++c->count[length[i]];
    offset[1] = 0;
    for (i = 1; i <= MAX_BITS; ++i) {
        left = left * 2 - c->count[i];
        if (left < 0)
            return -1;
        if (i < MAX_BITS)
            offset[i + 1] = (uint16_t)(offset[i] + c->count[i]);
    }
    for (i = 0; i < n; ++i)
        if (length[i] != 0)
            c->symbol[offset[length[i]]++] = (uint16_t)i;
    return left;
}

/* Fills the look-up table for the short codes of c. Codes arrive first bit
 * first, so a code's entries are at its bits reversed. */
static void build_fast(uint16_t *fast, const struct code *c) {
    unsigned length, code = 0, index = 0, i;
    for (i = 0; i < 1u << FAST_BITS; ++i)
        fast[i] = 0;
    for (length = 1; length <= FAST_BITS; ++length, code <<= 1)
        for (i = 0; i < c->count[length]; ++i, ++code, ++index) {
            unsigned reversed = 0, bit, entry;
            for (bit = 0; bit < length; ++bit)
                reversed |= (code >> bit & 1) << (length - 1 - bit);
            for (entry = reversed; entry < 1u << FAST_BITS; entry += 1u << length)
                fast[entry] = (uint16_t)(length << 9 | c->symbol[index]);
        }
}

/* Decodes one symbol of c, a bit at a time. */
static int decode_slowly(struct fpgabits_inflater *s, const struct code *c) {
    int code = 0, first = 0, index = 0;
    unsigned length;
    need(s, MAX_BITS);
    for (length = 1; length <= MAX_BITS && length <= s->bit_count; ++length) {
        code |= (int)(s->bits >> (length - 1) & 1);
        if (code - c->count[length] < first) {
            s->bits >>= length;
            s->bit_count -= length;
            return c->symbol[index + (code - first)];
        }
        index += c->count[length];
        first = (first + c->count[length]) << 1;
        code <<= 1;
    }
    return FPGABITS_ERR_STREAM;
}

static int decode_literal(struct fpgabits_inflater *s) {
    if (need(s, FAST_BITS)) {
        const unsigned entry = s->fast[s->bits & ((1u << FAST_BITS) - 1)];
        if (entry != 0) {
            s->bits >>= entry >> 9;
            s->bit_count -= entry >> 9;
            return (int)(entry & 0x1ff);
        }
    }
    return decode_slowly(s, &s->literal);
}

/* Hands the window on when it is full. */
static int flush_full(struct fpgabits_inflater *s) {
    if (s->at < s->window_size)
        return FPGABITS_OK;
    s->at = 0;
    return s->sink(s->context, s->window, s->window_size);
}

static int put(struct fpgabits_inflater *s, unsigned char byte) {
    s->window[s->at++] = byte;
    ++s->total;
    return flush_full(s);
}

/* Copies count bytes forwards, where the two do not overlap. */
static void copy_apart(unsigned char *restrict to, const unsigned char *restrict from, size_t count) {
    size_t i;
    for (i = 0; i < count; ++i)
        to[i] = from[i];
}

/* Copies length bytes from distance back, which must lie within what came
 * out and within the window. A copy may overlap what it makes: it goes
 * forwards, a byte at a time where the two overlap. */
static int copy(struct fpgabits_inflater *s, size_t length, size_t distance) {
    unsigned char *const window = s->window;
    const size_t size = s->window_size;
    int error = FPGABITS_OK;
    if (distance > s->total || distance > size)
        return FPGABITS_ERR_STREAM;
    while (length > 0 && error == FPGABITS_OK) {
        const size_t at = s->at;
        const size_t from = at >= distance ? at - distance : at + size - distance;
        size_t count = length, i;
        if (count > size - at)
            count = size - at;
        if (count > size - from)
            count = size - from;
        if (distance == 1) {
            const unsigned char byte = window[from];
            for (i = 0; i < count; ++i)
                window[at + i] = byte;
        } else if (from + count <= at || at + count <= from) {
            copy_apart(window + at, window + from, count);
        } else {
            for (i = 0; i < count; ++i)
                window[at + i] = window[from + i];
        }
        s->at = at + count;
        s->total += count;
        length -= count;
        error = flush_full(s);
    }
    return error;
}

/* After the last block, the rest of the window goes out; the bits of its
 * last byte are left unused. */
static int end_block(struct fpgabits_inflater *s) {
    if (!s->last) {
        s->mode = BLOCK;
        return FPGABITS_OK;
    }
    s->mode = DONE;
    s->bits >>= s->bit_count % 8;
    s->bit_count -= s->bit_count % 8;
    return s->at > 0 ? s->sink(s->context, s->window, s->at) : FPGABITS_OK;
}

/* A block of literals and matches, until the end-of-block symbol. */
static int codes(struct fpgabits_inflater *s) {
    for (;;) {
        unsigned extra;
        int symbol, error;
        size_t length;
        if (!s->final && s->end - s->in < SYMBOL_LOOKAHEAD)
            return MORE;
        symbol = decode_literal(s);
        if (symbol < 256) {
            error = symbol < 0 ? symbol : put(s, (unsigned char)symbol);
        } else if (symbol == 256) {
            return end_block(s);
        } else if (symbol - 257 >= 29) {
            error = FPGABITS_ERR_STREAM;
        } else {
            symbol -= 257;
            error = take(s, length_extra[symbol], &extra);
            length = length_base[symbol] + (size_t)extra;
            if (error == FPGABITS_OK)
                symbol = decode_slowly(s, &s->distance);
            if (error == FPGABITS_OK && (symbol < 0 || symbol >= DISTANCES))
                error = FPGABITS_ERR_STREAM;
            if (error == FPGABITS_OK)
                error = take(s, distance_extra[symbol], &extra);
            if (error == FPGABITS_OK)
                error = copy(s, length, distance_base[symbol] + (size_t)extra);
        }
        if (error != FPGABITS_OK)
            return error;
    }
}

/* The bytes of a stored block, as far as the input goes. */
static int stored(struct fpgabits_inflater *s) {
    while (s->stored_left > 0) {
        unsigned byte;
        int error;
        if (!need(s, 8))
            return s->final ? FPGABITS_ERR_STREAM : MORE;
        error = take(s, 8, &byte);
        if (error == FPGABITS_OK)
            error = put(s, (unsigned char)byte);
        if (error != FPGABITS_OK)
            return error;
        --s->stored_left;
    }
    return end_block(s);
}

/* A code that is not complete is taken, as zlib takes it, where it is a
 * single code of one bit, or, for distances, where it has no codes at all
 * and so fails only when a distance is used. */
static int incomplete_ok(const struct code *c, unsigned n, int empty_ok) {
    return (c->count[1] == 1 && c->count[0] == n - 1) || (empty_ok && c->count[0] == n);
}

/* Both codes from their lengths; the literal code must have the
 * end-of-block symbol. */
static int build_codes(struct fpgabits_inflater *s, unsigned literals, unsigned distances) {
    int left = build(&s->literal, s->lengths, literals);
    if (left < 0 || (left > 0 && !incomplete_ok(&s->literal, literals, 0)) || s->lengths[256] == 0)
        return FPGABITS_ERR_STREAM;
    left = build(&s->distance, s->lengths + literals, distances);
    if (left < 0 || (left > 0 && !incomplete_ok(&s->distance, distances, 1)))
        return FPGABITS_ERR_STREAM;
    build_fast(s->fast, &s->literal);
    return FPGABITS_OK;
}

static int fixed(struct fpgabits_inflater *s) {
    unsigned i;
    for (i = 0; i < LITERALS; ++i)
        s->lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : 8;
    for (i = 0; i < DISTANCES; ++i)
        s->lengths[LITERALS + i] = 5;
    /* The fixed distance code has 32 codes, of which the last two are not
     * used, so it is not complete. */
    if (build(&s->literal, s->lengths, LITERALS) != 0)
        return FPGABITS_ERR_STREAM;
    build(&s->distance, s->lengths + LITERALS, DISTANCES);
    build_fast(s->fast, &s->literal);
    return FPGABITS_OK;
}

static int dynamic(struct fpgabits_inflater *s) {
    static const unsigned char order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    unsigned literals, distances, code_lengths, i;
    int left;
    if (take(s, 5, &literals) != FPGABITS_OK || take(s, 5, &distances) != FPGABITS_OK ||
        take(s, 4, &code_lengths) != FPGABITS_OK)
        return FPGABITS_ERR_STREAM;
    literals += 257;
    distances += 1;
    code_lengths += 4;
    if (literals > 286 || distances > DISTANCES)
        return FPGABITS_ERR_STREAM;
    /* The code of the code lengths, which must be complete. */
    for (i = 0; i < 19; ++i) {
        unsigned length = 0;
        if (i < code_lengths && take(s, 3, &length) != FPGABITS_OK)
            return FPGABITS_ERR_STREAM;
        s->lengths[order[i]] = (unsigned char)length;
    }
    if (build(&s->distance, s->lengths, 19) != 0)
        return FPGABITS_ERR_STREAM;
    for (i = 0; i < literals + distances;) {
        unsigned repeat, extra;
        unsigned char length = 0;
        const int symbol = decode_slowly(s, &s->distance);
        if (symbol < 0)
            return FPGABITS_ERR_STREAM;
        if (symbol < 16) {
            s->lengths[i++] = (unsigned char)symbol;
            continue;
        }
        if (symbol == 16) {
            if (i == 0)
                return FPGABITS_ERR_STREAM;
            length = s->lengths[i - 1];
            left = take(s, 2, &extra);
            repeat = 3 + extra;
        } else if (symbol == 17) {
            left = take(s, 3, &extra);
            repeat = 3 + extra;
        } else {
            left = take(s, 7, &extra);
            repeat = 11 + extra;
        }
        if (left != FPGABITS_OK || i + repeat > literals + distances)
            return FPGABITS_ERR_STREAM;
        while (repeat-- > 0)
            s->lengths[i++] = length;
    }
    return build_codes(s, literals, distances);
}

/* A block header, and the codes of the block. */
static int block(struct fpgabits_inflater *s) {
    unsigned last, type, length, complement;
    if (take(s, 1, &last) != FPGABITS_OK || take(s, 2, &type) != FPGABITS_OK)
        return FPGABITS_ERR_STREAM;
    s->last = (int)last;
    s->mode = CODES;
    if (type == 1)
        return fixed(s);
    if (type == 2)
        return dynamic(s);
    if (type != 0)
        return FPGABITS_ERR_STREAM;
    s->bits >>= s->bit_count % 8;
    s->bit_count -= s->bit_count % 8;
    if (take(s, 16, &length) != FPGABITS_OK || take(s, 16, &complement) != FPGABITS_OK ||
        length != (~complement & 0xffff))
        return FPGABITS_ERR_STREAM;
    s->mode = STORED;
    s->stored_left = length;
    return FPGABITS_OK;
}

struct fpgabits_inflater *fpgabits_inflate_start(void *work, size_t work_size, fpgabits_sink sink, void *context) {
    struct fpgabits_inflater *s;
    if (work == NULL || work_size < FPGABITS_INFLATE_WORK_SIZE(MIN_WINDOW))
        return NULL;
    s = (struct fpgabits_inflater *)(void *)((unsigned char *)work + (-(uintptr_t)work & (ALIGNMENT - 1)));
    s->bits = 0;
    s->bit_count = 0;
    s->mode = BLOCK;
    s->last = 0;
    /* The window is the largest power of two that fits, as streams are
     * made with one. */
    s->window = (unsigned char *)work + FPGABITS_INFLATE_STATE_SIZE;
    for (s->window_size = MAX_WINDOW; s->window_size > work_size - FPGABITS_INFLATE_STATE_SIZE;)
        s->window_size /= 2;
    s->at = 0;
    s->total = 0;
    s->sink = sink;
    s->context = context;
    s->literal.symbol = s->literal_symbols;
    s->distance.symbol = s->distance_symbols;
    return s;
}

int fpgabits_inflate_run(struct fpgabits_inflater *s, const unsigned char **in, const unsigned char *end, int final) {
    int result = FPGABITS_OK;
    s->in = *in;
    s->end = end;
    s->final = final;
    while (result == FPGABITS_OK) {
        if (s->mode == BLOCK)
            result = final || end - s->in >= FPGABITS_INFLATE_LOOKAHEAD ? block(s) : MORE;
        else if (s->mode == STORED)
            result = stored(s);
        else if (s->mode == CODES)
            result = codes(s);
        else
            result = FPGABITS_INFLATE_END;
    }
    /* Whole bytes read ahead into the bits go back to the input, so that
     * the bits never hold a byte of an earlier call's input. */
    s->in -= s->bit_count / 8;
    s->bit_count %= 8;
    s->bits &= (1u << s->bit_count) - 1;
    *in = s->in;
    return result == MORE ? FPGABITS_OK : result;
}

const unsigned char *fpgabits_inflate_pending(const struct fpgabits_inflater *s, size_t *size) {
    *size = s->at;
    return s->window;
}

uint32_t fpgabits_crc32(uint32_t crc, const unsigned char *bytes, size_t size) {
    static const uint32_t nibbles[16] = {0x00000000, 0x1db71064, 0x3b6e20c8, 0x26d930ac, 0x76dc4190, 0x6b6b51f4,
                                         0x4db26158, 0x5005713c, 0xedb88320, 0xf00f9344, 0xd6d6a3e8, 0xcb61b38c,
                                         0x9b64c2b0, 0x86d3d2d4, 0xa00ae278, 0xbdbdf21c};
    size_t i;
    crc = ~crc;
    for (i = 0; i < size; ++i) {
        crc ^= bytes[i];
        crc = crc >> 4 ^ nibbles[crc & 15];
        crc = crc >> 4 ^ nibbles[crc & 15];
    }
    return ~crc;
}

/* Inflates a whole stream in memory into sink. */
static int inflate(const void *data, size_t size, void *work, size_t work_size, fpgabits_sink sink, void *context,
                   struct fpgabits_inflater **inflater) {
    const unsigned char *in = size > 0 ? (const unsigned char *)data : (const unsigned char *)"";
    int error;
    *inflater = fpgabits_inflate_start(work, work_size, sink, context);
    error = fpgabits_inflate_run(*inflater, &in, in + size, 1);
    return error == FPGABITS_INFLATE_END ? FPGABITS_OK : error;
}

static int arguments_ok(const void *data, size_t size, const void *work, size_t work_size) {
    return (data != NULL || size == 0) && work != NULL && work_size >= FPGABITS_INFLATE_WORK_SIZE(MIN_WINDOW);
}

static int load(void *loader, const unsigned char *bytes, size_t size) {
    return fpgabits_load_write((struct fpgabits_loader *)loader, bytes, size);
}

int fpgabits_load_deflate(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data,
                          size_t size, void *work, size_t work_size) {
    struct fpgabits_loader loader;
    struct fpgabits_inflater *inflater;
    int error;
    if (!arguments_ok(data, size, work, work_size))
        return FPGABITS_ERR_ARGUMENT;
    error = fpgabits_load_begin(&loader, port, interface);
    if (error == FPGABITS_OK)
        error = inflate(data, size, work, work_size, load, &loader, &inflater);
    if (error == FPGABITS_OK)
        return fpgabits_load_end(&loader);
    return error;
}

/* The size and CRC-32 of what comes out. */
struct summary {
    size_t size;
    uint32_t crc;
};

static int summarize(void *context, const unsigned char *bytes, size_t size) {
    struct summary *summary = (struct summary *)context;
    summary->crc = fpgabits_crc32(summary->crc, bytes, size);
    summary->size += size;
    return FPGABITS_OK;
}

int fpgabits_inflate_check(const void *data, size_t size, void *work, size_t work_size, size_t *config_size,
                           uint32_t *crc32) {
    struct summary summary = {0, 0};
    struct fpgabits_inflater *inflater;
    int error;
    if (config_size == NULL || crc32 == NULL || !arguments_ok(data, size, work, work_size))
        return FPGABITS_ERR_ARGUMENT;
    error = inflate(data, size, work, work_size, summarize, &summary, &inflater);
    if (error != FPGABITS_OK) {
        size_t pending;
        const unsigned char *bytes = fpgabits_inflate_pending(inflater, &pending);
        summarize(&summary, bytes, pending);
    }
    *config_size = summary.size;
    *crc32 = summary.crc;
    return error;
}
