/* A model of an FPGA's configuration logic. See fpga_model.h. */
#include "fpga_model.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

enum {
    CCLK_NS = 20,           /* a 50 MHz configuration clock */
    TCK_NS = 100,           /* a 10 MHz TCK */
    PIN_NS = 100,           /* each look at a pin */
    CLEAR_NS = 2000000,     /* clearing the memory after PROG_B rises */
    PROG_B_LOW_NS = 500,    /* the shortest PROG_B pulse taken */
    MICROS_NS = 1000,       /* a read of the microsecond counter, on a slow CPU */
    DONE_AFTER_CLOCKS = 16, /* start-up clocks before DONE rises */
    CLOCKS_AFTER_DONE = 64, /* asked of the loader after DONE */
    DONE_PHASE = 4,         /* of the start-up, 0 to 7: DONE rises as it begins */
    LAST_PHASE = 7,         /* the start-up has ended */
    BYTES_AFTER_ERROR = 512 /* sent after INIT_B went low before it is a fault: the loader's largest piece */
};

/* The device's state: READY once its memory is clear; ERROR after a failed
 * check over the serial or parallel interface, where INIT_B falls and it
 * takes nothing more until it is reset. Whether a session of the stream is
 * open (the sync word seen) is streams[0].synced: over JTAG the logic reads
 * packets in any state, so that STAT can be read while the memory clears or
 * after a failed check. */
enum state { RESET, CLEARING, READY, ERROR };

/* BOOTSTS: how a configuration ended. */
enum { BOOT_VALID = 0x01, BOOT_ID_ERROR = 0x10, BOOT_CRC_ERROR = 0x20 };

/* The instructions, as the low 6 bits of the register hold them (5 in 16N).
 * BYPASS is all ones. */
enum instruction {
    CFG_OUT = 0x04,
    CFG_IN = 0x05,
    USERCODE = 0x08,
    IDCODE = 0x09,
    JPROGRAM = 0x0b,
    JSTART = 0x0c,
    JSHUTDOWN = 0x0d,
    ISC_ENABLE = 0x10,
    ISC_PROGRAM = 0x11,
    ISC_NOOP = 0x14,
    ISC_DISABLE = 0x16
};

/* IDCODEs as the streams write them; matched on the device type without "xc". */
static const struct {
    const char *name;
    uint32_t idcode;
} idcodes[] = {
    {"3s400", 0x0141c093},    {"3s1000", 0x11428093},   {"3s250e", 0x01c1a093},  {"3s500e", 0x01c22093},
    {"3s200a", 0x02218093},   {"3sd3400a", 0x0384e093}, {"2vp50", 0x0129e093},   {"4vfx20", 0x01e64093},
    {"5vlx110t", 0x02ad6093}, {"6vlx130t", 0x0424a093}, {"6slx9", 0x04001093},   {"6slx25", 0x04004093},
    {"6slx150t", 0x0403d093}, {"7a35t", 0x0362d093},    {"7a100t", 0x03631093},  {"7s50", 0x0362f093},
    {"7k70t", 0x03647093},    {"7k325t", 0x03651093},   {"7vx485t", 0x03687093}, {"7z010", 0x03722093},
    {"7z020", 0x03727093},    {"ku040", 0x03822093},    {"ku060", 0x03919093},   {"ku5p", 0x04a62093},
    {"au15p", 0x04ac2093},    {"vu9p", 0x04b31093},     {"vu37p", 0x04b79093},   {"zu3eg", 0x04a42093},
};

/* Instruction registers longer than the group's: those of the parts with
 * processor cores, padded with ones above the code, and those of packages
 * of several dies, a 6-bit field each (the 7vh parts add some bits of ones:
 * which, and how many dies, is a guess). */
static const struct {
    const char *name;
    unsigned ir_bits, dies;
} long_irs[] = {
    {"2vp2", 10, 1},     {"2vp4", 10, 1},     {"2vp7", 10, 1},     {"2vp20", 14, 1},   {"2vp30", 14, 1},
    {"2vp40", 14, 1},    {"2vp50", 14, 1},    {"2vp70", 14, 1},    {"2vp100", 14, 1},  {"2vpx20", 14, 1},
    {"2vpx70", 14, 1},   {"4vfx40", 14, 1},   {"4vfx60", 14, 1},   {"4vfx100", 14, 1}, {"4vfx140", 14, 1},
    {"5vfx100t", 14, 1}, {"5vfx130t", 14, 1}, {"5vfx200t", 14, 1}, {"ku085", 12, 2},   {"ku115", 12, 2},
    {"vu125", 12, 2},    {"vu5p", 12, 2},     {"vu7p", 12, 2},     {"vu160", 18, 3},   {"vu190", 18, 3},
    {"vu440", 18, 3},    {"vu9p", 18, 3},     {"vu11p", 18, 3},    {"vu13p", 24, 4},   {"vu15p", 24, 4},
    {"vu19p", 24, 4},    {"7v2000t", 24, 4},  {"7vx1140t", 24, 4}, {"7vh580t", 22, 3}, {"7vh870t", 38, 6},
};

/* The name starts with the part, and no digit follows it. */
static int named(const char *name, const char *part) {
    const size_t n = strlen(part);
    return strncmp(name, part, n) == 0 && !isdigit((unsigned char)name[n]);
}

