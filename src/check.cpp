// The forms of fpgabits-deflate that read a bitstream file itself, through
// the loader's image reader in a check pass, as firmware reads an image
// before it loads it (partial configurations, PARTIAL=TRUE in the design
// name, as such):
//
//   fpgabits-deflate --check BITSTREAM OUTPUT
//
// writes to OUTPUT what the check pass finds:
//
//   uint32_t FPGAcrc = 0x<crc>u;            CRC-32 of the configuration data, as gzip computes it
//   uint32_t FPGAidcode = 0x<idcode>u;      the IDCODE that it writes, or 0
//   uint32_t FPGAusr_access = 0x<value>u;   the one word that it writes to AXSS, or 0
//   uint32_t FPGAusercode = 0x<usercode>u;  the design name's UserID=0x..., or ffffffff
//
// and fails where the check pass fails, as on a corrupt file.
//
//   fpgabits-deflate --fingerprint INPUT OUTPUT
//
// writes to OUTPUT the bitstream file INPUT with a fingerprint: the CRC-32
// of its configuration data, written to the user-access register (AXSS) by
// one type 1 write of one word to register 0D (3001A001, the value) right
// after the stream's first IDCODE write (30018001, the IDCODE), within the
// first 1 KiB of data, where the image reader sees it before the reset. The
// device's CRC-32C adds the value, so the first CRC check after it in its
// session is given the value that the device computes now, and the checks
// after that, which start from 0, are as they were; the data length grows
// by 8. Streams that a fingerprint cannot go into are
// refused: a corrupt one (by the check pass), one of 16-bit words, one
// without CRC-32C (it writes the frame length, FLR), one that writes AXSS
// itself, one without that IDCODE write before its frame data, and an
// encrypted one (it writes CBC, register 0B, or its design name says
// ENCRYPT=... or AUTHENTICATE...=..., other than NO, FALSE or NONE). The
// copy is read in a check pass before it counts as made: the same CRC checks
// must pass, with the fingerprint as the value written to AXSS. Streams that
// the data carries for other dies (register 1E) are left as they are.
//
// Both read their files a block at a time: memory is the same for any size.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "deflate.h"
#include "fpgabits_load.h"

namespace {

constexpr std::size_t block_size = std::size_t{64} * 1024;

// A block of a file.
unsigned char block[block_size];

// The image reader, with the smallest work area: bitstream files need no window.
fpgabits_image image;
unsigned char work[FPGABITS_IMAGE_WORK_SIZE(512)];

// The file being written, removed when a step fails.
const char *written = nullptr;

[[noreturn]] void stop(const char *path, const char *what) {
    if (written != nullptr)
        std::remove(written);
    fail(path, what);
}

struct Checked {
    int result;
    fpgabits_image_info info;
};

// Reads a file in a check pass as a full configuration, or, where it is
// refused as such for its design name's PARTIAL=TRUE, as a partial one.
Checked check_file(const char *path) {
    std::FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        stop(path, "cannot open");
    Checked checked{};
    for (int partial = 0; partial < 2; ++partial) {
        int result = (partial != 0 ? fpgabits_image_begin_partial : fpgabits_image_begin)(
            &image, nullptr, FPGABITS_SERIAL, nullptr, 0, work, sizeof work);
        std::rewind(in);
        for (std::size_t size = 0; result == FPGABITS_OK && (size = std::fread(block, 1, sizeof block, in)) > 0;)
            result = fpgabits_image_write(&image, block, size);
        if (std::ferror(in) != 0)
            stop(path, "cannot read");
        fpgabits_image_info info{};
        const int end = fpgabits_image_end(&image, &info);
        if (partial == 0 || end == FPGABITS_OK)
            checked = {result == FPGABITS_OK ? end : result, info};
        if (checked.result != FPGABITS_ERR_FORMAT)
            break;
    }
    std::fclose(in);
    return checked;
}

[[noreturn]] void refuse_checked(const char *path, int result) {
    char what[128];
    std::snprintf(what, sizeof what, "fails the loader's check pass: %s", fpgabits_strerror(result));
    stop(path, what);
}

std::uint32_t big_endian(const unsigned char *bytes, unsigned size) {
    std::uint32_t value = 0;
    for (unsigned i = 0; i < size; ++i)
        value = value << 8 | bytes[i];
    return value;
}

// The CRC-32C of the 32C groups, reflected, a byte at a time.
constexpr std::uint32_t polynomial = 0x82f63b78;

struct Table {
    std::uint32_t entry[256];
};

constexpr Table make_table() {
    Table table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t crc = i;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) != 0 ? crc >> 1 ^ polynomial : crc >> 1;
        table.entry[i] = crc;
    }
    return table;
}

