/* fpgabits_stream: configuration data as the device's configuration logic
 * reads it: where its stream starts, the IDCODE it writes, and its CRC
 * checks, which the image reader's check pass verifies. See
 * fpgabits_internal.h.
 *
 * The stream: padding, a sync word, then packets. Its words have 32 bits,
 * or 16 in two older families, which also have a 16-bit sync word (AA99) or
 * the 32-bit one followed by 16-bit packets. A packet header holds a type
 * (1: register and word count, 2: a long count for the register of the type
 * 1 before it, as two more words in 16-bit streams), an opcode (2: write)
 * and the count of data words that follow. The IDCODE, 32 bits, is written
 * before the frame data (FDRI).
 *
 * The device checks the data with a CRC of every word written, with the
 * register's address: CRC-32C or CRC-16 in 32-bit streams, a 22-bit check
 * in 16-bit ones. A write to the CRC register compares; so do the words that
 * some families put after frame data without a header. A 32-bit stream that
 * writes the frame length (FLR) has CRC-16, with five address bits where it
 * writes an IDCODE and four where it does not: until it shows which, the
 * checks of every kind it may be run side by side. A stream may carry whole
 * streams for the other dies of its package, written to register 1E, which
 * are checked too. */
#include "fpgabits_internal.h"

/* The kinds of stream, by their checks, and the sets of those that a
 * stream may be while it is not known which. */
enum {
    KIND_32C = 1,  /* CRC-32C, 5 address bits: crc[0] */
    KIND_16A = 2,  /* CRC-16, 5 address bits, a CRC word after frame data: crc[1] */
    KIND_16N = 4,  /* CRC-16, 4 address bits: crc[2] */
    KIND_22F = 8,  /* 16-bit words, the 22-bit check in crc[0], two CRC words after frame data */
    KIND_22H = 16, /* the same with the sync word AA99 alone and no CRC words after frame data */
    WIDE = KIND_32C | KIND_16A | KIND_16N,
    NARROW = KIND_22F | KIND_22H
};

/* States of a stream level: looking for the sync word, for the size of
 * the words after it, or reading packets. */
enum { HUNT, WIDTH, PACKETS };

/* Registers: the CRC, the frame data of 32-bit and 16-bit streams, the
 * command register of each, the IDCODE of 32-bit streams with CRC-32C and
 * of the others, and the streams for other dies; commands. */
enum { CRC_REG = 0, FDRI_WIDE = 2, FDRI_NARROW = 3, CMD_WIDE = 4, CMD_NARROW = 5, IDCODE_32C = 0x0c, IDCODE = 0x0e };
/* The user-access register of CRC-32C streams. */
enum { AXSS = 0x0d };
enum { NESTED = 0x1e, RCRC = 7, DESYNC = 0x0d };

static uint32_t word_at(const unsigned char *bytes, size_t at, unsigned size) {
    uint32_t word = 0;
    unsigned i;
    for (i = 0; i < size; ++i)
        word = word << 8 | bytes[at + i];
    return word;
}

/* Whether the first word after a 32-bit sync word is a 32-bit header: a
 * NOP, type 1 with its unused register bits and reserved bits clear, or
 * type 2. The 16-bit packets that may follow it too do not read so. */
static int wide_header(uint32_t word) {
    return word == 0x20000000u || (word >> 29 == 1 && (word & 0x07fc1800u) == 0) || word >> 29 == 2;
}

/* The checks of 32-bit streams, four bits at a time: CRC-32C and CRC-16,
 * both reflected, each table's entry 8 its polynomial. */
static const uint32_t crc_nibbles[2][16] = {{0x00000000, 0x105ec76f, 0x20bd8ede, 0x30e349b1, 0x417b1dbc, 0x5125dad3,
                                             0x61c69362, 0x7198540d, 0x82f63b78, 0x92a8fc17, 0xa24bb5a6, 0xb21572c9,
                                             0xc38d26c4, 0xd3d3e1ab, 0xe330a81a, 0xf36e6f75},
                                            {0x0000, 0xcc01, 0xd801, 0x1400, 0xf001, 0x3c00, 0x2800, 0xe401, 0xa001,
                                             0x6c00, 0x7800, 0xb401, 0x5000, 0x9c01, 0x8801, 0x4400}};