int fpga_device_of(const char *type, struct fpga_device *device) {
    char name[32];
    size_t i, n = 0;
    if (strncmp(type, "xc", 2) == 0 || strncmp(type, "XC", 2) == 0)
        type += 2;
    for (; type[n] != '\0' && n + 1 < sizeof name; ++n)
        name[n] = (char)tolower((unsigned char)type[n]);
    name[n] = '\0';
    memset(device, 0, sizeof *device);
    if (strncmp(name, "2v", 2) == 0) {
        device->group = FPGA_16A;
    } else if (strncmp(name, "3s", 2) == 0) {
        for (i = 2; isdigit((unsigned char)name[i]); ++i) {
        }
        device->group = name[i] == 'a' || name[2] == 'd' ? FPGA_22H : FPGA_16A;
    } else if (strncmp(name, "6s", 2) == 0) {
        device->group = FPGA_22F;
    } else if (strncmp(name, "2s", 2) == 0 || (name[0] == 'v' && isdigit((unsigned char)name[1]))) {
        device->group = FPGA_16N;
    } else if (strncmp(name, "4v", 2) == 0) {
        device->generation = 0;
    } else if (strncmp(name, "5v", 2) == 0 || strncmp(name, "6v", 2) == 0) {
        device->generation = 1;
    } else if (name[0] == '7' && strchr("aksvz", name[1]) != NULL && name[1] != '\0') {
        device->generation = 2;
    } else if (strncmp(name, "ku", 2) == 0 || strncmp(name, "vu", 2) == 0) {
        const size_t base = strcspn(name, "-");
        device->generation = base > 0 && name[base - 1] == 'p' ? 4 : 3;
    } else if (strncmp(name, "au", 2) == 0 || strncmp(name, "zu", 2) == 0) {
        device->generation = 4;
    } else {
        return 0;
    }
    for (i = 0; i < sizeof idcodes / sizeof idcodes[0]; ++i)
        if (named(name, idcodes[i].name))
            device->idcode = idcodes[i].idcode;
    device->ir_bits = device->group == FPGA_16N ? 5 : device->group == FPGA_32C && device->generation < 2 ? 10 : 6;
    device->dies = 1;
    for (i = 0; i < sizeof long_irs / sizeof long_irs[0]; ++i)
        if (named(name, long_irs[i].name)) {
            device->ir_bits = long_irs[i].ir_bits;
            device->dies = long_irs[i].dies;
        }
    return 1;
}

/* The CRCs, reflected, four bits at a time and then the address bit by bit. */
static const uint32_t crc32c_nibbles[16] = {
    0x00000000, 0x105ec76f, 0x20bd8ede, 0x30e349b1, 0x417b1dbc, 0x5125dad3, 0x61c69362, 0x7198540d,
    0x82f63b78, 0x92a8fc17, 0xa24bb5a6, 0xb21572c9, 0xc38d26c4, 0xd3d3e1ab, 0xe330a81a, 0xf36e6f75,
};
static const uint16_t crc16_nibbles[16] = {
    0x0000, 0xcc01, 0xd801, 0x1400, 0xf001, 0x3c00, 0x2800, 0xe401,
    0xa001, 0x6c00, 0x7800, 0xb401, 0x5000, 0x9c01, 0x8801, 0x4400,
};

uint32_t fpga_crc32c(uint32_t crc, unsigned address, uint32_t word) {
    int i;
    crc ^= word;
    for (i = 0; i < 8; ++i)
        crc = crc >> 4 ^ crc32c_nibbles[crc & 15];
    for (i = 0; i < 5; ++i, address >>= 1)
        crc = (crc ^ address) & 1 ? crc >> 1 ^ 0x82f63b78u : crc >> 1;
    return crc;
}

uint32_t fpga_crc16(uint32_t crc, unsigned address_bits, unsigned address, uint32_t word) {
    unsigned i;
    for (i = 0; i < 8; ++i) {
        if (i % 4 == 0)
            crc ^= word >> (i * 4) & 0xffff;
        crc = crc >> 4 ^ crc16_nibbles[crc & 15];
    }
    for (i = 0; i < address_bits; ++i, address >>= 1)
        crc = (crc ^ address) & 1 ? crc >> 1 ^ 0xa001u : crc >> 1;
    return crc;
}

/* One shift a word, with 22 bits of address and data added at once. */
uint32_t fpga_crc22(uint32_t crc, unsigned address, unsigned word) {
    const uint32_t top = crc >> 21 & 1;
    crc = (crc << 1 & 0x3fffff) ^ ((uint32_t)(address & 0x3f) << 16 | (word & 0xffff));
    return top ? crc ^ 0x9081 : crc;
}

static int wide(const struct fpga_model *m) {
    return m->device.group != FPGA_22F && m->device.group != FPGA_22H;
}

/* The IDCODE register's address; 16N has none. */
static unsigned idcode_register(const struct fpga_model *m) {
    return m->device.group == FPGA_32C ? 0x0c : m->device.group == FPGA_16N ? 0x100 : 0x0e;
}

static void violation(struct fpga_model *m, const char *text, unsigned long number) {
    if (m->violation[0] == '\0')
        snprintf(m->violation, sizeof m->violation, "%s (%lu)", text, number);
}

/* Time passes; the memory is clear once its time is up. */
static void advance(struct fpga_model *m, uint64_t ns) {
    m->now_ns += ns;
    if (m->state == CLEARING && m->now_ns >= m->clear_until_ns)
        m->state = READY;
}

/* After a failed check the device configures nothing more until it is
 * reset. Over JTAG (data came through CFG_IN since the reset) INIT_B stays
 * high, and the logic goes on reading packets: it only ends the session and
 * answers reads. */
static int failed(const struct fpga_model *m) {
    return m->crc_error || m->id_error;
}

/* A configuration ended: BOOTSTS keeps it and the one before. */
static void boot_status(struct fpga_model *m, uint32_t outcome) {
    m->bootsts = (m->bootsts << 8 & 0xff00) | outcome;
}

static void fail(struct fpga_model *m, int *error, uint32_t outcome) {
    *error = 1;
    boot_status(m, BOOT_VALID | outcome);
    if (m->cfg_in_bits == 0)
        m->state = ERROR;
}

static void add(struct fpga_model *m, struct fpga_stream *s, uint32_t value) {
    switch (m->device.group) {
    case FPGA_32C: s->crc = fpga_crc32c(s->crc, s->reg, value); break;
    case FPGA_16A: s->crc = fpga_crc16(s->crc, 5, s->reg, value); break;
    case FPGA_16N: s->crc = fpga_crc16(s->crc, 4, s->reg, value); break;
    default: s->crc = fpga_crc22(s->crc, s->reg, value); break;
    }
}