constexpr Table crc_table = make_table();

// One word written to register reg: its 32 bits, then the register's five
// address bits, least significant first. With both 0, it moves a difference
// between two running values past a word that both add.
std::uint32_t add_word(std::uint32_t crc, unsigned reg, std::uint32_t word) {
    crc ^= word;
    for (int i = 0; i < 4; ++i)
        crc = crc >> 8 ^ crc_table.entry[crc & 0xff];
    for (int i = 0; i < 5; ++i, reg >>= 1)
        crc = ((crc ^ reg) & 1) != 0 ? crc >> 1 ^ polynomial : crc >> 1;
    return crc;
}

// Registers, commands and packet headers of the 32C groups.
enum : unsigned { CRC = 0x00, FDRI = 0x02, CMD = 0x04, CBC = 0x0b, AXSS = 0x0d };
enum : std::uint32_t { RCRC = 0x07, DESYNC = 0x0d };
constexpr std::uint32_t sync_word = 0xaa995566, idcode_write = 0x30018001, axss_write = 0x3001a001,
                        flr_write = 0x30016001;
// The image reader decides on the first 1 KiB of data: the sync word and the
// fingerprint must end within it.
constexpr std::size_t decided = 1024;

// Whether the word after a 32-bit sync word is a 32-bit packet header: a NOP,
// a type 1 with its unused register bits and reserved bits clear, or a type 2.
bool wide_header(std::uint32_t word) {
    return word == 0x20000000u || (word >> 29 == 1 && (word & 0x07fc1800u) == 0) || word >> 29 == 2;
}

// Follows the configuration stream of a bitstream's data at its top level,
// as the device's configuration logic reads it and the check pass follows
// it (the streams for other dies are words written to register 1E here):
// where the fingerprint goes, the CRC-32C there, and the CRC check after it
// whose value it changes, if any. Refuses a stream that cannot take it.
class Scanner {
  public:
    explicit Scanner(const char *path) : path_(path) {}
    void take(const unsigned char *bytes, std::size_t size);
    // At the end of the data.
    void finish();

    std::uint64_t insert_at = 0; // offset in the data after the first IDCODE write
    std::uint32_t crc = 0;       // the running CRC-32C there
    bool checked = false;        // a CRC check follows in its session with no reset before it
    std::uint64_t check_at = 0;  // the offset of its value
    std::uint64_t words = 0;     // words added to the CRC between the IDCODE and the check

  private:
    void start();
    void packets(const unsigned char *bytes, std::size_t size);
    void header(std::uint32_t word);
    void data(std::uint32_t word);
    [[noreturn]] void refuse(const char *what, std::uint64_t at = 0) const;

    const char *path_;
    unsigned char head_[decided + 8] = {}; // the first bytes, where the sync word is looked for
    std::size_t held_ = 0;                 // bytes in head_
    std::uint64_t at_ = 0;                 // the offset of the next byte
    std::uint32_t word_ = 0;               // bytes of a word not yet whole, the last lowest
    unsigned bytes_ = 0;                   // bytes in word_
    std::uint32_t left_ = 0;               // data words of the packet still to come
    std::uint32_t running_ = 0;            // CRC-32C, as far as the IDCODE write
    unsigned reg_ = 0;                     // the register of the packet
    bool started_ = false;                 // the sync word was looked for in head_
    bool synced_ = false;                  // in a session: after a sync word, before DESYNC
    bool idcode_packet_ = false;           // the packet is the IDCODE write
    bool inserted_ = false;                // the IDCODE write was read
    bool counting_ = false;                // words are counted towards the CRC check after it
};

void Scanner::refuse(const char *what, std::uint64_t at) const {
    char message[320];
    std::snprintf(message, sizeof message, what, static_cast<unsigned long long>(at));
    stop(path_, message);
}

void Scanner::take(const unsigned char *bytes, std::size_t size) {
    if (!started_) {
        while (size > 0 && held_ < sizeof head_) {
            head_[held_++] = *bytes++;
            --size;
        }
        if (held_ < sizeof head_)
            return;
        start();
    }
    packets(bytes, size);
}

