/* fpgabits_image: reads an image file in chunks of any size (a bitstream
 * file, a gzip file of one, or raw configuration data), checks it, and loads
 * its configuration data. See fpgabits_load.h.
 *
 * The file passes through two layers: the outer one is the gzip file, if it
 * is one, whose inflated content is the inner one, or the file itself; the
 * inner one is a bitstream file (header, data length, data) or raw data.
 * The first configuration data is held back until its IDCODE is known, and
 * only then does the device see anything.
 *
 * The outer stages (image->outer), each from its first byte:
 *
 *   START -> PLAIN                     any first byte but 1F: the file as it is
 *   START -> FIXED                     1F: the ten fixed bytes of a gzip header
 *   FIXED -> EXTRA_LENGTH -> EXTRA -> NAME -> COMMENT -> HEADER_CRC -> DEFLATE
 *                                      each optional stage where its flag is set
 *   DEFLATE -> TRAILER                 the end of the DEFLATE stream: CRC-32 and size
 *   TRAILER -> AFTER                   both right
 *   AFTER -> FIXED                     1F: another gzip member, whose content goes on
 *   AFTER -> PADDING                   any other byte: nothing more is read
 *
 * The inner stages (image->inner):
 *
 *   INNER_START -> LEAD                0: a bitstream header's fixed start
 *   INNER_START -> RAW                 FF or AA: configuration data, to the end
 *   LEAD -> TAG -> FIELD_LENGTH -> TEXT -> TAG ...
 *                                      the fields a to d; then e, after which
 *   TAG -> DATA_LENGTH -> DATA         the data, as long as its length says
 *   DATA -> TRAILING                   nothing more is read
 *
 * Configuration data (RAW, DATA) is held back until decide() lets it go;
 * the check pass then follows its stream and CRC checks, a load sends it.
 * The DEFLATE stage keeps the input that the inflater has not used yet in
 * the work area; where a member ends inside it, the rest goes to the stages
 * after it before any new input. */
#include "fpgabits_internal.h"

enum {
    /* Configuration data held back until the IDCODE is known. */
    HOLD_SIZE = 1024,
    INPUT_SIZE = 512, /* compressed input kept for the inflater to read ahead */
    APPEND = 32,      /* bytes of data added to it at a time */
    /* A result of decide() besides FPGABITS_OK and the errors: it needs
     * more data. */
    UNDECIDED = 2
};

#define IMAGE_OPEN 0x494d4147u /* "IMAG" */

/* The work area: the held-back data, the input kept for the inflater, and
 * the inflater with its window. */
typedef char image_fits_its_area[HOLD_SIZE + INPUT_SIZE + FPGABITS_INFLATE_STATE_SIZE == FPGABITS_IMAGE_STATE_SIZE &&
                                         INPUT_SIZE > FPGABITS_INFLATE_LOOKAHEAD
                                     ? 1
                                     : -1];

/* Outer and inner stages: see the top of this file. */
enum outer { START, PLAIN, FIXED, EXTRA_LENGTH, EXTRA, NAME, COMMENT, HEADER_CRC, DEFLATE, TRAILER, AFTER, PADDING };

/* The flags of a gzip header, each for the stage it adds. */
enum { FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16, FRESERVED = 0xe0 };

enum inner { INNER_START, LEAD, TAG, FIELD_LENGTH, TEXT, DATA_LENGTH, DATA, TRAILING, RAW };

static const char partial_mark[] = "PARTIAL=TRUE", userid_mark[] = "USERID=0X";
#define USERID ((int)sizeof userid_mark - 1)

static unsigned upper(unsigned c) {
    return c - 'a' < 26 ? c - 'a' + 'A' : c;
}

/* The value of a hexadecimal digit in upper case, or 16 and more. */
static unsigned hex(unsigned c) {
    return c - '0' < 10 ? c - '0' : c - 'A' < 6 ? c - 'A' + 10 : 16;
}

/* The characters of a mark matched in a text after c, from matched; -1
 * after the text's end. */
static int follow(int matched, unsigned c, const char *mark) {
    return c == 0 ? -1 : c == (unsigned char)mark[matched] ? matched + 1 : c == (unsigned char)mark[0];
}