/* A word written to the level's register, into the check of each kind the
 * stream may be: its bits, then the address bits, least significant first,
 * into the reflected CRCs; or, in 16-bit streams, one shift of the 22-bit
 * check with the address and the word added at once. */
static void add(const struct fpgabits_stream *s, struct fpgabits_stream_level *l, uint32_t word) {
    unsigned i;
    if (!s->verify)
        return;
    if (s->kind & NARROW) {
        const uint32_t crc = l->crc[0];
        l->crc[0] = ((crc << 1 & 0x3fffff) ^ ((uint32_t)l->reg << 16 | (word & 0xffff))) ^ (crc >> 21 ? 0x9081 : 0);
        return;
    }
    for (i = 0; i < 3; ++i)
        if (s->kind >> i & 1) {
            const uint32_t *const table = crc_nibbles[i != 0];
            uint32_t crc = l->crc[i], bits = word;
            unsigned n, address = l->reg;
            for (n = 0; n < 8; ++n, bits >>= 4) {
                crc ^= bits & 15;
                crc = crc >> 4 ^ table[crc & 15];
            }
            for (n = i == 2 ? 4 : 5; n > 0; --n, address >>= 1)
                crc = (crc ^ address) & 1 ? crc >> 1 ^ table[8] : crc >> 1;
            l->crc[i] = crc;
        }
}