// Finds the first sync word in the first 1 KiB, as the image reader does:
// where 16-bit packets follow it, it is one of a 16-bit stream; where no
// packet does, it is a stray one.
void Scanner::start() {
    started_ = true;
    for (std::size_t at = 0; at + 4 <= held_ && at + 4 <= decided; ++at) {
        const std::uint32_t word = big_endian(head_ + at, 4);
        std::size_t next = at + 2;
        bool wide = false;
        bool known = true;
        if (word >> 16 != 0xaa99)
            continue;
        if (word == sync_word) {
            for (next = at + 4; next + 4 <= held_ && big_endian(head_ + next, 4) == 0x20002000u; next += 2) {
            }
            known = next + 4 <= held_;
            if (known)
                wide = wide_header(big_endian(head_ + next, 4));
            else
                next = at + 4;
        }
        if (known && (big_endian(head_ + next, wide ? 4 : 2) >> (wide ? 29 : 13)) - 1 >= 2)
            continue;
        if (known && !wide)
            refuse("no fingerprint: its stream has 16-bit words (sync word at byte %llu of its data), and no "
                   "CRC-32C: a fingerprint needs a stream of the 32C groups",
                   at);
        synced_ = true;
        at_ = next;
        packets(head_ + next, held_ - next);
        return;
    }
    refuse("no fingerprint: no sync word AA995566 of a 32-bit stream in the first 1 KiB of its data");
}

void Scanner::finish() {
    if (!started_)
        start();
    if (!inserted_)
        refuse("no fingerprint: its stream writes no IDCODE (30018001 and the IDCODE), which the fingerprint "
               "would follow");
}

void Scanner::packets(const unsigned char *bytes, std::size_t size) {
    while (size > 0) {
        // Most of the data: words of a packet that only add to the check,
        // past the IDCODE, where only their count matters.
        if (inserted_ && synced_ && bytes_ == 0 && left_ > 1 && reg_ != CRC && reg_ != CMD && size >= 4) {
            const std::size_t count = std::min<std::size_t>(size / 4, left_ - 1);
            left_ -= static_cast<std::uint32_t>(count);
            if (counting_)
                words += count;
            at_ += 4 * count;
            bytes += 4 * count;
            size -= 4 * count;
            continue;
        }
        word_ = word_ << 8 | *bytes++;
        --size;
        ++at_;
        if (++bytes_ < 4)
            continue;
        bytes_ = 0;
        if (!synced_) {
            // Sessions after the first start with a sync word in whole words.
            if (word_ == sync_word) {
                synced_ = true;
                running_ = 0;
                left_ = 0;
            }
        } else if (left_ > 0) {
            --left_;
            data(word_);
        } else {
            header(word_);
        }
    }
}

void Scanner::header(std::uint32_t word) {
    const unsigned type = word >> 29;
    const bool write = (word >> 27 & 3) == 2;
    idcode_packet_ = word == idcode_write;
    if (type == 1) {
        reg_ = word >> 13 & 0x1f;
        left_ = write ? word & 0x7ff : 0;
    } else if (type == 2) {
        left_ = write ? word & 0x07ffffff : 0;
    }
    if (left_ == 0)
        return;
    if (reg_ == AXSS)
        refuse("no fingerprint: its stream writes the user-access register (AXSS, register 0D) itself, at byte "
               "%llu of its data",
               at_ - 4);
    if (reg_ == CBC && word == flr_write)
        refuse("no fingerprint: its stream writes the frame length (FLR, 30016001) at byte %llu of its data, as "
               "streams with CRC-16 do: a fingerprint needs a stream of the 32C groups, with CRC-32C",
               at_ - 4);
    if (reg_ == CBC)
        refuse("no fingerprint: its stream writes CBC (register 0B) at byte %llu of its data: it is encrypted",
               at_ - 4);
    if (reg_ == FDRI && !inserted_)
        refuse("no fingerprint: its stream writes frame data at byte %llu of its data, before any IDCODE write "
               "(30018001 and the IDCODE), which the fingerprint would follow",
               at_ - 4);
}