/* The text of a header field as fpgabits keeps it, in place: up to its
 * first zero byte; one too long for its buffer keeps the parts that fit
 * whole, up to the last ';' within the buffer, or else size - 1 bytes. */
static void keep_text(char *text, size_t size) {
    size_t end = 0;
    while (end < size && text[end] != '\0')
        ++end;
    if (end == size) {
        size_t i = size - 1;
        end = size - 1;
        for (; i > 0; --i)
            if (text[i] == ';') {
                end = i;
                break;
            }
    }
    while (end < size)
        text[end++] = '\0';
}

/* Whether text contains part, in any case. */
static int contains(const char *text, const char *part) {
    size_t at, i;
    for (at = 0; text[at] != '\0'; ++at) {
        for (i = 0; part[i] != '\0' && upper((unsigned char)text[at + i]) == upper((unsigned char)part[i]); ++i) {
        }
        if (part[i] == '\0')
            return 1;
    }
    return part[0] == '\0';
}

/* Records the first error. One that the image shows after the reset ends
 * the load as fpgabits_load_abort() does. */
static int stop(struct fpgabits_image *image, int error) {
    if (image->status == FPGABITS_OK && error != FPGABITS_OK) {
        image->status = error;
        if (image->port != NULL && image->decided)
            fpgabits_load_abort(&image->loader, error);
    }
    return image->status;
}

/* A refusal of the data: how much of it was read depends on the chunks,
 * so none counts. */
static int refuse(struct fpgabits_image *image, int error) {
    image->info.config_size = 0;
    image->info.crc32 = 0;
    return error;
}

/* Decides on the data held back: the IDCODE is found, or frame data begins,
 * or the hold-back is full, or, at the end, there is no more. A wrong
 * device or IDCODE is refused; otherwise the device is reset (or, for a
 * partial image, left as it is) and the held-back data sent. */
static int decide(struct fpgabits_image *image, int at_end) {
    const unsigned char *held = image->work;
    const int found = fpgabits_find_idcode(held, image->held, &image->stream, image->port == NULL);
    int error = FPGABITS_OK;
    if ((found == FPGABITS_IDCODE_UNSYNCED || found == FPGABITS_IDCODE_SYNCED) && image->held < HOLD_SIZE && !at_end)
        return UNDECIDED;
    image->info.idcode = image->stream.idcode;
    if (found == FPGABITS_IDCODE_UNSYNCED || found == FPGABITS_IDCODE_REVERSED)
        error = FPGABITS_ERR_FORMAT;
    else if (found == FPGABITS_ERR_CRC)
        error = found;
    else if (image->idcode != 0 &&
             (found != FPGABITS_OK || ((image->stream.idcode ^ image->idcode) & 0x0fffffffu) != 0))
        error = FPGABITS_ERR_DEVICE;
    if (error != FPGABITS_OK)
        return refuse(image, error);
    image->decided = 1;
    if (image->port == NULL)
        return FPGABITS_OK;
    error = fpgabits_load_start(&image->loader, image->port, (enum fpgabits_interface)image->interface, image->partial,
                                image->stream.idcode);
    return error == FPGABITS_OK ? fpgabits_load_write(&image->loader, held, image->held) : error;
}

/* Configuration data: held back, checked, or sent. */
static int configuration(struct fpgabits_image *image, const unsigned char *bytes, size_t size) {
    int error;
    image->info.config_size += size;
    if (image->port == NULL)
        image->info.crc32 = fpgabits_crc32(image->info.crc32, bytes, size);
    if (!image->decided) {
        unsigned char *held = image->work;
        while (size > 0 && image->held < HOLD_SIZE) {
            held[image->held++] = *bytes++;
            --size;
        }
        error = decide(image, 0);
        if (error != FPGABITS_OK)
            return error == UNDECIDED ? FPGABITS_OK : error;
    }
    if (size == 0)
        return FPGABITS_OK;
    if (image->port != NULL) {
        /* The user-access value comes before the frame data, which a load
         * follows the stream as far as. */
        if (!image->stream.framed)
            fpgabits_stream_write(&image->stream, bytes, size);
        return fpgabits_load_write(&image->loader, bytes, size);
    }
    error = fpgabits_stream_write(&image->stream, bytes, size);
    return error == FPGABITS_OK ? FPGABITS_OK : refuse(image, error);
}