#if !FPGABITS_SMALL
/* CRC-32C a byte and five bits at a time, for the frame data. */
static const uint32_t crc32c_bytes[256] = {
    0x00000000, 0xf26b8303, 0xe13b70f7, 0x1350f3f4, 0xc79a971f, 0x35f1141c, 0x26a1e7e8, 0xd4ca64eb, 0x8ad958cf,
    0x78b2dbcc, 0x6be22838, 0x9989ab3b, 0x4d43cfd0, 0xbf284cd3, 0xac78bf27, 0x5e133c24, 0x105ec76f, 0xe235446c,
    0xf165b798, 0x030e349b, 0xd7c45070, 0x25afd373, 0x36ff2087, 0xc494a384, 0x9a879fa0, 0x68ec1ca3, 0x7bbcef57,
    0x89d76c54, 0x5d1d08bf, 0xaf768bbc, 0xbc267848, 0x4e4dfb4b, 0x20bd8ede, 0xd2d60ddd, 0xc186fe29, 0x33ed7d2a,
    0xe72719c1, 0x154c9ac2, 0x061c6936, 0xf477ea35, 0xaa64d611, 0x580f5512, 0x4b5fa6e6, 0xb93425e5, 0x6dfe410e,
    0x9f95c20d, 0x8cc531f9, 0x7eaeb2fa, 0x30e349b1, 0xc288cab2, 0xd1d83946, 0x23b3ba45, 0xf779deae, 0x05125dad,
    0x1642ae59, 0xe4292d5a, 0xba3a117e, 0x4851927d, 0x5b016189, 0xa96ae28a, 0x7da08661, 0x8fcb0562, 0x9c9bf696,
    0x6ef07595, 0x417b1dbc, 0xb3109ebf, 0xa0406d4b, 0x522bee48, 0x86e18aa3, 0x748a09a0, 0x67dafa54, 0x95b17957,
    0xcba24573, 0x39c9c670, 0x2a993584, 0xd8f2b687, 0x0c38d26c, 0xfe53516f, 0xed03a29b, 0x1f682198, 0x5125dad3,
    0xa34e59d0, 0xb01eaa24, 0x42752927, 0x96bf4dcc, 0x64d4cecf, 0x77843d3b, 0x85efbe38, 0xdbfc821c, 0x2997011f,
    0x3ac7f2eb, 0xc8ac71e8, 0x1c661503, 0xee0d9600, 0xfd5d65f4, 0x0f36e6f7, 0x61c69362, 0x93ad1061, 0x80fde395,
    0x72966096, 0xa65c047d, 0x5437877e, 0x4767748a, 0xb50cf789, 0xeb1fcbad, 0x197448ae, 0x0a24bb5a, 0xf84f3859,
    0x2c855cb2, 0xdeeedfb1, 0xcdbe2c45, 0x3fd5af46, 0x7198540d, 0x83f3d70e, 0x90a324fa, 0x62c8a7f9, 0xb602c312,
    0x44694011, 0x5739b3e5, 0xa55230e6, 0xfb410cc2, 0x092a8fc1, 0x1a7a7c35, 0xe811ff36, 0x3cdb9bdd, 0xceb018de,
    0xdde0eb2a, 0x2f8b6829, 0x82f63b78, 0x709db87b, 0x63cd4b8f, 0x91a6c88c, 0x456cac67, 0xb7072f64, 0xa457dc90,
    0x563c5f93, 0x082f63b7, 0xfa44e0b4, 0xe9141340, 0x1b7f9043, 0xcfb5f4a8, 0x3dde77ab, 0x2e8e845f, 0xdce5075c,
    0x92a8fc17, 0x60c37f14, 0x73938ce0, 0x81f80fe3, 0x55326b08, 0xa759e80b, 0xb4091bff, 0x466298fc, 0x1871a4d8,
    0xea1a27db, 0xf94ad42f, 0x0b21572c, 0xdfeb33c7, 0x2d80b0c4, 0x3ed04330, 0xccbbc033, 0xa24bb5a6, 0x502036a5,
    0x4370c551, 0xb11b4652, 0x65d122b9, 0x97baa1ba, 0x84ea524e, 0x7681d14d, 0x2892ed69, 0xdaf96e6a, 0xc9a99d9e,
    0x3bc21e9d, 0xef087a76, 0x1d63f975, 0x0e330a81, 0xfc588982, 0xb21572c9, 0x407ef1ca, 0x532e023e, 0xa145813d,
    0x758fe5d6, 0x87e466d5, 0x94b49521, 0x66df1622, 0x38cc2a06, 0xcaa7a905, 0xd9f75af1, 0x2b9cd9f2, 0xff56bd19,
    0x0d3d3e1a, 0x1e6dcdee, 0xec064eed, 0xc38d26c4, 0x31e6a5c7, 0x22b65633, 0xd0ddd530, 0x0417b1db, 0xf67c32d8,
    0xe52cc12c, 0x1747422f, 0x49547e0b, 0xbb3ffd08, 0xa86f0efc, 0x5a048dff, 0x8ecee914, 0x7ca56a17, 0x6ff599e3,
    0x9d9e1ae0, 0xd3d3e1ab, 0x21b862a8, 0x32e8915c, 0xc083125f, 0x144976b4, 0xe622f5b7, 0xf5720643, 0x07198540,
    0x590ab964, 0xab613a67, 0xb831c993, 0x4a5a4a90, 0x9e902e7b, 0x6cfbad78, 0x7fab5e8c, 0x8dc0dd8f, 0xe330a81a,
    0x115b2b19, 0x020bd8ed, 0xf0605bee, 0x24aa3f05, 0xd6c1bc06, 0xc5914ff2, 0x37faccf1, 0x69e9f0d5, 0x9b8273d6,
    0x88d28022, 0x7ab90321, 0xae7367ca, 0x5c18e4c9, 0x4f48173d, 0xbd23943e, 0xf36e6f75, 0x0105ec76, 0x12551f82,
    0xe03e9c81, 0x34f4f86a, 0xc69f7b69, 0xd5cf889d, 0x27a40b9e, 0x79b737ba, 0x8bdcb4b9, 0x988c474d, 0x6ae7c44e,
    0xbe2da0a5, 0x4c4623a6, 0x5f16d052, 0xad7d5351};
static const uint32_t crc32c_address[32] = {
    0x00000000, 0x8ad958cf, 0x105ec76f, 0x9a879fa0, 0x20bd8ede, 0xaa64d611, 0x30e349b1, 0xba3a117e,
    0x417b1dbc, 0xcba24573, 0x5125dad3, 0xdbfc821c, 0x61c69362, 0xeb1fcbad, 0x7198540d, 0xfb410cc2,
    0x82f63b78, 0x082f63b7, 0x92a8fc17, 0x1871a4d8, 0xa24bb5a6, 0x2892ed69, 0xb21572c9, 0x38cc2a06,
    0xc38d26c4, 0x49547e0b, 0xd3d3e1ab, 0x590ab964, 0xe330a81a, 0x69e9f0d5, 0xf36e6f75, 0x79b737ba};

