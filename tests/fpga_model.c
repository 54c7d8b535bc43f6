/* A model of an FPGA's configuration logic. See fpga_model.h. */
#include "fpga_model.h"

#include <ctype.h>
#include <stdio.h>
#include <string.h>

enum {
    CCLK_NS = 20,           /* a 50 MHz configuration clock */
    PIN_NS = 100,           /* each look at a pin */
    CLEAR_NS = 2000000,     /* clearing the memory after PROG_B rises */
    PROG_B_LOW_NS = 500,    /* the shortest PROG_B pulse taken */
    MICROS_NS = 1000,       /* a read of the microsecond counter, on a slow CPU */
    DONE_AFTER_CLOCKS = 16, /* start-up clocks before DONE rises */
    CLOCKS_AFTER_DONE = 64, /* asked of the loader after DONE */
    BYTES_AFTER_ERROR = 512 /* sent after INIT_B went low before it is a fault: the loader's largest piece */
};

enum state { RESET, CLEARING, HUNT, SYNCED, ERROR };

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
    for (i = 0; i < sizeof idcodes / sizeof idcodes[0]; ++i) {
        n = strlen(idcodes[i].name);
        if (strncmp(name, idcodes[i].name, n) == 0 && !isdigit((unsigned char)name[n]))
            device->idcode = idcodes[i].idcode;
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

static void violation(struct fpga_model *m, const char *text, unsigned long number) {
    if (m->violation[0] == '\0')
        snprintf(m->violation, sizeof m->violation, "%s (%lu)", text, number);
}

/* Time passes; the memory is clear once its time is up. */
static void advance(struct fpga_model *m, uint64_t ns) {
    m->now_ns += ns;
    if (m->state == CLEARING && m->now_ns >= m->clear_until_ns)
        m->state = HUNT;
}

static void fail(struct fpga_model *m) {
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
    ++m->crc_checks;
    if ((value & mask) != s->crc)
        fail(m);
    if (wide(m))
        s->crc = 0;
}

static void start_up(struct fpga_model *m) {
    if (m->start_armed && m->state != ERROR && m->startup_clocks < 0) {
        m->startup_clocks = 0;
        m->startup_began_ns = m->now_ns;
    }
}

/* A data word of a write packet to s->reg. The device's own stream (s at
 * streams) also checks the IDCODE, arms the start-up and ends with DESYNC;
 * a carried one, for another die, only has its checks. */
static void data(struct fpga_model *m, struct fpga_stream *s, uint32_t value) {
    const unsigned command = wide(m) ? 4 : 5;
    const unsigned idcode = m->device.group == FPGA_32C ? 0x0c : m->device.group == FPGA_16N ? 0x100 : 0x0e;
    const int own = s == m->streams;
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
    if (s->reg == idcode) {
        m->idcode_seen = value;
        if (m->device.idcode != 0 && ((value ^ m->device.idcode) & 0x0fffffff) != 0)
            fail(m);
    } else if (s->reg == command && value == 5) {
        m->start_armed = 1;
    } else if (s->reg == command && value == 0x0d) {
        start_up(m);
        if (m->state == SYNCED)
            m->state = HUNT;
        m->sync = 0;
    }
}

static void header(struct fpga_model *m, struct fpga_stream *s, uint32_t word) {
    const unsigned type = wide(m) ? word >> 29 : word >> 13;
    const unsigned write = ((wide(m) ? word >> 27 : word >> 11) & 3) == 2;
    if (type == 1) {
        s->reg = wide(m) ? word >> 13 & 0x1f : word >> 5 & 0x3f;
        s->words_left = write ? word & (wide(m) ? 0x7ffu : 0x1fu) : 0;
    } else if (type == 2 && wide(m)) {
        s->words_left = write ? word & 0x07ffffff : 0;
    } else if (type == 2) {
        s->reg = word >> 5 & 0x3f;
        s->count_words = 2;
        s->words_left = 0;
    }
    s->write = write;
    s->value_words = 0;
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
    m->state = SYNCED;
    m->bits = 0;
    m->bit_count = 0;
    memset(&m->streams[0], 0, sizeof m->streams[0]);
    m->streams[0].synced = 1;
}

static int sync_word(const struct fpga_model *m) {
    return m->device.group == FPGA_22H ? (m->sync & 0xffff) == 0xaa99 : m->sync == 0xaa995566u;
}

/* One byte in configuration order: most significant bit first. The sync word
 * may come at any bit in serial mode, and the words that follow line up with
 * it. */
static void take_byte(struct fpga_model *m, unsigned byte) {
    const int word_bits = wide(m) ? 32 : 16;
    if (m->state == HUNT) {
        int bit;
        if (m->parallel) {
            m->sync = m->sync << 8 | byte;
            if (sync_word(m))
                synced(m);
            return;
        }
        for (bit = 7; bit >= 0 && m->state == HUNT; --bit) {
            m->sync = m->sync << 1 | (byte >> bit & 1);
            if (sync_word(m)) {
                synced(m);
                m->bits = byte & ((1u << bit) - 1);
                m->bit_count = bit;
            }
        }
        if (m->state != SYNCED)
            return;
    } else {
        m->bits = m->bits << 8 | byte;
        m->bit_count += 8;
    }
    while (m->state == SYNCED && m->bit_count >= word_bits) {
        m->bit_count -= word_bits;
        take_word(m, (uint32_t)(m->bits >> m->bit_count) & (wide(m) ? 0xffffffffu : 0xffffu));
    }
}

static void model_prog_b(void *context, int level) {
    struct fpga_model *m = context;
    advance(m, PIN_NS);
    if (!level && m->prog_b) {
        m->state = RESET;
        m->done = 0;
        m->prog_b_fell_ns = m->now_ns;
        m->start_armed = 0;
        m->startup_clocks = -1;
        m->bytes = m->bytes_after_error = m->clocks_after_done = 0;
        m->crc_checks = 0;
        m->idcode_seen = 0;
        m->sent = NULL;
        ++m->prog_b_pulses;
    } else if (level && !m->prog_b) {
        if (m->now_ns - m->prog_b_fell_ns < PROG_B_LOW_NS)
            violation(m, "PROG_B low for too short a time, ns", (unsigned long)(m->now_ns - m->prog_b_fell_ns));
        m->state = CLEARING;
        m->clear_until_ns = m->now_ns + m->clear_ns;
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
    return m->state != RESET && m->state != CLEARING && m->state != ERROR;
}

/* As a DMA transfer would find them: the bytes of the last send(). */
static void check_sent(struct fpga_model *m) {
    if (m->dma && m->sent != NULL && memcmp(m->sent, m->sent_copy, m->sent_count) != 0)
        violation(m, "the bytes of a send changed while they went out, bytes", (unsigned long)m->sent_count);
}

static int model_done(void *context) {
    struct fpga_model *m = context;
    check_sent(m);
    m->sent = NULL;
    advance(m, PIN_NS);
    if (m->done && m->done_falls_at_read > 0 && --m->done_falls_at_read == 0) {
        m->done = 0;
        m->startup_clocks = -1;
    }
    return m->done || m->done_stuck_high;
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

static void model_send(void *context, const unsigned char *bytes, size_t count) {
    struct fpga_model *m = context;
    const int clocks = m->parallel ? 1 : 8;
    size_t i;
    check_sent(m);
    m->sent = bytes;
    m->sent_count = count < sizeof m->sent_copy ? count : sizeof m->sent_copy;
    memcpy(m->sent_copy, bytes, m->sent_count);
    if (m->state == RESET || m->state == CLEARING || m->init_b_stuck_low) {
        violation(m, "CCLK before INIT_B went high, bytes", (unsigned long)count);
        return;
    }
    for (i = 0; i < count; ++i) {
        if (m->state == ERROR)
            ++m->bytes_after_error;
        else if (m->now_ns >= m->clear_until_ns + m->deaf_ns)
            take_byte(m, m->parallel ? reverse_bits(bytes[i]) : bytes[i]);
        if (m->done) {
            m->clocks_after_done += clocks;
        } else if (m->startup_clocks >= 0) {
            m->startup_clocks += clocks;
            if (m->startup_clocks >= DONE_AFTER_CLOCKS && m->now_ns >= m->startup_began_ns + m->startup_ns) {
                /* The clocks of this byte after the one that raised DONE. */
                m->done = 1;
                m->clocks_after_done = m->startup_clocks - DONE_AFTER_CLOCKS < clocks
                                           ? (unsigned long)(m->startup_clocks - DONE_AFTER_CLOCKS)
                                           : 0;
            }
        }
        advance(m, (uint64_t)clocks * CCLK_NS);
    }
    m->bytes += count;
    if (m->bytes_after_error > BYTES_AFTER_ERROR)
        violation(m, "went on sending after INIT_B went low, bytes", m->bytes_after_error);
}

int fpga_model_init(struct fpga_model *model, const char *type, int parallel) {
    memset(model, 0, sizeof *model);
    model->parallel = parallel;
    model->prog_b = 1;
    model->state = HUNT;
    model->startup_clocks = -1;
    model->clear_ns = CLEAR_NS;
    model->micros_read_ns = MICROS_NS;
    return fpga_device_of(type, &model->device);
}

void fpga_model_port(struct fpga_model *model, struct fpgabits_port *port) {
    /* What the model does not play (JTAG, fault()) is NULL, whatever the
     * port held. */
    memset(port, 0, sizeof *port);
    port->context = model;
    port->prog_b = model_prog_b;
    port->init_b = model_init_b;
    port->done = model_done;
    port->send = model_send;
    port->micros = model_micros;
}

const char *fpga_model_violation(const struct fpga_model *model) {
    if (model->violation[0] != '\0')
        return model->violation;
    if (model->done && model->clocks_after_done < CLOCKS_AFTER_DONE)
        return "fewer than 64 clocks after DONE rose";
    return NULL;
}