/* The end of the bitstream header: checks what it says, and makes the
 * date text as fpgabits writes it, "date time". */
static char *append(char *to, const char *text) {
    while (*text != '\0')
        *to++ = *text++;
    return to;
}

static int header_end(struct fpgabits_image *image) {
    char *const space = append(image->info.date, image->date);
    *space = ' ';
    append(space + 1, image->time);
    if (image->device != NULL && !contains(image->info.device, image->device))
        return FPGABITS_ERR_DEVICE;
    if (image->partial_marked != image->partial)
        return FPGABITS_ERR_FORMAT;
    return FPGABITS_OK;
}

/* Goes on to an inner stage, from its first byte. */
static void next(struct fpgabits_image *image, int stage) {
    image->inner = stage;
    image->count = 0;
}

/* One byte of a bitstream header, read by the rules of fpgabits: the
 * leading length 9, nine bytes of any value, 1, the fields a to d with
 * their lengths, the tag e, then the data length. */
static int header_byte(struct fpgabits_image *image, unsigned byte) {
    const unsigned field = image->field, count = image->count++;
    char *const text = field == 0   ? image->info.design
                       : field == 1 ? image->info.device
                       : field == 2 ? image->date
                                    : image->time;
    const unsigned size = field < 2 ? 32 : 16;
    switch (image->inner) {
    case LEAD:
        if ((count < 2 || count > 10) && byte != (count == 1 ? 9u : count == 12))
            return FPGABITS_ERR_FORMAT;
        if (count == 12)
            next(image, TAG);
        return FPGABITS_OK;
    case TAG:
        if (byte != (unsigned char)"abcde"[field])
            return FPGABITS_ERR_FORMAT;
        next(image, field < 4 ? FIELD_LENGTH : DATA_LENGTH);
        image->left = 0;
        return field < 4 ? FPGABITS_OK : header_end(image);
    case FIELD_LENGTH:
    case DATA_LENGTH:
        image->left = image->left << 8 | byte;
        if (count < (image->inner == FIELD_LENGTH ? 1u : 3u))
            return FPGABITS_OK;
        if (image->inner == DATA_LENGTH) {
            image->inner = image->left > 0 ? DATA : TRAILING;
            return FPGABITS_OK;
        }
        next(image, TEXT);
        break;
    default: /* TEXT */
        if (count < size)
            text[count] = (char)byte;
        /* The design name says whether the data is a partial
         * configuration, anywhere in its text, and may record the
         * USERCODE. */
        if (field == 0) {
            const unsigned c = upper(byte);
            if (image->matched >= 0)
                image->matched = follow(image->matched, c, partial_mark);
            if (image->matched == sizeof partial_mark - 1)
                image->partial_marked = 1;
            if (image->userid >= 0 && image->userid < USERID) {
                image->userid = follow(image->userid, c, userid_mark);
                if (image->userid == USERID)
                    image->info.usercode = 0;
            } else if (image->userid >= USERID && image->userid < USERID + 8 && hex(c) < 16) {
                image->info.usercode = image->info.usercode << 4 | hex(c);
                ++image->userid;
            } else {
                image->userid = -1;
            }
        }
        --image->left;
        break;
    }
    if (image->left == 0) {
        keep_text(text, size);
        ++image->field;
        next(image, TAG);
    }
    return FPGABITS_OK;
}

/* The inner file: a bitstream file or raw data, its data to be loaded. */
static int inner(struct fpgabits_image *image, const unsigned char *bytes, size_t size) {
    int error = FPGABITS_OK;
    while (size > 0 && error == FPGABITS_OK) {
        size_t count = size;
        switch (image->inner) {
        case INNER_START:
            count = 0;
            if (bytes[0] == 0x00)
                image->inner = LEAD;
            else if (bytes[0] != 0xff && bytes[0] != 0xaa)
                error = FPGABITS_ERR_FORMAT;
            else if (image->device != NULL)
                error = FPGABITS_ERR_DEVICE;
            else
                image->inner = RAW;
            break;
        case RAW: error = configuration(image, bytes, size); break;
        case DATA:
            if (count > image->left)
                count = image->left;
            image->left -= (uint32_t)count;
            error = configuration(image, bytes, count);
            if (image->left == 0)
                image->inner = TRAILING;
            break;
        case TRAILING: break;
        default: error = header_byte(image, *bytes); count = 1;
        }
        bytes += count;
        size -= count;
    }
    return error;
}