/* Words of data written to the level's register, at bytes. */
static void add_words(const struct fpgabits_stream *s, struct fpgabits_stream_level *l, const unsigned char *bytes,
                      size_t count) {
    const unsigned size = s->kind & NARROW ? 2 : 4;
    if (s->kind == KIND_32C && s->verify) {
        const uint32_t *table = crc32c_bytes, *address = crc32c_address;
        const unsigned reg = l->reg;
#ifdef __GNUC__
        /* The tables' addresses in registers, so that a look-up is one load. */
        __asm__("" : "+r"(table), "+r"(address));
#endif
        uint32_t crc = l->crc[0];
        for (; count > 0; --count, bytes += 4) {
            crc ^= (uint32_t)bytes[0] << 24 | (uint32_t)bytes[1] << 16 | (uint32_t)bytes[2] << 8 | bytes[3];
            crc = crc >> 8 ^ table[crc & 0xff];
            crc = crc >> 8 ^ table[crc & 0xff];
            crc = crc >> 8 ^ table[crc & 0xff];
            crc = crc >> 8 ^ table[crc & 0xff];
            crc = crc >> 5 ^ address[(crc ^ reg) & 31];
        }
        l->crc[0] = crc;
        return;
    }
    for (; count > 0; --count, bytes += size)
        add(s, l, word_at(bytes, 0, size));
}
#endif

/* A level starts reading packets after its sync word, at register 0 (which
 * a long count may write first); every check starts from 0. */
static void synced(struct fpgabits_stream_level *l) {
    l->crc[0] = l->crc[1] = l->crc[2] = 0;
    l->left = 0;
    l->counts = l->checks = l->reg = 0;
    l->state = PACKETS;
}

/* A value that the device compares with its check: the kinds that it
 * matches go on, those of 32-bit streams from 0. A 32-bit stream that has
 * not written the frame length by then has CRC-32C. */
static int check(struct fpgabits_stream *s, struct fpgabits_stream_level *l, uint32_t value) {
    unsigned passed = 0;
    if (!s->verify)
        return FPGABITS_OK;
    if (s->kind & KIND_32C)
        s->kind = KIND_32C;
    if (s->kind & NARROW)
        passed = (value & 0x3fffff) == l->crc[0] ? s->kind : 0;
    else
        for (unsigned i = 0; i < 3; ++i)
            if ((value & (i != 0 ? 0xffffu : 0xffffffffu)) == l->crc[i])
                passed |= s->kind & 1u << i;
    if (passed == 0)
        return FPGABITS_ERR_CRC;
    s->kind = passed;
    ++s->checks;
    if (!(passed & NARROW))
        l->crc[0] = l->crc[1] = l->crc[2] = 0;
    return FPGABITS_OK;
}

/* Whether the level's packet writes words that make a stream of their own,
 * for another die, which the next level reads: in a CRC-32C stream, or one
 * that may still turn out so (no check and no frame data yet). */
static int carries(const struct fpgabits_stream *s, const struct fpgabits_stream_level *l) {
    return l->reg == NESTED && (s->kind & KIND_32C) && l + 1 < s->level + FPGABITS_STREAM_LEVELS;
}

/* A write packet whose count is known: frame data, which shows what a
 * 32-bit stream's check is where it has not yet (a stream without the frame
 * length has CRC-32C, one with it and no IDCODE the CRC-16 of four address
 * bits); a stream for another die; or, before frame data, the IDCODE, in one
 * word or two of 16 bits. */
static void packet(struct fpgabits_stream *s, struct fpgabits_stream_level *l) {
    const unsigned kind = s->kind;
    if (l->left == 0)
        return;
    if (l->reg == (kind & NARROW ? FDRI_NARROW : FDRI_WIDE)) {
        s->kind = kind & KIND_32C ? KIND_32C : kind == (KIND_16A | KIND_16N) ? KIND_16N : kind;
        if (s->found == FPGABITS_IDCODE_SYNCED)
            s->found = FPGABITS_ERR_NO_IDCODE;
        s->framed = 1;
    }
    /* A write of one word to the user-access register, before the frame
     * data. */
    s->axss = l == s->level && l->reg == AXSS && l->left == 1 && (kind & KIND_32C) && !s->framed;
    if (l->reg == IDCODE && kind == (KIND_16A | KIND_16N))
        s->kind = KIND_16A;
    if (carries(s, l))
        l[1].state = HUNT;
    if (s->found == FPGABITS_IDCODE_SYNCED && l->reg == (kind & KIND_32C ? IDCODE_32C : IDCODE))
        s->idcode_words = l->left == (kind & NARROW ? 2u : 1u) ? (unsigned char)l->left : 0;
}