// A data word written to the packet's register: a CRC check, which starts
// the CRC again, a command, or a word that adds to the CRC.
void Scanner::data(std::uint32_t word) {
    if (reg_ == CRC) {
        if (counting_) {
            checked = true;
            check_at = at_ - 4;
        }
        running_ = 0;
        counting_ = false;
        return;
    }
    if (reg_ == CMD && word == RCRC) {
        running_ = 0;
        counting_ = false;
        return;
    }
    running_ = add_word(running_, reg_, word);
    if (counting_)
        ++words;
    if (reg_ == CMD && word == DESYNC) {
        synced_ = false;
        counting_ = false;
    }
    if (idcode_packet_ && !inserted_) {
        if (at_ + 8 > decided)
            refuse("no fingerprint: its IDCODE write ends at byte %llu of its data, too late for the fingerprint "
                   "to end within the first 1 KiB, where the image reader looks before the reset",
                   at_);
        inserted_ = true;
        insert_at = at_;
        crc = running_;
        counting_ = true;
    }
}

// The bitstream header, read by the rules of fpgabits.
struct Header {
    long length_at;       // the file offset of the data length
    std::uint32_t length; // the data length
};

// The design name, whole, which may hold options (NAME=VALUE after a ';').
char design[65536];

Header read_header(std::FILE *in, const char *path) {
    unsigned char bytes[4];
    const auto read = [&](void *to, std::size_t size) {
        if (std::fread(to, 1, size, in) != size)
            stop(path, "not a bitstream file: its header ends early");
    };
    const auto read16 = [&] {
        read(bytes, 2);
        return big_endian(bytes, 2);
    };
    if (read16() != 9)
        stop(path, "not a bitstream file: no header as fpgabits reads it");
    read(block, 9);
    if (read16() != 1)
        stop(path, "not a bitstream file: no header as fpgabits reads it");
    std::memset(design, 0, sizeof design);
    for (const char tag : {'a', 'b', 'c', 'd'}) {
        read(bytes, 1);
        if (bytes[0] != static_cast<unsigned char>(tag))
            stop(path, "not a bitstream file: no header as fpgabits reads it");
        const std::uint32_t length = read16();
        read(tag == 'a' ? static_cast<void *>(design) : block, length);
    }
    read(bytes, 1);
    if (bytes[0] != 'e')
        stop(path, "not a bitstream file: no header as fpgabits reads it");
    Header header{std::ftell(in), 0};
    read(bytes, 4);
    header.length = big_endian(bytes, 4);
    if (header.length == 0)
        stop(path, "holds no configuration data: its data length is 0");
    if (header.length > 0xffffffffu - 8)
        stop(path, "no fingerprint: its data length leaves no room for 8 bytes more");
    return header;
}

bool same_letters(const char *text, std::size_t size, const char *word) {
    if (std::strlen(word) != size)
        return false;
    for (std::size_t i = 0; i < size; ++i)
        if ((text[i] & ~0x20) != word[i])
            return false;
    return true;
}

bool holds(const char *text, std::size_t size, const char *word) {
    const std::size_t length = std::strlen(word);
    for (std::size_t at = 0; at + length <= size; ++at)
        if (same_letters(text + at, length, word))
            return true;
    return false;
}

// Refuses a design name whose options say that the data is encrypted or
// authenticated, such as ENCRYPT=YES.
void check_options(const char *path) {
    for (const char *option = std::strchr(design, ';'); option != nullptr; option = std::strchr(option, ';')) {
        ++option;
        const std::size_t size = std::strcspn(option, ";");
        const std::size_t name = std::strcspn(option, "=");
        if (name >= size)
            continue;
        const char *value = option + name + 1;
        const std::size_t value_size = size - name - 1;
        if ((holds(option, name, "ENCRYPT") || holds(option, name, "AUTHENTICAT")) && value_size > 0 &&
            !same_letters(value, value_size, "NO") && !same_letters(value, value_size, "FALSE") &&
            !same_letters(value, value_size, "NONE")) {
            char what[200];
            std::snprintf(what, sizeof what,
                          "no fingerprint: its design name says %.*s: it is encrypted or authenticated",
                          static_cast<int>(std::min<std::size_t>(size, 80)), option);
            stop(path, what);
        }
    }
}

// The files of --fingerprint, and the fix-up of the CRC check after the
// inserted words, applied to the bytes of its value as they are copied.
struct Copy {
    std::FILE *in, *out;
    const char *input, *output;
    std::uint64_t fix_at; // the data offset of the CRC check's value
    std::uint32_t fix;    // the bits to change in it; 0 for none
    std::uint64_t at = 0; // the data offset of the next byte copied

