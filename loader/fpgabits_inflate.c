/* fpgabits_inflate: a raw DEFLATE decoder (RFC 1951) that streams
 * configuration data into the loader, with the window and tables in a work
 * area of the caller's. It takes its input in chunks of any size: a step
 * starts only once the input holds all it can read (a block header, or a
 * literal or match), or holds the last of the stream, so no step is ever
 * undone. See fpgabits_load.h and fpgabits_internal.h.
 *
 * Most of the stream goes through one loop that keeps its state in local
 * variables, reads the input a word at a time, decodes each code with one
 * look-up in a table of its first bits, and copies matches a word at a
 * time; the last bytes of the input go through careful steps of their
 * own. */
#include "fpgabits_internal.h"

enum {
    MAX_BITS = 15,  /* longest Huffman code */
    LITERALS = 288, /* literal/length symbols, two of them never used */
    DISTANCES = 30,
    MIN_WINDOW = 512,   /* the smallest window that zlib makes streams with */
    MAX_WINDOW = 32768, /* the farthest a stream may reach back */
    ALIGNMENT = 8,      /* of the inflater in the work area */
    SMALL_STATE = 1792, /* the work area beyond the window that the first release asked for */
    /* The bits of the tables in a work area of FPGABITS_INFLATE_WORK_SIZE(),
     * and one fewer in one of the first release's size. */
    LITERAL_BITS = 9,
    DISTANCE_BITS = 7,
    SMALL_LITERAL_BITS = LITERAL_BITS - 1,
    SMALL_DISTANCE_BITS = DISTANCE_BITS - 1,
    /* The input that a literal or a match reads at most (codes of 15 bits
     * with 5 and 13 extra bits), as codes_fast() reads it: three words,
     * each up to 3 bytes after the one before. Unless it is the last, less
     * input waits for more. */
    FAST_LOOKAHEAD = 12,
    /* The results of a step besides FPGABITS_OK and the errors. */
    MORE = 2,    /* it needs more input */
    ENDED = 3,   /* the block has ended */
    LONG = 0x800 /* a table entry for the first bits of a longer code */
};

/* Where the stream stands: before a block header, in a stored block, in a
 * block of codes, or after the last block. */
enum mode { BLOCK, STORED, CODES, DONE };

/* A canonical Huffman code: how many codes of each length, the symbols in
 * code order, and a table for the next `bits` bits of input. An entry of
 * the table is a code that short (its length << 12 | its symbol, so that
 * 0xf00 is clear in literals alone) or, for a longer code, those bits,
 * most significant first (LONG | bits); first and index are where the
 * decoding of a longer code goes on from: the first code one bit longer,
 * and the index of its symbol. */
struct code {
    uint16_t *table, *symbol;
    unsigned bits;
    int first, index;
    uint16_t count[MAX_BITS + 1];
};

struct fpgabits_inflater {
    const unsigned char *in, *end; /* the input of this run */
    int final;                     /* no more input after end */
    uint32_t bits;                 /* input bits not yet used, the next one lowest */
    unsigned bit_count;
    int mode, last;       /* enum mode; the block is the last one */
    unsigned stored_left; /* bytes of a stored block still to come */
    int reversed;         /* literals go into the window with their bits reversed */
    unsigned char *window;
    size_t window_size, at, flush_at; /* the window, where the next byte goes, and where it is next handed on */
    unsigned wrapped;                 /* times the window was full, up to those that reach MAX_WINDOW back */
    fpgabits_sink sink;
    void *context;
    /* The distance code serves as the code of the code lengths too. */
    struct code literal, distance;
    uint16_t literal_symbols[LITERALS], distance_symbols[DISTANCES];
    /* Then the two tables; the code lengths of a block are read into the
     * literal table, which is made from them last. */
};

/* The work area holds the inflater, aligned, and its tables in the
 * first FPGABITS_INFLATE_STATE_SIZE bytes (SMALL_STATE with the smaller
 * ones), and the window after them. */