/* A check of the running value against a CRC write or an automatic CRC
 * word. The 32-bit streams start again from 0; the 16-bit ones carry on. */
static void check(struct fpga_model *m, struct fpga_stream *s, uint32_t value) {
    const uint32_t mask = m->device.group == FPGA_32C ? 0xffffffffu : wide(m) ? 0xffffu : 0x3fffffu;
    if (failed(m))
        return;
    ++m->crc_checks;
    if ((value & mask) != s->crc)
        fail(m, &m->crc_error, BOOT_CRC_ERROR);
    if (wide(m))
        s->crc = 0;
}

static void start_up(struct fpga_model *m) {
    if (m->start_armed && !failed(m) && m->startup_clocks < 0) {
        m->startup_clocks = 0;
        m->startup_began_ns = m->now_ns;
        boot_status(m, BOOT_VALID);
    }
}

/* A data word of a write packet to s->reg. The device's own stream (s at
 * streams) also checks the IDCODE, arms the start-up and ends with DESYNC;
 * a carried one, for another die, only has its checks. */
static void data(struct fpga_model *m, struct fpga_stream *s, uint32_t value) {
    const unsigned command = wide(m) ? 4 : 5, idcode = idcode_register(m);
    const int own = s == m->streams;
    if (own && (m->state == RESET || m->state == CLEARING) && !(s->reg == command && value == 0x0d)) {
        /* A session that reads may come while the memory clears; one that
         * writes is a loader that did not wait, and the device drops it. */
        violation(m, "data shifted into CFG_IN while the memory clears, ns after the reset",
                  (unsigned long)(m->now_ns - m->prog_b_fell_ns));
        s->synced = 0;
        m->sync = 0;
        return;
    }
    /* Values of 32 bits take two words in 16-bit streams. */
    if (!wide(m) && (s->reg == 0 || s->reg == idcode) && s->value_words++ == 0) {
        s->high_word = value;
        if (s->reg != 0)
            add(m, s, value);
        return;
    }
    if (!wide(m) && (s->reg == 0 || s->reg == idcode)) {
        value = s->high_word << 16 | value;
        s->value_words = 0;
    }

    if (s->reg == 0) {
        check(m, s, value);
        if (own)
            start_up(m);
        return;
    }
    if (s->reg == command && value == 7) {
        s->crc = 0;
        return;
    }
    add(m, s, wide(m) || s->reg != idcode ? value : value & 0xffff);
    if (s->reg == command && value == 0x0d) {
        s->synced = 0;
        s->sync = 0;
    }
    if (!own)
        return;
    if (s->reg == command && value == 0x0d) {
        start_up(m);
        m->sync = 0;
    } else if (failed(m)) {
        return;
    } else if (s->reg == idcode) {
        m->idcode_seen = value;
        if (m->device.idcode != 0 && ((value ^ m->device.idcode) & 0x0fffffff) != 0)
            fail(m, &m->id_error, BOOT_ID_ERROR);
    } else if (s->reg == command && value == 5) {
        m->start_armed = 1;
    } else if (s->reg == 0x0d && m->device.group == FPGA_32C && s->one_word) {
        m->axss = value;
    }
}

/* INIT_B as the device drives it, and as the JTAG capture and STAT show it. */
static int init_high(const struct fpga_model *m) {
    return m->state != RESET && m->state != CLEARING && m->state != ERROR;
}

/* The start-up's phase, 0 to 7: DONE rises as phase 4 begins, after
 * DONE_AFTER_CLOCKS, and the 64 clocks after DONE that the model asks of a
 * loader take it through phases 4 to 6 to the end, 7. A start-up that
 * stalls stays in its phase. */
static uint32_t startup_phase(const struct fpga_model *m) {
    unsigned long phase = 0;
    if (m->done && m->clocks_after_done >= CLOCKS_AFTER_DONE)
        phase = LAST_PHASE;
    else if (m->done)
        phase = DONE_PHASE + m->clocks_after_done * 3 / CLOCKS_AFTER_DONE;
    else if (m->startup_clocks > 0)
        phase = (unsigned long)m->startup_clocks < DONE_AFTER_CLOCKS
                    ? (unsigned long)m->startup_clocks * DONE_PHASE / DONE_AFTER_CLOCKS
                    : DONE_PHASE - 1;
    if (m->startup_stalls_in >= 0 && phase > (unsigned long)m->startup_stalls_in)
        phase = (unsigned long)m->startup_stalls_in;
    return (uint32_t)phase;
}

/* The status register, as each family lays it out: CRC_ERROR in bit 0 of
 * all; 16A: INIT 11, DONE 12, ID_ERROR 13; 22F and 22H: ID_ERROR 1, INIT_B
 * 12, DONE 13; 32C: INIT_COMPLETE (the memory is clear) 11, INIT_B 12,
 * RELEASE_DONE 13, DONE 14, ID_ERROR 15, the start-up's phase 20:18, and
 * the bus width 26:25 (x1, or x8 on the parallel interface). 32C-a, 32C-b
 * and 16N take 32C-c's layout, as theirs is not known. The bits of the
 * decryption and authentication errors (22F's 6, 32C's 16 and 27) stay 0,
 * as the model decrypts nothing, and so do the others (clock locks, mode
 * pins...), which it does not play. */
static uint32_t status(const struct fpga_model *m) {
    const uint32_t crc = m->crc_error != 0, id = m->id_error != 0, init = (uint32_t)init_high(m);
    const uint32_t done = m->done != 0, cleared = m->state != RESET && m->state != CLEARING;
    switch (m->device.group) {
    case FPGA_16A: return crc | init << 11 | done << 12 | id << 13;
    case FPGA_22F:
    case FPGA_22H: return crc | id << 1 | init << 12 | done << 13;
    default:
        return crc | cleared << 11 | init << 12 | done << 13 | done << 14 | id << 15 | startup_phase(m) << 18 |
               (uint32_t)(m->parallel != 0) << 25;
    }
}