    void write(const void *bytes, std::size_t size) const {
        if (std::fwrite(bytes, 1, size, out) != size)
            stop(output, "cannot write");
    }

    // Copies count bytes, the data's if counted, or all the rest.
    void copy(std::uint64_t count, bool counted = true) {
        while (count > 0) {
            const std::size_t size = std::fread(block, 1, std::min<std::uint64_t>(count, sizeof block), in);
            if (size == 0 && std::ferror(in) == 0 && count == UINT64_MAX)
                return;
            if (size == 0)
                stop(input, "cannot read");
            for (std::size_t i = 0; counted && fix != 0 && i < size; ++i)
                if (at + i - fix_at < 4)
                    block[i] ^= static_cast<unsigned char>(fix >> (8 * (3 - (at + i - fix_at))));
            write(block, size);
            if (counted)
                at += size;
            if (count != UINT64_MAX)
                count -= size;
        }
    }

    void put32(std::uint32_t value) const {
        const unsigned char bytes[4] = {static_cast<unsigned char>(value >> 24),
                                        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 8),
                                        static_cast<unsigned char>(value)};
        write(bytes, sizeof bytes);
    }
};

} // namespace

void write_values(const char *bitstream, const char *output) {
    const Checked checked = check_file(bitstream);
    if (checked.result != FPGABITS_OK)
        refuse_checked(bitstream, checked.result);
    const fpgabits_image_info &info = checked.info;
    std::FILE *out = open_file(output, "w");
    std::fprintf(out,
                 "uint32_t FPGAcrc = 0x%08lxu;\nuint32_t FPGAidcode = 0x%08lxu;\n"
                 "uint32_t FPGAusr_access = 0x%08lxu;\nuint32_t FPGAusercode = 0x%08lxu;\n",
                 static_cast<unsigned long>(info.crc32), static_cast<unsigned long>(info.idcode),
                 static_cast<unsigned long>(info.usr_access), static_cast<unsigned long>(info.usercode));
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        fail(output, "cannot write");
}

void fingerprint(const char *input, const char *output) {
    std::FILE *in = open_file(input, "rb");
    const Header header = read_header(in, input);
    const Checked before = check_file(input);
    if (before.result != FPGABITS_OK)
        refuse_checked(input, before.result);
    check_options(input);

    Scanner scanner(input);
    for (std::uint64_t left = header.length; left > 0;) {
        const std::size_t size = std::fread(block, 1, std::min<std::uint64_t>(left, sizeof block), in);
        if (size == 0)
            fail(input, "cannot read");
        scanner.take(block, size);
        left -= size;
    }
    scanner.finish();

    // The words after the IDCODE reach the CRC check after it with the
    // running value of the copy differing from the file's by as much as the
    // inserted word makes it differ, moved past each word added since.
    const std::uint32_t value = before.info.crc32;
    std::uint32_t fix = add_word(scanner.crc, AXSS, value) ^ scanner.crc;
    for (std::uint64_t i = 0; i < scanner.words; ++i)
        fix = add_word(fix, 0, 0);

    std::FILE *out = open_file(output, "wb");
    written = output;
    Copy copy{in, out, input, output, scanner.check_at, scanner.checked ? fix : 0};
    std::rewind(in);
    copy.copy(static_cast<std::uint64_t>(header.length_at), false);
    copy.put32(header.length + 8);
    if (std::fseek(in, 4, SEEK_CUR) != 0)
        stop(input, "cannot read");
    copy.copy(scanner.insert_at);
    copy.put32(axss_write);
    copy.put32(value);
    copy.copy(header.length - scanner.insert_at);
    copy.copy(UINT64_MAX, false);
    std::fclose(in);
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        stop(output, "cannot write");

    const Checked after = check_file(output);
    if (after.result != FPGABITS_OK) {
        char what[160];
        std::snprintf(what, sizeof what, "the copy with the fingerprint fails the loader's check pass: %s",
                      fpgabits_strerror(after.result));
        stop(output, what);
    }
    if (after.info.usr_access != value || after.info.crc_checks != before.info.crc_checks ||
        after.info.idcode != before.info.idcode || after.info.config_size != before.info.config_size + 8)
        stop(output, "the copy with the fingerprint does not read back with it and the file's own checks");
    written = nullptr;
}