typedef char inflater_fits_its_area[sizeof(struct fpgabits_inflater) + ALIGNMENT - 1 +
                                                    2 * ((1u << LITERAL_BITS) + (1u << DISTANCE_BITS)) <=
                                                FPGABITS_INFLATE_STATE_SIZE &&
                                            sizeof(struct fpgabits_inflater) + ALIGNMENT - 1 +
                                                    2 * ((1u << SMALL_LITERAL_BITS) + (1u << SMALL_DISTANCE_BITS)) <=
                                                SMALL_STATE &&
                                            2 << SMALL_LITERAL_BITS >= LITERALS + DISTANCES &&
                                            FPGABITS_INFLATE_STATE_SIZE - SMALL_STATE < MIN_WINDOW
                                        ? 1
                                        : -1];

static const uint16_t length_base[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                         31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
static const unsigned char length_extra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                               2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
static const uint16_t distance_base[DISTANCES] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                                  33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                                  1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
static const unsigned char distance_extra[DISTANCES] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

/* The bits of a byte in the other order, for parallel x8. */
static unsigned reverse8(unsigned byte) {
    byte = (byte & 0xf0u) >> 4 | (byte & 0x0fu) << 4;
    byte = (byte & 0xccu) >> 2 | (byte & 0x33u) << 2;
    return (byte & 0xaau) >> 1 | (byte & 0x55u) << 1;
}

/* Four bytes, the first lowest, wherever they lie; compilers make one load
 * of this where the processor allows it. */
static uint32_t load32(const unsigned char *bytes) {
    return (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
}

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

/* The first bits of a code, n of them, in the order they arrive. */
static unsigned reverse(unsigned code, unsigned n) {
    unsigned reversed = 0;
    while (n-- > 0) {
        reversed = reversed << 1 | (code & 1);
        code >>= 1;
    }
    return reversed;
}

/* Fills the table of c. Codes arrive first bit first, so a code's entries
 * are at its bits reversed. Literals go in as they go into the window. */
static void build_table(struct code *c, int reversed) {
    const unsigned size = 1u << c->bits;
    unsigned length, code = 0, index = 0, i;
    for (i = 0; i < size; ++i)
        c->table[i] = 0;
    for (length = 1; length <= c->bits; ++length, code <<= 1)
        for (i = 0; i < c->count[length]; ++i, ++code, ++index) {
            const unsigned symbol = c->symbol[index];
            const unsigned entry = length << 12 | (reversed && symbol < 256 ? reverse8(symbol) : symbol);
            unsigned at;
            for (at = reverse(code, length); at < size; at += 1u << length)
                c->table[at] = (uint16_t)entry;
        }
    c->first = (int)code;
    c->index = (int)index;
    for (i = 0; i < size; ++i)
        if (c->table[i] == 0)
            c->table[i] = (uint16_t)(LONG | reverse(i, c->bits));
}

/* Decodes a code longer than the table's bits, from its table entry, a bit
 * at a time: its length << 16 | its symbol, or -1 where bits, of which
 * available are input, hold no code. */
static long decode_long(const struct code *c, unsigned entry, uint32_t bits, unsigned available) {
    int code = (int)(entry & (LONG - 1)) << 1, first = c->first, index = c->index;
    unsigned n;
    for (n = c->bits + 1; n <= MAX_BITS && n <= available; ++n) {
        code |= (int)(bits >> (n - 1) & 1);
        if (code - c->count[n] < first)
            return (long)n << 16 | c->symbol[index + (code - first)];
        index += c->count[n];
        first = (first + c->count[n]) << 1;
        code <<= 1;
    }
    return -1;
}

/* Decodes one symbol of c, with the bits that are left at the end of the
 * input too; a literal as it goes into the window. */
static int decode(struct fpgabits_inflater *s, const struct code *c) {
    unsigned entry, length;
    int symbol;
    need(s, MAX_BITS);
    entry = c->table[s->bits & ((1u << c->bits) - 1)];
    length = entry >> 12;
    symbol = (int)(entry & 0xfff);
    if (entry & LONG) {
        const long decoded = decode_long(c, entry, s->bits, s->bit_count);
        if (decoded < 0)
            return FPGABITS_ERR_STREAM;
        length = (unsigned)(decoded >> 16);
        symbol = (int)(decoded & 0xffff);
        if (c == &s->literal && s->reversed && symbol < 256)
            symbol = (int)reverse8((unsigned)symbol);
    }
    if (length > s->bit_count)
        return FPGABITS_ERR_STREAM;
    s->bits >>= length;
    s->bit_count -= length;
    return symbol;
}

/* Hands on the part of the window up to at, when it reaches the next half
 * of the window: each half stays as it is until the other has been handed
 * on, so that a port may still be sending it. */
static int flush(struct fpgabits_inflater *s) {
    const size_t half = s->window_size / 2;
    if (s->at < s->flush_at)
        return FPGABITS_OK;
    s->flush_at = s->at == s->window_size ? half : s->window_size;
    if (s->at == s->window_size) {
        s->at = 0;
        if (s->wrapped * s->window_size < MAX_WINDOW)
            ++s->wrapped;
    }
    return s->sink(s->context, s->window + s->window_size - s->flush_at, half);
}

static int put(struct fpgabits_inflater *s, unsigned byte) {
    s->window[s->at++] = (unsigned char)byte;
    return flush(s);
}

/* Whether a distance lies within what came out and within the window:
 * FPGABITS_OK, FPGABITS_ERR_WINDOW where it lies within what came out only,
 * or FPGABITS_ERR_STREAM. */
static int reachable(const struct fpgabits_inflater *s, size_t distance) {
    if (distance > s->at + s->wrapped * s->window_size)
        return FPGABITS_ERR_STREAM;
    return distance <= s->window_size ? FPGABITS_OK : FPGABITS_ERR_WINDOW;
}

/* Copies length bytes forwards, which may overlap what it makes: four at a
 * time where they come from four or more bytes back, or from ahead, or
 * (unless the code is to be small) repeat one byte, as the long runs of
 * zeros in configuration data do. */
static void copy_forward(unsigned char *to, const unsigned char *from, size_t length) {
#if !FPGABITS_SMALL
    if (from + 1 == to) {
        const uint32_t word = *from * 0x01010101u;
        for (; length >= 4; length -= 4, to += 4) {
            to[0] = (unsigned char)word;
            to[1] = (unsigned char)word;
            to[2] = (unsigned char)word;
            to[3] = (unsigned char)word;
        }
        from = to - 1;
    }
#endif
    if (from + 4 <= to || from > to) {
        for (; length >= 4; length -= 4, to += 4, from += 4) {
            const uint32_t word = load32(from);
            to[0] = (unsigned char)word;
            to[1] = (unsigned char)(word >> 8);
            to[2] = (unsigned char)(word >> 16);
            to[3] = (unsigned char)(word >> 24);
        }
    }
    for (; length > 0; --length)
        *to++ = *from++;
}

/* Where a match of distance starts in the window: behind at, or, from the
 * window's last round, ahead of it. */
static size_t match_start(const struct fpgabits_inflater *s, size_t at, size_t distance) {
    return at >= distance ? at - distance : at + s->window_size - distance;
}

/* Copies length bytes from distance back, across the end of the window and
 * its flushes. */
static int copy(struct fpgabits_inflater *s, size_t length, size_t distance) {
    int error = reachable(s, distance);
    while (length > 0 && error == FPGABITS_OK) {
        const size_t at = s->at, from = match_start(s, at, distance);
        size_t count = length;
        if (count > s->flush_at - at)
            count = s->flush_at - at;
        if (count > s->window_size - from)
            count = s->window_size - from;
        copy_forward(s->window + at, s->window + from, count);
        s->at = at + count;
        length -= count;
        error = flush(s);
    }
    return error;
}

/* After the last block, the rest of the window goes out; the bits of its
 * last byte are left unused. */
static int end_block(struct fpgabits_inflater *s) {
    const size_t start = s->flush_at - s->window_size / 2;
    if (!s->last) {
        s->mode = BLOCK;
        return FPGABITS_OK;
    }
    s->mode = DONE;
    s->bits >>= s->bit_count % 8;
    s->bit_count -= s->bit_count % 8;
    return s->at > start ? s->sink(s->context, s->window + start, s->at - start) : FPGABITS_OK;
}

/* Code asked to be small leaves out codes_fast(), the loop over most of a
 * stream, and decodes a step at a time in codes(), half the size and half
 * as fast. */
#if !FPGABITS_SMALL
/* Refills the bits of codes_fast() with a word of input: 24 to 31 bits in
 * hand. The bits above those counted are those of the input that follows,
 * so a word read again adds nothing new to them. */
#define REFILL()                                                                                                       \
    do {                                                                                                               \
        bits |= load32(in) << count;                                                                                   \
        in += (31 - count) >> 3;                                                                                       \
        count |= 24;                                                                                                   \
    } while (0)

/* Most of a block of codes: literals and matches, while the input holds
 * more than FAST_LOOKAHEAD bytes, with the state in local variables and 15
 * bits or more in hand before each code. Returns FPGABITS_OK to go on in
 * codes(), ENDED at the end of the block, or an error. */
static int codes_fast(struct fpgabits_inflater *s) {
    const unsigned char *in = s->in;
    const unsigned char *const last = s->end - FAST_LOOKAHEAD;
    uint32_t bits = s->bits;
    unsigned count = s->bit_count;
    unsigned char *out = s->window + s->at, *flush_at = s->window + s->flush_at;
    const uint16_t *const literals = s->literal.table;
    const unsigned literal_mask = (1u << s->literal.bits) - 1;
    int result = FPGABITS_OK;
    while (result == FPGABITS_OK && in < last) {
        unsigned entry, length;
        int symbol;
        if (count < MAX_BITS)
            REFILL();
        entry = literals[bits & literal_mask];
        length = entry >> 12;
        symbol = (int)(entry & 0xfff);
        if ((entry & 0xf00) != 0) {
            /* Not the literal of a short code. */
            if (entry & LONG) {
                const long decoded = decode_long(&s->literal, entry, bits, count);
                length = (unsigned)(decoded >> 16);
                symbol = decoded < 0 ? 286 : (int)(decoded & 0xffff);
                if (s->reversed && symbol < 256)
                    symbol = (int)reverse8((unsigned)symbol);
            }
            if (symbol == 256 || symbol > 285) {
                bits >>= length;
                count -= length;
                result = symbol == 256 ? ENDED : FPGABITS_ERR_STREAM;
                break;
            }
            if (symbol > 256) {
                size_t distance, at;
                unsigned extra;
                bits >>= length;
                count -= length;
                symbol -= 257;
                extra = length_extra[symbol];
                if (count < extra)
                    REFILL();
                length = length_base[symbol] + (bits & ((1u << extra) - 1));
                bits >>= extra;
                count -= extra;
                REFILL();
                entry = s->distance.table[bits & ((1u << s->distance.bits) - 1)];
                extra = entry >> 12;
                symbol = (int)(entry & 0xfff);
                if (entry & LONG) {
                    const long decoded = decode_long(&s->distance, entry, bits, count);
                    extra = (unsigned)(decoded >> 16);
                    symbol = decoded < 0 ? DISTANCES : (int)(decoded & 0xffff);
                }
                if (symbol >= DISTANCES) {
                    result = FPGABITS_ERR_STREAM;
                    break;
                }
                bits >>= extra;
                count -= extra;
                extra = distance_extra[symbol];
                if (count < extra)
                    REFILL();
                distance = distance_base[symbol] + (bits & ((1u << extra) - 1));
                bits >>= extra;
                count -= extra;
                at = (size_t)(out - s->window);
                if (length < (size_t)(flush_at - out) &&
                    (distance <= at || (s->wrapped && distance <= s->window_size && length <= distance - at))) {
                    copy_forward(out, s->window + match_start(s, at, distance), length);
                    out += length;
                } else {
                    s->at = at;
                    result = copy(s, length, distance);
                    out = s->window + s->at;
                    flush_at = s->window + s->flush_at;
                }
                continue;
            }
        }
        /* A literal, the most frequent of all. */
        bits >>= length;
        count -= length;
        *out++ = (unsigned char)symbol;
        if (out == flush_at) {
            s->at = (size_t)(out - s->window);
            result = flush(s);
            out = s->window + s->at;
            flush_at = s->window + s->flush_at;
        }
    }
    s->in = in;
    s->bits = bits;
    s->bit_count = count;
    s->at = (size_t)(out - s->window);
    return result;
}

#endif

/* A block of literals and matches, until the end-of-block symbol: most of
 * it in codes_fast(), the last bytes of the input here, a step at a time. */
static int codes(struct fpgabits_inflater *s) {
    for (;;) {
        unsigned extra;
        int symbol, error;
        size_t length;
#if !FPGABITS_SMALL
        if (s->end - s->in > FAST_LOOKAHEAD) {
            error = codes_fast(s);
            if (error == ENDED)
                return end_block(s);
            if (error != FPGABITS_OK)
                return error;
            continue;
        }
#endif
        if (!s->final && s->end - s->in <= FAST_LOOKAHEAD)
            return MORE;
        symbol = decode(s, &s->literal);
        if (symbol < 256) {
            error = symbol < 0 ? symbol : put(s, (unsigned)symbol);
        } else if (symbol == 256) {
            return end_block(s);
        } else if (symbol - 257 >= 29) {
            error = FPGABITS_ERR_STREAM;
        } else {
            symbol -= 257;
            error = take(s, length_extra[symbol], &extra);
            length = length_base[symbol] + (size_t)extra;
            if (error == FPGABITS_OK)
                symbol = decode(s, &s->distance);
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
            error = put(s, s->reversed ? reverse8(byte) : byte);
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
 * end-of-block symbol. The literal table is made last: the lengths are
 * in it. */
static int build_codes(struct fpgabits_inflater *s, const unsigned char *lengths, unsigned literals,
                       unsigned distances) {
    int left = build(&s->literal, lengths, literals);
    if (left < 0 || (left > 0 && !incomplete_ok(&s->literal, literals, 0)) || lengths[256] == 0)
        return FPGABITS_ERR_STREAM;
    left = build(&s->distance, lengths + literals, distances);
    /* The fixed distance code has 32 codes, of which the last two are
     * not used, so it is not complete. */
    if (left < 0 || (left > 0 && literals != LITERALS && !incomplete_ok(&s->distance, distances, 1)))
        return FPGABITS_ERR_STREAM;
    build_table(&s->distance, 0);
    build_table(&s->literal, s->reversed);
    return FPGABITS_OK;
}

static int fixed(struct fpgabits_inflater *s) {
    unsigned char *const lengths = (unsigned char *)s->literal.table;
    unsigned i;
    for (i = 0; i < LITERALS + DISTANCES; ++i)
        lengths[i] = i < 144 ? 8 : i < 256 ? 9 : i < 280 ? 7 : i < LITERALS ? 8 : 5;
    return build_codes(s, lengths, LITERALS, DISTANCES);
}

static int dynamic(struct fpgabits_inflater *s) {
    static const unsigned char order[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
    unsigned char *const lengths = (unsigned char *)s->literal.table;
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
        lengths[order[i]] = (unsigned char)length;
    }
    if (build(&s->distance, lengths, 19) != 0)
        return FPGABITS_ERR_STREAM;
    build_table(&s->distance, 0);
    for (i = 0; i < literals + distances;) {
        unsigned repeat, extra;
        unsigned char length = 0;
        const int symbol = decode(s, &s->distance);
        if (symbol < 0)
            return FPGABITS_ERR_STREAM;
        if (symbol < 16) {
            lengths[i++] = (unsigned char)symbol;
            continue;
        }
        if (symbol == 16) {
            if (i == 0)
                return FPGABITS_ERR_STREAM;
            length = lengths[i - 1];
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
            lengths[i++] = length;
    }
    return build_codes(s, lengths, literals, distances);
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

struct fpgabits_inflater *fpgabits_inflate_start(void *work, size_t work_size, int reversed, fpgabits_sink sink,
                                                 void *context) {
    struct fpgabits_inflater *s;
    size_t window = MAX_WINDOW;
    unsigned larger;
    if (work == NULL || work_size < SMALL_STATE + MIN_WINDOW)
        return NULL;
    s = (struct fpgabits_inflater *)(void *)((unsigned char *)work + (-(uintptr_t)work & (ALIGNMENT - 1)));
    /* The window is the largest power of two that fits after the state of
     * the first release, as streams are made with one; the larger tables
     * come with a larger work area, one bit longer each. */
    while (window > work_size - SMALL_STATE)
        window /= 2;
    larger = work_size - window >= FPGABITS_INFLATE_STATE_SIZE;
    s->literal.bits = SMALL_LITERAL_BITS + larger;
    s->distance.bits = SMALL_DISTANCE_BITS + larger;
    s->literal.table = (uint16_t *)(void *)(s + 1);
    s->distance.table = s->literal.table + (1u << s->literal.bits);
    s->literal.symbol = s->literal_symbols;
    s->distance.symbol = s->distance_symbols;
    s->window = (unsigned char *)work + (larger ? FPGABITS_INFLATE_STATE_SIZE : SMALL_STATE);
    s->window_size = window;
    s->at = 0;
    s->flush_at = window / 2;
    s->wrapped = 0;
    s->bits = 0;
    s->bit_count = 0;
    s->mode = BLOCK;
    s->last = 0;
    s->reversed = reversed;
    s->sink = sink;
    s->context = context;
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

/* The CRC-32 as gzip computes it: four bits at a time where the code is to
 * be small, else a byte at a time and a word of input at a time, the lowest
 * byte first. */
#if FPGABITS_SMALL
/* The CRC-32 of gzip for four bits. */
static const uint32_t crc32_nibbles[16] = {0x00000000, 0x1db71064, 0x3b6e20c8, 0x26d930ac, 0x76dc4190, 0x6b6b51f4,
                                           0x4db26158, 0x5005713c, 0xedb88320, 0xf00f9344, 0xd6d6a3e8, 0xcb61b38c,
                                           0x9b64c2b0, 0x86d3d2d4, 0xa00ae278, 0xbdbdf21c};
#define CRC_STEP(crc) ((crc) >> 4 ^ table[(crc)&15])
#else
static const uint32_t crc32_bytes[256] = {
    0x00000000, 0x77073096, 0xee0e612c, 0x990951ba, 0x076dc419, 0x706af48f, 0xe963a535, 0x9e6495a3, 0x0edb8832,
    0x79dcb8a4, 0xe0d5e91e, 0x97d2d988, 0x09b64c2b, 0x7eb17cbd, 0xe7b82d07, 0x90bf1d91, 0x1db71064, 0x6ab020f2,
    0xf3b97148, 0x84be41de, 0x1adad47d, 0x6ddde4eb, 0xf4d4b551, 0x83d385c7, 0x136c9856, 0x646ba8c0, 0xfd62f97a,
    0x8a65c9ec, 0x14015c4f, 0x63066cd9, 0xfa0f3d63, 0x8d080df5, 0x3b6e20c8, 0x4c69105e, 0xd56041e4, 0xa2677172,
    0x3c03e4d1, 0x4b04d447, 0xd20d85fd, 0xa50ab56b, 0x35b5a8fa, 0x42b2986c, 0xdbbbc9d6, 0xacbcf940, 0x32d86ce3,
    0x45df5c75, 0xdcd60dcf, 0xabd13d59, 0x26d930ac, 0x51de003a, 0xc8d75180, 0xbfd06116, 0x21b4f4b5, 0x56b3c423,
    0xcfba9599, 0xb8bda50f, 0x2802b89e, 0x5f058808, 0xc60cd9b2, 0xb10be924, 0x2f6f7c87, 0x58684c11, 0xc1611dab,
    0xb6662d3d, 0x76dc4190, 0x01db7106, 0x98d220bc, 0xefd5102a, 0x71b18589, 0x06b6b51f, 0x9fbfe4a5, 0xe8b8d433,
    0x7807c9a2, 0x0f00f934, 0x9609a88e, 0xe10e9818, 0x7f6a0dbb, 0x086d3d2d, 0x91646c97, 0xe6635c01, 0x6b6b51f4,
    0x1c6c6162, 0x856530d8, 0xf262004e, 0x6c0695ed, 0x1b01a57b, 0x8208f4c1, 0xf50fc457, 0x65b0d9c6, 0x12b7e950,
    0x8bbeb8ea, 0xfcb9887c, 0x62dd1ddf, 0x15da2d49, 0x8cd37cf3, 0xfbd44c65, 0x4db26158, 0x3ab551ce, 0xa3bc0074,
    0xd4bb30e2, 0x4adfa541, 0x3dd895d7, 0xa4d1c46d, 0xd3d6f4fb, 0x4369e96a, 0x346ed9fc, 0xad678846, 0xda60b8d0,
    0x44042d73, 0x33031de5, 0xaa0a4c5f, 0xdd0d7cc9, 0x5005713c, 0x270241aa, 0xbe0b1010, 0xc90c2086, 0x5768b525,
    0x206f85b3, 0xb966d409, 0xce61e49f, 0x5edef90e, 0x29d9c998, 0xb0d09822, 0xc7d7a8b4, 0x59b33d17, 0x2eb40d81,
    0xb7bd5c3b, 0xc0ba6cad, 0xedb88320, 0x9abfb3b6, 0x03b6e20c, 0x74b1d29a, 0xead54739, 0x9dd277af, 0x04db2615,
    0x73dc1683, 0xe3630b12, 0x94643b84, 0x0d6d6a3e, 0x7a6a5aa8, 0xe40ecf0b, 0x9309ff9d, 0x0a00ae27, 0x7d079eb1,
    0xf00f9344, 0x8708a3d2, 0x1e01f268, 0x6906c2fe, 0xf762575d, 0x806567cb, 0x196c3671, 0x6e6b06e7, 0xfed41b76,
    0x89d32be0, 0x10da7a5a, 0x67dd4acc, 0xf9b9df6f, 0x8ebeeff9, 0x17b7be43, 0x60b08ed5, 0xd6d6a3e8, 0xa1d1937e,
    0x38d8c2c4, 0x4fdff252, 0xd1bb67f1, 0xa6bc5767, 0x3fb506dd, 0x48b2364b, 0xd80d2bda, 0xaf0a1b4c, 0x36034af6,
    0x41047a60, 0xdf60efc3, 0xa867df55, 0x316e8eef, 0x4669be79, 0xcb61b38c, 0xbc66831a, 0x256fd2a0, 0x5268e236,
    0xcc0c7795, 0xbb0b4703, 0x220216b9, 0x5505262f, 0xc5ba3bbe, 0xb2bd0b28, 0x2bb45a92, 0x5cb36a04, 0xc2d7ffa7,
    0xb5d0cf31, 0x2cd99e8b, 0x5bdeae1d, 0x9b64c2b0, 0xec63f226, 0x756aa39c, 0x026d930a, 0x9c0906a9, 0xeb0e363f,
    0x72076785, 0x05005713, 0x95bf4a82, 0xe2b87a14, 0x7bb12bae, 0x0cb61b38, 0x92d28e9b, 0xe5d5be0d, 0x7cdcefb7,
    0x0bdbdf21, 0x86d3d2d4, 0xf1d4e242, 0x68ddb3f8, 0x1fda836e, 0x81be16cd, 0xf6b9265b, 0x6fb077e1, 0x18b74777,
    0x88085ae6, 0xff0f6a70, 0x66063bca, 0x11010b5c, 0x8f659eff, 0xf862ae69, 0x616bffd3, 0x166ccf45, 0xa00ae278,
    0xd70dd2ee, 0x4e048354, 0x3903b3c2, 0xa7672661, 0xd06016f7, 0x4969474d, 0x3e6e77db, 0xaed16a4a, 0xd9d65adc,
    0x40df0b66, 0x37d83bf0, 0xa9bcae53, 0xdebb9ec5, 0x47b2cf7f, 0x30b5ffe9, 0xbdbdf21c, 0xcabac28a, 0x53b39330,
    0x24b4a3a6, 0xbad03605, 0xcdd70693, 0x54de5729, 0x23d967bf, 0xb3667a2e, 0xc4614ab8, 0x5d681b02, 0x2a6f2b94,
    0xb40bbe37, 0xc30c8ea1, 0x5a05df1b, 0x2d02ef8d};
#define CRC_BYTE(crc) ((crc) >> 8 ^ table[(crc)&0xff])
#endif

uint32_t fpgabits_crc32(uint32_t crc, const unsigned char *bytes, size_t size) {
#if FPGABITS_SMALL
    const uint32_t *table = crc32_nibbles;
#else
    const uint32_t *table = crc32_bytes;
#endif
#ifdef __GNUC__
    /* The table's address in a register, so that a look-up is one load. */
    __asm__("" : "+r"(table));
#endif
    crc = ~crc;
#if !FPGABITS_SMALL
    for (; size >= 4; size -= 4, bytes += 4) {
        crc ^= (uint32_t)bytes[0] | (uint32_t)bytes[1] << 8 | (uint32_t)bytes[2] << 16 | (uint32_t)bytes[3] << 24;
        crc = CRC_BYTE(CRC_BYTE(CRC_BYTE(CRC_BYTE(crc))));
    }
    for (; size > 0; --size) {
        crc ^= *bytes++;
        crc = CRC_BYTE(crc);
    }
#else
    for (; size > 0; --size) {
        crc ^= *bytes++;
        crc = CRC_STEP(CRC_STEP(crc));
    }
#endif
    return ~crc;
}

/* Inflates a whole stream in memory into sink. */
static int inflate(const void *data, size_t size, void *work, size_t work_size, int reversed, fpgabits_sink sink,
                   void *context, struct fpgabits_inflater **inflater) {
    const unsigned char *in = size > 0 ? (const unsigned char *)data : (const unsigned char *)"";
    int error;
    *inflater = fpgabits_inflate_start(work, work_size, reversed, sink, context);
    error = fpgabits_inflate_run(*inflater, &in, in + size, 1);
    return error == FPGABITS_INFLATE_END ? FPGABITS_OK : error;
}

static int arguments_ok(const void *data, size_t size, const void *work, size_t work_size) {
    return (data != NULL || size == 0) && work != NULL && work_size >= SMALL_STATE + MIN_WINDOW;
}

/* Bytes in the order the device takes them. */
static int load(void *loader, const unsigned char *bytes, size_t size) {
    return fpgabits_load_send((struct fpgabits_loader *)loader, bytes, size);
}

/* The IDCODE in the first part of the data that the inflater hands on,
 * which holds the start of every real stream; then no more. */
static int first_idcode(void *idcode, const unsigned char *bytes, size_t size) {
    fpgabits_idcode(bytes, size, (uint32_t *)idcode);
    return FPGABITS_ERR_NO_IDCODE;
}

int fpgabits_load_deflate(const struct fpgabits_port *port, enum fpgabits_interface interface, const void *data,
                          size_t size, void *work, size_t work_size) {
    const struct fpgabits_link *const link = fpgabits_link_of(interface);
    struct fpgabits_loader loader;
    struct fpgabits_inflater *inflater;
    uint32_t idcode = 0;
    int error;
    if (!arguments_ok(data, size, work, work_size))
        return FPGABITS_ERR_ARGUMENT;
    /* Over JTAG, the data's IDCODE is compared with the silicon's. */
    if (interface == FPGABITS_JTAG)
        inflate(data, size, work, work_size, 0, first_idcode, &idcode, &inflater);
    error = fpgabits_load_start(&loader, port, interface, 0, idcode);
    if (error == FPGABITS_OK)
        error = inflate(data, size, work, work_size, link->reversed, load, &loader, &inflater);
    if (error == FPGABITS_OK)
        return fpgabits_load_end(&loader);
    fpgabits_load_abort(&loader, error);
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
    error = inflate(data, size, work, work_size, 0, summarize, &summary, &inflater);
    if (error != FPGABITS_OK) {
        /* And the part of the window not handed on. */
        const size_t start = inflater->flush_at - inflater->window_size / 2;
        summarize(&summary, inflater->window + start, inflater->at - start);
    }
    *config_size = summary.size;
    *crc32 = summary.crc;
    return error;
}