/* The IDCODE that the configuration logic holds: the one its stream must
 * write, with the silicon's version in bits 31:28, which streams often
 * leave 0. */
static uint32_t own_idcode(const struct fpga_model *m) {
    return m->device.idcode != 0 ? (m->jtag_idcode & 0xf0000000u) | (m->device.idcode & 0x0fffffffu) : m->jtag_idcode;
}

/* What a read packet of register reg finds: STAT, IDCODE, AXSS and
 * BOOTSTS (32C-c, d and e, and 22F) where the family has them; the others
 * read 0. */
static uint32_t register_value(const struct fpga_model *m, unsigned reg) {
    if (reg == (wide(m) ? 0x07u : 0x08u))
        return status(m);
    if (reg == idcode_register(m))
        return own_idcode(m);
    if (reg == 0x0d && m->device.group == FPGA_32C)
        return m->axss;
    if ((reg == 0x16 && m->device.group == FPGA_32C && m->device.generation >= 2) ||
        (reg == 0x20 && m->device.group == FPGA_22F))
        return m->bootsts;
    return 0;
}

static void header(struct fpga_model *m, struct fpga_stream *s, uint32_t word) {
    const unsigned type = wide(m) ? word >> 29 : word >> 13;
    const unsigned opcode = (wide(m) ? word >> 27 : word >> 11) & 3, write = opcode == 2;
    const uint32_t count = word & (wide(m) ? 0x7ffu : 0x1fu);
    if (type == 1) {
        s->reg = wide(m) ? word >> 13 & 0x1f : word >> 5 & 0x3f;
        s->words_left = write ? count : 0;
        /* A read makes the register's value, as it is now, ready for
         * CFG_OUT: no words of it follow in the stream, and none of it
         * counts in the CRC. */
        if (opcode == 1 && s == m->streams) {
            m->read_register = s->reg;
            m->read_value = register_value(m, s->reg);
            m->read_words = count;
            m->read_given = 0;
        }
    } else if (type == 2 && wide(m)) {
        s->words_left = write ? word & 0x07ffffff : 0;
    } else if (type == 2) {
        s->reg = word >> 5 & 0x3f;
        s->count_words = 2;
        s->words_left = 0;
    }
    s->write = write;
    s->value_words = 0;
    s->one_word = type == 1 && s->words_left == 1;
    /* The words of a write to register 1E make a stream of their own. */
    if (s->words_left > 0 && s->reg == 0x1e && m->device.group == FPGA_32C && s + 1 < m->streams + 4)
        s[1].synced = 0;
}

static void take_word(struct fpga_model *m, uint32_t word) {
    const unsigned frame_data = wide(m) ? 2 : 3;
    struct fpga_stream *s = m->streams;
    /* Down to the stream that the word is for. */
    while (s->synced && s->words_left > 0 && s->count_words == 0 && s->reg == 0x1e && m->device.group == FPGA_32C &&
           s + 1 < m->streams + 4) {
        add(m, s, word);
        --s->words_left;
        ++s;
    }
    if (!s->synced) {
        if (word == 0xaa995566u) {
            memset(s, 0, sizeof *s);
            s->synced = 1;
        }
    } else if (s->count_words > 0) {
        s->words_left = s->words_left << 16 | word;
        if (--s->count_words == 0 && !s->write)
            s->words_left = 0;
    } else if (s->words_left > 0) {
        data(m, s, word);
        /* After the frame data, one family checks a CRC word and another two
         * words (high, low), with no packet header. */
        if (--s->words_left == 0 && s->reg == frame_data)
            s->check_words = m->device.group == FPGA_16A ? 1 : m->device.group == FPGA_22F ? 2 : 0;
    } else if (s->check_words == 2) {
        s->high_word = word;
        s->check_words = 1;
    } else if (s->check_words == 1) {
        check(m, s, m->device.group == FPGA_22F ? s->high_word << 16 | word : word);
        s->check_words = 0;
    } else {
        header(m, s, word);
    }
}

static void synced(struct fpga_model *m) {
    m->bits = 0;
    m->bit_count = 0;
    memset(&m->streams[0], 0, sizeof m->streams[0]);
    m->streams[0].synced = 1;
}

static int sync_word(const struct fpga_model *m) {
    return m->device.group == FPGA_22H ? (m->sync & 0xffff) == 0xaa99 : m->sync == 0xaa995566u;
}

/* The count lowest bits of value (8 at most) in configuration order: the
 * most significant first. The sync word may come at any bit, over the
 * serial interface and JTAG, and the words that follow line up with it;
 * over parallel x8 (bytewise) only at a byte. */
static void take_bits(struct fpga_model *m, unsigned value, int count, int bytewise) {
    const int word_bits = wide(m) ? 32 : 16;
    if (!m->streams[0].synced) {
        int bit;
        if (bytewise) {
            m->sync = m->sync << 8 | value;
            if (sync_word(m))
                synced(m);
            return;
        }
        for (bit = count - 1; bit >= 0 && !m->streams[0].synced; --bit) {
            m->sync = m->sync << 1 | (value >> bit & 1);
            if (sync_word(m)) {
                synced(m);
                m->bits = value & ((1u << bit) - 1);
                m->bit_count = bit;
            }
        }
        if (!m->streams[0].synced)
            return;
    } else {
        m->bits = m->bits << count | (value & ((1u << count) - 1));
        m->bit_count += count;
    }
    while (m->streams[0].synced && m->bit_count >= word_bits) {
        m->bit_count -= word_bits;
        take_word(m, (uint32_t)(m->bits >> m->bit_count) & (wide(m) ? 0xffffffffu : 0xffffu));
    }
}

/* PROG_B falls, or JPROGRAM: the device forgets its configuration, and
 * any session of the stream. */