/* A packet header: its register, and how many data words follow. A
 * 16-bit header sits in the top half of word as a 32-bit one would, but
 * for its register and count. */
static void header(struct fpgabits_stream *s, struct fpgabits_stream_level *l, uint32_t word) {
    const int wide = !(s->kind & NARROW);
    const uint32_t top = wide ? word : word << 16;
    const unsigned type = top >> 29;
    l->write = (top >> 27 & 3) == 2;
    l->halves = 0;
    s->idcode_words = s->axss = 0;
    if (type == 1 || (type == 2 && !wide))
        l->reg = (unsigned char)(wide ? word >> 13 & 0x1f : word >> 5 & 0x3f);
    if (type == 1)
        l->left = l->write ? word & (wide ? 0x7ffu : 0x1fu) : 0;
    if (type == 2)
        l->left = l->write && wide ? word & 0x07ffffff : 0;
    if (type == 2 && !wide)
        l->counts = 2;
    if (s->kind == WIDE && word == 0x30016001u)
        s->kind = KIND_16A | KIND_16N;
    packet(s, l);
}

/* A data word written to the level's register. */
static int data(struct fpgabits_stream *s, struct fpgabits_stream_level *l, uint32_t word) {
    const int wide = !(s->kind & NARROW);
    if (s->idcode_words > 0) {
        s->idcode = wide ? word : s->idcode << 16 | word;
        if (--s->idcode_words == 0)
            s->found = FPGABITS_OK;
    }
    if (s->axss)
        s->usr_access = word;
    if (l->reg == CRC_REG) {
        /* In a 16-bit stream the value takes two words, high first. */
        if (!wide && l->halves++ == 0) {
            l->high = word;
            return FPGABITS_OK;
        }
        l->halves = 0;
        return check(s, l, wide ? word : l->high << 16 | word);
    }
    if (l->reg == (wide ? CMD_WIDE : CMD_NARROW)) {
        if (word == RCRC) {
            l->crc[0] = l->crc[1] = l->crc[2] = 0;
            return FPGABITS_OK;
        }
        if (word == DESYNC)
            l->state = HUNT;
    }
    add(s, l, word);
    return FPGABITS_OK;
}

/* A whole word of the stream at a level, and at the levels it carries. */
static int take_word(struct fpgabits_stream *s, struct fpgabits_stream_level *l, uint32_t word) {
    const int wide = !(s->kind & NARROW);
    for (;; ++l) {
        if (l->state == HUNT) {
            /* Sessions after the first, and carried streams, start with a
             * sync word in whole words. */
            l->sync = wide ? word : l->sync << 16 | word;
            if (s->kind == KIND_22H ? word == 0xaa99 : l->sync == 0xaa995566u)
                synced(l);
            return FPGABITS_OK;
        }
        if (l->counts > 0) {
            l->left = l->left << 16 | word;
            if (--l->counts == 0) {
                if (!l->write)
                    l->left = 0;
                packet(s, l);
            }
            return FPGABITS_OK;
        }
        if (l->left > 0) {
            --l->left;
            if (carries(s, l)) {
                add(s, l, word);
                continue;
            }
            const int error = data(s, l, word);
            /* After frame data, some families check the CRC in words
             * without a header. */
            if (l->left == 0 && l->reg == (wide ? FDRI_WIDE : FDRI_NARROW))
                l->checks = s->kind & KIND_16A ? 1 : s->kind & KIND_22F ? 2 : 0;
            return error;
        }
        if (l->checks > 0) {
            l->high = l->high << 16 | word;
            return --l->checks > 0 ? FPGABITS_OK : check(s, l, l->high);
        }
        header(s, l, word);
        return FPGABITS_OK;
    }
}