/* The inflater's output: the gzip file's content. */
static int inflated(void *context, const unsigned char *bytes, size_t size) {
    struct fpgabits_image *image = (struct fpgabits_image *)context;
    image->content_crc = fpgabits_crc32(image->content_crc, bytes, size);
    image->content_size += (uint32_t)size;
    return inner(image, bytes, size);
}

/* Copies count bytes to where they do not overlap: compilers make this a
 * fast copy. */
static void copy_apart(unsigned char *restrict to, const unsigned char *restrict from, size_t count) {
    size_t i;
    for (i = 0; i < count; ++i)
        to[i] = from[i];
}

/* Runs the inflater over the input kept from the write before, with a
 * few more bytes of data after it at a time, until it has gone past what
 * was kept, then over data itself, and keeps what it leaves, fewer bytes
 * than one step may read, for the next write; at the end (final), over
 * what is kept. Once the stream ends, what follows it goes to the
 * trailer: the kept input it did not use (see drain()), then data. */
static int inflate_input(struct fpgabits_image *image, const unsigned char **data, size_t *size, int final) {
    unsigned char *const kept = image->work + HOLD_SIZE;
    const unsigned char *in;
    int result = FPGABITS_OK;
    while (image->kept > 0 && result == FPGABITS_OK) {
        const size_t old = image->kept;
        size_t added = *size < APPEND ? *size : APPEND, used;
        /* cppcheck-suppress knownConditionTrueFalse ; it takes end's call, with no data, for every call */
        if (added > INPUT_SIZE - old)
            added = INPUT_SIZE - old;
        /* cppcheck-suppress knownConditionTrueFalse */
        if (added == 0 && !final)
            return FPGABITS_OK;
        copy_apart(kept + old, *data, added);
        in = kept;
        result = fpgabits_inflate_run(image->inflater, &in, kept + old + added, final);
        used = (size_t)(in - kept);
        if (used >= old) {
            image->kept = 0;
            added = used - old;
        } else {
            size_t i;
            /* A stream that ends within the kept input leaves the rest of
             * it to the stages after it, and data to the next step. */
            if (result == FPGABITS_INFLATE_END)
                added = 0;
            image->kept = old + added - used;
            for (i = 0; i < image->kept; ++i)
                kept[i] = in[i];
        }
        *data += added;
        *size -= added;
        if (result == FPGABITS_INFLATE_END) {
            image->outer = TRAILER;
            return FPGABITS_OK;
        }
        if (final)
            return result;
    }
    if (result != FPGABITS_OK || image->outer != DEFLATE)
        return result;
    in = *data;
    result = fpgabits_inflate_run(image->inflater, &in, in + *size, final);
    *size -= (size_t)(in - *data);
    *data = in;
    if (result == FPGABITS_INFLATE_END) {
        image->outer = TRAILER;
        return FPGABITS_OK;
    }
    if (result == FPGABITS_OK) {
        copy_apart(kept, in, *size);
        image->kept = *size;
        *data += *size;
        *size = 0;
    }
    return result;
}

/* Goes on to the next stage of a gzip header, past the optional fields
 * that its flags leave out, and at its end starts the inflater. */
static void next_stage(struct fpgabits_image *image) {
    /* The flag of each optional stage; EXTRA follows EXTRA_LENGTH alone. */
    static const unsigned char flag[DEFLATE] = {0, 0, 0, FEXTRA, 0, FNAME, FCOMMENT, FHCRC};
    do
        ++image->outer;
    while (image->outer < DEFLATE && (image->flags & flag[image->outer]) == 0);
    image->outer_count = 0;
    image->value = 0;
    if (image->outer != DEFLATE)
        return;
    /* The window of a member before may still be going out. */
    if (image->port != NULL && image->decided)
        fpgabits_load_settle(&image->loader);
    image->inflater = fpgabits_inflate_start(image->work + HOLD_SIZE + INPUT_SIZE,
                                             image->work_size - HOLD_SIZE - INPUT_SIZE, 0, inflated, image);
}