static void reset(struct fpga_model *m) {
    m->state = RESET;
    memset(m->streams, 0, sizeof m->streams);
    m->bit_count = 0;
    m->sync = 0;
    m->done = 0;
    m->prog_b_fell_ns = m->now_ns;
    m->start_armed = 0;
    m->startup_clocks = -1;
    m->bytes = m->bytes_after_error = m->clocks_after_done = 0;
    m->crc_checks = 0;
    m->idcode_seen = 0;
    m->crc_error = m->id_error = 0;
    m->cfg_in_bits = 0;
    m->read_words = m->read_given = 0;
    m->axss = 0;
    m->sent = NULL;
}

/* The memory clears for clear_ns, for ever at UINT64_MAX. */
static void clear(struct fpga_model *m) {
    m->state = CLEARING;
    m->clear_until_ns = m->clear_ns > UINT64_MAX - m->now_ns ? UINT64_MAX : m->now_ns + m->clear_ns;
}

static void model_prog_b(void *context, int level) {
    struct fpga_model *m = context;
    advance(m, PIN_NS);
    if (!level && m->prog_b) {
        reset(m);
        ++m->prog_b_pulses;
    } else if (level && !m->prog_b) {
        if (m->now_ns - m->prog_b_fell_ns < PROG_B_LOW_NS)
            violation(m, "PROG_B low for too short a time, ns", (unsigned long)(m->now_ns - m->prog_b_fell_ns));
        clear(m);
    }
    m->prog_b = level != 0;
}

static int model_init_b(void *context) {
    struct fpga_model *m = context;
    advance(m, PIN_NS);
    if (m->watchdog_ns > 0 && m->now_ns - m->init_b_read_ns > m->watchdog_ns)
        violation(m, "the watchdog bit: INIT_B not read for ns", (unsigned long)(m->now_ns - m->init_b_read_ns));
    m->init_b_read_ns = m->now_ns;
    if (m->init_b_stuck_low || m->init_b_stuck_high)
        return m->init_b_stuck_high;
    if (m->init_b_low_when_done && m->done)
        return 0;
    return init_high(m);
}

/* As a DMA transfer would find them: the bytes of the last send() or
 * shift(), kept by keep_sent(). */
static void check_sent(struct fpga_model *m) {
    if (m->dma && m->sent != NULL && memcmp(m->sent, m->sent_copy, m->sent_count) != 0)
        violation(m, "the bytes of a send changed while they went out, bytes", (unsigned long)m->sent_count);
}

static void keep_sent(struct fpga_model *m, const unsigned char *bytes, size_t count) {
    m->sent = bytes;
    m->sent_count = count < sizeof m->sent_copy ? count : sizeof m->sent_copy;
    memcpy(m->sent_copy, bytes, m->sent_count);
}

/* DONE as a read finds it, through the pin or the IR capture. */
static int read_done(struct fpga_model *m) {
    if (m->done && m->done_falls_at_read > 0 && --m->done_falls_at_read == 0) {
        m->done = 0;
        m->startup_clocks = -1;
    }
    return m->done || m->done_stuck_high;
}

static int model_done(void *context) {
    struct fpga_model *m = context;
    check_sent(m);
    m->sent = NULL;
    advance(m, PIN_NS);
    return read_done(m);
}

static uint32_t model_micros(void *context) {
    struct fpga_model *m = context;
    advance(m, m->micros_read_ns);
    if (m->now_ns >= m->micros_stuck_ns && m->micros_reads < m->micros_stuck) {
        if (m->micros_reads++ > 0)
            m->micros_from_ns += m->now_ns - m->micros_still_ns;
        m->micros_still_ns = m->now_ns;
    }
    return (uint32_t)((m->now_ns - m->micros_from_ns) / 1000) + m->micros_offset;
}

static unsigned reverse_bits(unsigned byte) {
    unsigned reversed = 0;
    int i;
    for (i = 0; i < 8; ++i)
        reversed |= (byte >> i & 1) << (7 - i);
    return reversed;
}

/* Clocks of the start-up, CCLK or TCK: DONE rises after a few once it began,
 * and the clocks after DONE are counted. */
static void start_up_clocks(struct fpga_model *m, int clocks) {
    if (m->done) {
        m->clocks_after_done += clocks;
    } else if (m->startup_clocks >= 0) {
        m->startup_clocks += clocks;
        if (m->startup_clocks >= DONE_AFTER_CLOCKS && m->now_ns >= m->startup_began_ns + m->startup_ns &&
            m->startup_stalls_in >= DONE_PHASE) {
            /* The clocks of this step after the one that raised DONE. */
            m->done = 1;
            m->clocks_after_done = m->startup_clocks - DONE_AFTER_CLOCKS < clocks
                                       ? (unsigned long)(m->startup_clocks - DONE_AFTER_CLOCKS)
                                       : 0;
        }
    }
}

static void model_send(void *context, const unsigned char *bytes, size_t count) {
    struct fpga_model *m = context;
    const int clocks = m->parallel ? 1 : 8;
    size_t i;
    check_sent(m);
    keep_sent(m, bytes, count);
    if (m->state == RESET || m->state == CLEARING || m->init_b_stuck_low) {
        violation(m, "CCLK before INIT_B went high, bytes", (unsigned long)count);
        return;
    }
    for (i = 0; i < count; ++i) {
        if (m->state == ERROR)
            ++m->bytes_after_error;
        else if (m->now_ns >= m->clear_until_ns + m->deaf_ns)
            take_bits(m, m->parallel ? reverse_bits(bytes[i]) : bytes[i], 8, m->parallel);
        start_up_clocks(m, clocks);
        advance(m, (uint64_t)clocks * CCLK_NS);
    }
    m->bytes += count;
    if (m->bytes_after_error > BYTES_AFTER_ERROR)
        violation(m, "went on sending after INIT_B went low, bytes", m->bytes_after_error);
}

/* JTAG. Each TCK cycle: TDO is read while TCK is low; on the rising edge
 * the TAP in its state captures, shifts or clocks the start-up, and moves on
 * by TMS; on the falling edge a new instruction takes effect (Update-IR), or
 * Test-Logic-Reset selects IDCODE. */