int fpgabits_stream_write(struct fpgabits_stream *stream, const unsigned char *bytes, size_t size) {
    struct fpgabits_stream_level *const top = stream->level;
    int error = FPGABITS_OK;
    /* Without the checks, only as far as the frame data. */
    while (size > 0 && error == FPGABITS_OK && (stream->verify || !stream->framed)) {
        const unsigned word_size = stream->kind & NARROW ? 2 : 4;
#if !FPGABITS_SMALL
        /* Most of the data: whole words of one packet, to a register with
         * nothing to do but add them to the check; its last word goes the
         * careful way. */
        if (top->state == PACKETS && stream->bytes == 0 && top->left > 1 && top->counts == 0 && top->reg != CRC_REG &&
            top->reg != (word_size == 4 ? CMD_WIDE : CMD_NARROW) && !carries(stream, top) &&
            stream->idcode_words == 0 && size >= word_size) {
            size_t count = size >> (word_size >> 1);
            if (count > top->left - 1)
                count = top->left - 1;
            add_words(stream, top, bytes, count);
            top->left -= (uint32_t)count;
            bytes += count << (word_size >> 1);
            size -= count << (word_size >> 1);
            continue;
        }
#endif
        stream->word = stream->word << 8 | *bytes++;
        --size;
        if (++stream->bytes < (top->state == WIDTH ? 4 : word_size))
            continue;
        stream->bytes = 0;
        if (top->state != WIDTH) {
            error = take_word(stream, top, word_size == 4 ? stream->word : stream->word & 0xffff);
        } else if (stream->word == 0x20002000u) {
            /* After the first sync word, 16-bit NOPs, or a 32-bit header. */
            stream->bytes = 2;
        } else {
            top->state = PACKETS;
            if (wide_header(stream->word)) {
                stream->kind &= WIDE;
                error = take_word(stream, top, stream->word);
            } else {
                stream->kind = KIND_22F;
                error = take_word(stream, top, stream->word >> 16);
                if (error == FPGABITS_OK)
                    error = take_word(stream, top, stream->word & 0xffff);
            }
        }
    }
    return error;
}

int fpgabits_find_idcode(const unsigned char *bytes, size_t size, struct fpgabits_stream *stream, int verify) {
    size_t at;
    for (at = 0; at + 4 <= size; ++at) {
        const uint32_t word = word_at(bytes, at, 4);
        size_t next = at + 2;
        int wide = 0, known = 1, error;
        if (word == 0x5599aa66u)
            return FPGABITS_IDCODE_REVERSED;
        if (word >> 16 != 0xaa99)
            continue;
        if (word == 0xaa995566u) {
            /* 16-bit NOPs (2000) may follow the full sync word too; where
             * the data ends before the words show their size, the stream
             * finds it out as it goes on. */
            for (next = at + 4; next + 4 <= size && word_at(bytes, next, 4) == 0x20002000u; next += 2) {
            }
            known = next + 4 <= size;
            if (known)
                wide = wide_header(word_at(bytes, next, 4));
            else
                next = at + 4;
        }
        /* A sync word followed by no packet header is a stray one, in the
         * padding or in data: the stream starts at a later one. */
        if (known && (word_at(bytes, next, wide ? 4 : 2) >> (wide ? 29 : 13)) - 1 >= 2)
            continue;
        synced(stream->level);
        stream->bytes = stream->checks = stream->idcode_words = 0;
        stream->found = FPGABITS_IDCODE_SYNCED;
        stream->idcode = stream->usr_access = 0;
        stream->axss = stream->framed = 0;
        stream->verify = (unsigned char)verify;
        stream->kind = wide ? WIDE : word != 0xaa995566u ? KIND_22H : KIND_22F;
        if (!known) {
            /* Either, until the words show their size. */
            stream->kind = KIND_22F | WIDE;
            stream->level->state = WIDTH;
        }
        error = fpgabits_stream_write(stream, bytes + next, size - next);
        if (error != FPGABITS_OK)
            return error;
        if (stream->found != FPGABITS_OK)
            stream->idcode = 0;
        return stream->found;
    }
    return FPGABITS_IDCODE_UNSYNCED;
}

int fpgabits_idcode(const void *data, size_t size, uint32_t *idcode) {
    struct fpgabits_stream stream;
    if (idcode == NULL || (data == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
    *idcode = 0;
    if (size == 0 || fpgabits_find_idcode((const unsigned char *)data, size, &stream, 0) != FPGABITS_OK)
        return FPGABITS_ERR_NO_IDCODE;
    *idcode = stream.idcode;
    return FPGABITS_OK;
}