/* One byte of a gzip member (RFC 1952) outside its DEFLATE stream: its
 * header's fixed ten bytes, its optional fields (extra data, file name,
 * comment and the header's CRC), and its trailer (the CRC-32 and the size of
 * its content, least significant byte first). */
static int gzip_byte(struct fpgabits_image *image, unsigned byte) {
    const unsigned char b = (unsigned char)byte;
    const unsigned count = image->outer_count++;
    if (image->outer < HEADER_CRC)
        image->header_crc = fpgabits_crc32(image->header_crc, &b, 1);
    switch (image->outer) {
    case TRAILER:
        image->value = image->value >> 8 | (uint32_t)byte << 24;
        if (count % 4 != 3)
            return FPGABITS_OK;
        if (image->value != (count == 3 ? image->content_crc : image->content_size))
            return FPGABITS_ERR_STREAM;
        if (count == 7)
            image->outer = AFTER;
        return FPGABITS_OK;
    case FIXED:
        /* A member after content is corrupt data, not another format. */
        if ((count == 1 && byte != 0x8b) || (count == 2 && byte != 8) || (count == 3 && (byte & FRESERVED) != 0))
            return image->inner != INNER_START ? FPGABITS_ERR_STREAM : FPGABITS_ERR_FORMAT;
        if (count == 3)
            image->flags = byte;
        if (count < 9)
            return FPGABITS_OK;
        break;
    case EXTRA_LENGTH:
    case HEADER_CRC:
        image->value |= (uint32_t)byte << 8 * count;
        if (count < 1)
            return FPGABITS_OK;
        if (image->outer == HEADER_CRC && image->value != (image->header_crc & 0xffff))
            return FPGABITS_ERR_STREAM;
        if (image->outer == EXTRA_LENGTH && image->value > 0) {
            image->outer = EXTRA;
            return FPGABITS_OK;
        }
        break;
    case EXTRA:
        if (--image->value > 0)
            return FPGABITS_OK;
        image->outer = EXTRA_LENGTH;
        break;
    default: /* NAME, COMMENT: text up to a zero byte */
        if (byte != 0)
            return FPGABITS_OK;
        break;
    }
    next_stage(image);
    return FPGABITS_OK;
}

int fpgabits_image_begin(struct fpgabits_image *image, const struct fpgabits_port *port,
                         enum fpgabits_interface interface, const char *device, uint32_t idcode, void *work,
                         size_t work_size) {
    unsigned char *bytes = (unsigned char *)image;
    size_t i;
    if (image == NULL)
        return FPGABITS_ERR_ARGUMENT;
    for (i = 0; i < sizeof *image; ++i)
        bytes[i] = 0;
    image->open = IMAGE_OPEN;
    image->info.usercode = 0xffffffffu;
    image->port = port;
    image->interface = interface;
    image->device = device != NULL && device[0] != '\0' ? device : NULL;
    image->idcode = idcode;
    image->work = (unsigned char *)work;
    image->work_size = work_size;
    image->inflater = NULL;
    if (fpgabits_link_of(interface) == NULL || (port != NULL && !fpgabits_link_of(interface)->port_ok(port)) ||
        work == NULL || work_size < FPGABITS_IMAGE_WORK_SIZE(512))
        return stop(image, FPGABITS_ERR_ARGUMENT);
    return FPGABITS_OK;
}

int fpgabits_image_begin_partial(struct fpgabits_image *image, const struct fpgabits_port *port,
                                 enum fpgabits_interface interface, const char *device, uint32_t idcode, void *work,
                                 size_t work_size) {
    const int error = fpgabits_image_begin(image, port, interface, device, idcode, work, work_size);
    if (image != NULL)
        image->partial = 1;
    return error;
}