static const enum fpga_tap_state next_state[16][2] = {
    [FPGA_TAP_RESET] = {FPGA_TAP_IDLE, FPGA_TAP_RESET},
    [FPGA_TAP_IDLE] = {FPGA_TAP_IDLE, FPGA_TAP_SELECT_DR},
    [FPGA_TAP_SELECT_DR] = {FPGA_TAP_CAPTURE_DR, FPGA_TAP_SELECT_IR},
    [FPGA_TAP_CAPTURE_DR] = {FPGA_TAP_SHIFT_DR, FPGA_TAP_EXIT1_DR},
    [FPGA_TAP_SHIFT_DR] = {FPGA_TAP_SHIFT_DR, FPGA_TAP_EXIT1_DR},
    [FPGA_TAP_EXIT1_DR] = {FPGA_TAP_PAUSE_DR, FPGA_TAP_UPDATE_DR},
    [FPGA_TAP_PAUSE_DR] = {FPGA_TAP_PAUSE_DR, FPGA_TAP_EXIT2_DR},
    [FPGA_TAP_EXIT2_DR] = {FPGA_TAP_SHIFT_DR, FPGA_TAP_UPDATE_DR},
    [FPGA_TAP_UPDATE_DR] = {FPGA_TAP_IDLE, FPGA_TAP_SELECT_DR},
    [FPGA_TAP_SELECT_IR] = {FPGA_TAP_CAPTURE_IR, FPGA_TAP_RESET},
    [FPGA_TAP_CAPTURE_IR] = {FPGA_TAP_SHIFT_IR, FPGA_TAP_EXIT1_IR},
    [FPGA_TAP_SHIFT_IR] = {FPGA_TAP_SHIFT_IR, FPGA_TAP_EXIT1_IR},
    [FPGA_TAP_EXIT1_IR] = {FPGA_TAP_PAUSE_IR, FPGA_TAP_UPDATE_IR},
    [FPGA_TAP_PAUSE_IR] = {FPGA_TAP_PAUSE_IR, FPGA_TAP_EXIT2_IR},
    [FPGA_TAP_EXIT2_IR] = {FPGA_TAP_SHIFT_IR, FPGA_TAP_UPDATE_IR},
    [FPGA_TAP_UPDATE_IR] = {FPGA_TAP_IDLE, FPGA_TAP_SELECT_DR},
};

static uint64_t ones(unsigned bits) {
    return bits >= 64 ? ~(uint64_t)0 : ((uint64_t)1 << bits) - 1;
}

/* The width of an instruction's code: 5 bits in 16N, 6 in the others. */
static unsigned code_bits(const struct fpga_model *m) {
    return m->device.group == FPGA_16N ? 5 : 6;
}

static unsigned other_dr_bits(const struct fpga_chain_device *d) {
    return !d->bypass && d->idcode != 0 ? 32 : 1;
}

/* One bit in at the top of a register of bits bits; its lowest bit out. */
static int shift_in(uint64_t *reg, unsigned bits, int in) {
    const int out = (int)(*reg & 1);
    *reg = *reg >> 1 | (uint64_t)(in != 0) << (bits - 1);
    return out;
}

/* The next word of the last read: a value of 32 bits takes two words in
 * 16-bit streams, high first, and a read of more words than the value
 * repeats it; 0 once the read has given all. */
static uint32_t next_read_word(struct fpga_model *m) {
    const int halves = !wide(m) && m->read_register == idcode_register(m);
    uint32_t word;
    if (m->read_given >= m->read_words)
        return 0;
    word = halves && m->read_given % 2 == 0 ? m->read_value >> 16 : m->read_value;
    ++m->read_given;
    return wide(m) ? word : word & 0xffff;
}

/* CFG_OUT's register takes the next word of the read, which goes out most
 * significant bit first, as the configuration logic gives it: bit-reversed
 * in a register that shifts out its lowest bit. The bits that come in from
 * TDI are lost when the next word loads. */
static void load_cfg_out(struct fpga_model *m) {
    const uint32_t word = next_read_word(m);
    unsigned i;
    m->dr = 0;
    for (i = 0; i < m->dr_bits; ++i)
        m->dr |= (uint64_t)(word >> i & 1) << (m->dr_bits - 1 - i);
    m->out_bits = m->dr_bits;
}

/* Capture-IR: 01 in the lowest bits, then the configuration's status; in
 * each die's field for several. Bits above the fields are ones. */
static void capture_ir(struct fpga_model *m) {
    const uint64_t init = (uint64_t)init_high(m), done = (uint64_t)read_done(m);
    unsigned i;
    for (i = 0; i < m->tdi_devices; ++i)
        m->tdi_side[i].ir = ((m->tdi_side[i].ir_capture & ~3u) | 1u) & ones(m->tdi_side[i].ir_bits);
    for (i = 0; i < m->tdo_devices; ++i)
        m->tdo_side[i].ir = ((m->tdo_side[i].ir_capture & ~3u) | 1u) & ones(m->tdo_side[i].ir_bits);
    if (m->device.group == FPGA_16N) {
        /* DONE, INIT and PROGRAM (the PROG_B pin). */
        m->ir = 1u | done << 2 | init << 3 | (uint64_t)(m->prog_b != 0) << 4;
        return;
    }
    m->ir = ones(m->device.ir_bits);
    for (i = 0; i < m->device.dies; ++i) {
        /* ISC_DONE and ISC_ENABLED (bits 2 and 3) stay 0: no ISC_ instruction is taken. */
        m->ir &= ~((uint64_t)0x3f << (6 * i));
        m->ir |= (1u | init << 4 | done << 5) << (6 * i);
    }
}