/* One step of the outer stages over the input at *bytes, past which it
 * moves *bytes. */
static int outer_step(struct fpgabits_image *image, const unsigned char **bytes, size_t *size) {
    size_t count = *size;
    int error = FPGABITS_OK;
    switch (image->outer) {
    case START:
    case AFTER:
        if (**bytes == 0x1f) {
            /* A gzip member: the first, or one more whose content goes on. */
            image->outer = FIXED;
            image->outer_count = 0;
            image->header_crc = image->content_crc = image->content_size = 0;
        } else {
            image->outer = image->outer == START ? PLAIN : PADDING;
        }
        count = 0;
        break;
    case PLAIN: error = inner(image, *bytes, *size); break;
    case DEFLATE: return inflate_input(image, bytes, size, 0);
    case PADDING: break;
    default: error = gzip_byte(image, **bytes); count = 1;
    }
    *bytes += count;
    *size -= count;
    return error;
}

/* A gzip member that ended within the input kept for its inflater: the
 * rest of that input goes to the stages after it, up to the DEFLATE stream
 * of the next member, whose inflater keeps what is left. */
static void drain(struct fpgabits_image *image) {
    unsigned char *const kept = image->work + HOLD_SIZE;
    const unsigned char *rest = kept;
    size_t size = image->kept, i;
    while (size > 0 && image->outer != DEFLATE && image->status == FPGABITS_OK)
        stop(image, outer_step(image, &rest, &size));
    for (i = 0; i < size; ++i)
        kept[i] = rest[i];
    image->kept = size;
}

int fpgabits_image_write(struct fpgabits_image *image, const void *data, size_t size) {
    const unsigned char *bytes = (const unsigned char *)data;
    if (image == NULL || image->open != IMAGE_OPEN || (data == NULL && size > 0))
        return FPGABITS_ERR_ARGUMENT;
    image->loader.sent = 0;
    while (size > 0 && image->status == FPGABITS_OK) {
        if (image->kept > 0 && image->outer != DEFLATE)
            drain(image);
        else
            stop(image, outer_step(image, &bytes, &size));
    }
    /* A write that sends nothing still returns only once the caller's
     * chunk before it has gone out. */
    if (image->port != NULL && image->decided && !image->loader.sent)
        fpgabits_load_settle(&image->loader);
    return image->status;
}

/* What an image lacks at its end: a whole gzip member, a whole bitstream
 * header (which fpgabits would not recognise), or all of its data. */
static int cut_short(const struct fpgabits_image *image) {
    if (image->outer == START)
        return FPGABITS_ERR_FORMAT;
    if (image->outer != PLAIN && image->outer < AFTER)
        return FPGABITS_ERR_STREAM;
    if (image->inner < DATA_LENGTH)
        return FPGABITS_ERR_FORMAT;
    return image->inner < TRAILING ? FPGABITS_ERR_STREAM : FPGABITS_OK;
}

int fpgabits_image_end(struct fpgabits_image *image, struct fpgabits_image_info *info) {
    if (image == NULL || image->open != IMAGE_OPEN)
        return FPGABITS_ERR_ARGUMENT;
    image->open = 0;
    /* The input kept for the inflater, through as many members as it holds. */
    while (image->status == FPGABITS_OK && (image->outer == DEFLATE || image->kept > 0)) {
        const unsigned char *none = image->work;
        size_t size = 0;
        if (image->outer == DEFLATE)
            stop(image, inflate_input(image, &none, &size, 1));
        else
            drain(image);
    }
    if (image->status == FPGABITS_OK)
        stop(image, cut_short(image));
    if (image->status == FPGABITS_OK && !image->decided)
        stop(image, decide(image, 1));
    if (image->status == FPGABITS_OK && image->port != NULL)
        stop(image, fpgabits_load_end(&image->loader));
    /* A header cut within a text leaves it without its end. */
    keep_text(image->info.design, sizeof image->info.design);
    keep_text(image->info.device, sizeof image->info.device);
    image->info.crc_checks = image->stream.checks;
    image->info.usr_access = image->stream.usr_access;
    if (info != NULL)
        *info = image->info;
    return image->status;
}