static void capture_dr(struct fpga_model *m) {
    unsigned i;
    for (i = 0; i < m->tdi_devices; ++i)
        m->tdi_side[i].dr = other_dr_bits(&m->tdi_side[i]) == 32 ? m->tdi_side[i].idcode : 0;
    for (i = 0; i < m->tdo_devices; ++i)
        m->tdo_side[i].dr = other_dr_bits(&m->tdo_side[i]) == 32 ? m->tdo_side[i].idcode : 0;
    m->dr_bits = 32;
    switch (m->instruction) {
    case IDCODE: m->dr = m->jtag_idcode; break;
    case USERCODE: m->dr = m->usercode; break;
    case CFG_OUT:
        /* A word of the stream's width at a time. */
        m->dr_bits = wide(m) ? 32 : 16;
        load_cfg_out(m);
        break;
    default:
        /* CFG_IN, as BYPASS, passes the bits on through one register that
         * captures 0. */
        m->dr = 0;
        m->dr_bits = 1;
        break;
    }
}

/* A bit that reaches the device's TDI in Shift-DR with CFG_IN, or count of
 * them (8 at most) most significant first. While the memory clears the
 * logic takes them too, but only to read (see data()). */
static void take_cfg_in(struct fpga_model *m, unsigned value, int count) {
    m->cfg_in_bits += (unsigned long)count;
    if (m->state == RESET || m->state == CLEARING || m->now_ns >= m->clear_until_ns + m->deaf_ns)
        take_bits(m, value, count, 0);
}

/* Shift-IR or Shift-DR: every register of the chain moves a bit towards TDO. */
static void shift_chain(struct fpga_model *m, int tdi) {
    const int ir = m->tap == FPGA_TAP_SHIFT_IR;
    int bit = tdi;
    unsigned i;
    for (i = 0; i < m->tdi_devices; ++i) {
        struct fpga_chain_device *d = &m->tdi_side[i];
        bit = ir ? shift_in(&d->ir, d->ir_bits, bit) : shift_in(&d->dr, other_dr_bits(d), bit);
    }
    if (!ir && m->instruction == CFG_IN)
        take_cfg_in(m, (unsigned)bit, 1);
    bit = ir ? shift_in(&m->ir, m->device.ir_bits, bit) : shift_in(&m->dr, m->dr_bits, bit);
    if (!ir && m->instruction == CFG_OUT && --m->out_bits == 0)
        load_cfg_out(m);
    for (i = 0; i < m->tdo_devices; ++i) {
        struct fpga_chain_device *d = &m->tdo_side[i];
        bit = ir ? shift_in(&d->ir, d->ir_bits, bit) : shift_in(&d->dr, other_dr_bits(d), bit);
    }
}

/* The device's instruction: the same code in each die's field, and ones
 * above the fields. One that it does not take leaves it in BYPASS. */
static void update_device(struct fpga_model *m) {
    const unsigned width = code_bits(m), dies = m->device.dies;
    const unsigned code = (unsigned)(m->ir & ones(width));
    int known = (m->ir >> (width * dies)) == ones(m->device.ir_bits - width * dies);
    unsigned i;
    for (i = 1; i < dies; ++i)
        known = known && (m->ir >> (width * i) & ones(width)) == code;
    m->instruction = (unsigned)ones(width);
    switch (code) {
    case CFG_OUT:
    case CFG_IN:
    case IDCODE:
    case JSTART: break;
    case USERCODE:
    case JPROGRAM:
    case JSHUTDOWN: known = known && m->device.group != FPGA_16N; break;
    case ISC_ENABLE:
    case ISC_PROGRAM:
    case ISC_NOOP:
    case ISC_DISABLE:
        if (known && m->device.group != FPGA_16N) {
            violation(m, "an ISC_ instruction, which a loader must not use, IR", (unsigned long)m->ir);
            return;
        }
        known = 0;
        break;
    default: known = known && code == ones(width); break;
    }
    if (!known) {
        violation(m, "an instruction that the device does not have, IR", (unsigned long)m->ir);
        return;
    }
    m->instruction = code;
    if (code == JPROGRAM) {
        /* As a PROG_B pulse. */
        reset(m);
        clear(m);
        ++m->jprograms;
    }
}

/* Update-IR: the other devices must take BYPASS. */
static void update_ir(struct fpga_model *m) {
    unsigned i;
    for (i = 0; i < m->tdi_devices + m->tdo_devices; ++i) {
        struct fpga_chain_device *d = i < m->tdi_devices ? &m->tdi_side[i] : &m->tdo_side[i - m->tdi_devices];
        if (d->ir != ones(d->ir_bits))
            violation(m, "an instruction other than BYPASS in another device of the chain, IR", (unsigned long)d->ir);
        d->bypass = 1;
    }
    update_device(m);
}

static void reset_tap(struct fpga_model *m) {
    unsigned i;
    for (i = 0; i < m->tdi_devices; ++i)
        m->tdi_side[i].bypass = 0;
    for (i = 0; i < m->tdo_devices; ++i)
        m->tdo_side[i].bypass = 0;
    m->instruction = IDCODE;
}

int fpga_model_tdo(const struct fpga_model *m) {
    const int ir = m->tap == FPGA_TAP_SHIFT_IR;
    if (m->tdo_stuck_low || m->tdo_stuck_high)
        return m->tdo_stuck_high;
    /* Outside the shift states TDO is not driven, and its pull-up holds it high. */
    if (!ir && m->tap != FPGA_TAP_SHIFT_DR)
        return 1;
    if (m->tdo_devices > 0)
        return (int)((ir ? m->tdo_side[m->tdo_devices - 1].ir : m->tdo_side[m->tdo_devices - 1].dr) & 1);
    return (int)((ir ? m->ir : m->dr) & 1);
}

static int model_tck(void *context, int tms, int tdi) {
    struct fpga_model *m = context;
    const int tdo = fpga_model_tdo(m);
    check_sent(m);
    m->sent = NULL;
    switch (m->tap) {
    case FPGA_TAP_CAPTURE_IR: capture_ir(m); break;
    case FPGA_TAP_CAPTURE_DR: capture_dr(m); break;
    case FPGA_TAP_SHIFT_IR:
    case FPGA_TAP_SHIFT_DR: shift_chain(m, tdi); break;
    case FPGA_TAP_IDLE:
        if (m->instruction == JSTART)
            start_up_clocks(m, 1);
        break;
    default: break;
    }
    m->tap = next_state[m->tap][tms != 0];
    if (m->tap == FPGA_TAP_UPDATE_IR)
        update_ir(m);
    else if (m->tap == FPGA_TAP_RESET)
        reset_tap(m);
    ++m->tck_cycles;
    advance(m, TCK_NS);
    return tdo;
}

/* Only bypass registers of one bit between TDI and the device's CFG_IN? */
static int one_bit_chain(const struct fpga_model *m) {
    unsigned i;
    for (i = 0; i < m->tdi_devices; ++i)
        if (other_dr_bits(&m->tdi_side[i]) != 1)
            return 0;
    for (i = 0; i < m->tdo_devices; ++i)
        if (other_dr_bits(&m->tdo_side[i]) != 1)
            return 0;
    return m->tap == FPGA_TAP_SHIFT_DR && m->instruction == CFG_IN;
}

/* count x 8 TCK cycles with TMS low. In Shift-DR with CFG_IN and the other
 * devices in BYPASS, the chain is a line of one-bit registers, with the
 * device's in it, that the data passes through a byte at a time: the bits
 * that the devices on the TDI side hold reach the device first, and the
 * last as many bits of the data stay in them. Else bit by bit. */
static int model_shift(void *context, const unsigned char *bytes, size_t count) {
    struct fpga_model *m = context;
    const unsigned ahead = m->tdi_devices, length = m->tdi_devices + 1 + m->tdo_devices;
    uint32_t line = 0;
    size_t i;
    check_sent(m);
    m->sent = NULL;
    if (!one_bit_chain(m)) {
        int bit;
        for (i = 0; i < count; ++i)
            for (bit = 7; bit >= 0; --bit)
                model_tck(m, 0, bytes[i] >> bit & 1);
        keep_sent(m, bytes, count);
        return 0;
    }
    /* The line's lowest bit is in tdi_side[0], its highest nearest TDO. */
    for (i = m->tdo_devices; i-- > 0;)
        line = line << 1 | (uint32_t)(m->tdo_side[i].dr & 1);
    line = line << 1 | (uint32_t)(m->dr & 1);
    for (i = m->tdi_devices; i-- > 0;)
        line = line << 1 | (uint32_t)(m->tdi_side[i].dr & 1);
    for (i = 0; i < count; ++i) {
        const uint32_t moved = line << 8 | bytes[i];
        take_cfg_in(m, moved >> ahead & 0xff, 8);
        line = moved & (uint32_t)ones(length);
        m->tck_cycles += 8;
        advance(m, 8 * TCK_NS);
    }
    for (i = 0; i < m->tdi_devices; ++i, line >>= 1)
        m->tdi_side[i].dr = line & 1;
    m->dr = line & 1;
    line >>= 1;
    for (i = 0; i < m->tdo_devices; ++i, line >>= 1)
        m->tdo_side[i].dr = line & 1;
    /* As send()'s: out by the next call of tck() or shift(). */
    keep_sent(m, bytes, count);
    return 0;
}

int fpga_model_init(struct fpga_model *model, const char *type, int parallel) {
    memset(model, 0, sizeof *model);
    model->parallel = parallel;
    model->prog_b = 1;
    model->state = READY;
    model->startup_clocks = -1;
    model->clear_ns = CLEAR_NS;
    model->startup_stalls_in = LAST_PHASE;
    model->micros_read_ns = MICROS_NS;
    model->usercode = 0xffffffffu;
    model->tap = FPGA_TAP_RESET;
    model->instruction = IDCODE;
    model->dr_bits = 1;
    if (!fpga_device_of(type, &model->device)) {
        /* A TAP all the same, for a test that goes on. */
        model->device.ir_bits = 6;
        model->device.dies = 1;
        return 0;
    }
    model->jtag_idcode = model->device.idcode != 0 ? model->device.idcode : 0x0fffe093u;
    return 1;
}

/* A chain that the model cannot play is a test's mistake: it says so, and
 * plays the nearest that it can. */
static void check_chain(struct fpga_model *m, struct fpga_chain_device *side, unsigned *devices) {
    unsigned i;
    if (*devices > FPGA_CHAIN_MAX) {
        violation(m, "more devices on a side of the chain than the model plays", *devices);
        *devices = FPGA_CHAIN_MAX;
    }
    for (i = 0; i < *devices; ++i)
        if (side[i].ir_bits < 2 || side[i].ir_bits > 64) {
            violation(m, "an instruction register in the chain of a length the model does not play", side[i].ir_bits);
            side[i].ir_bits = side[i].ir_bits < 2 ? 2 : 64;
        }
}

void fpga_model_port(struct fpga_model *model, struct fpgabits_port *port) {
    unsigned i;
    check_chain(model, model->tdi_side, &model->tdi_devices);
    check_chain(model, model->tdo_side, &model->tdo_devices);
    memset(port, 0, sizeof *port);
    port->context = model;
    port->prog_b = model_prog_b;
    port->init_b = model_init_b;
    port->done = model_done;
    port->send = model_send;
    port->micros = model_micros;
    port->tck = model_tck;
    port->shift = model_shift;
    port->tdi_side.devices = model->tdi_devices;
    port->tdo_side.devices = model->tdo_devices;
    port->tdi_side.ir_bits = port->tdo_side.ir_bits = 0;
    for (i = 0; i < model->tdi_devices; ++i)
        port->tdi_side.ir_bits += model->tdi_side[i].ir_bits;
    for (i = 0; i < model->tdo_devices; ++i)
        port->tdo_side.ir_bits += model->tdo_side[i].ir_bits;
}

const char *fpga_model_violation(const struct fpga_model *model) {
    if (model->violation[0] != '\0')
        return model->violation;
    if (model->done && model->clocks_after_done < CLOCKS_AFTER_DONE)
        return "fewer than 64 clocks after DONE rose";
    return NULL;
}
