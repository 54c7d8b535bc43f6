#include <algorithm>
#include <cstring>

#include "fpgabits.h"

std::FILE *fs;
char nam[32];
char typ[32];
char dat[16];
char tim[16];

namespace {

// A big-endian 16-bit value, or -1 when the file ends within it.
long read16() {
    const int high = std::getc(fs);
    const int low = std::getc(fs);
    if (high == EOF || low == EOF)
        return -1;
    return static_cast<long>(high) << 8 | low;
}

// Real design names carry a user ID and a tool version behind the name,
// separated by ';', and are often longer than the buffer. A text that does
// not fit keeps the parts that fit whole, up to the last ';' within the
// buffer, so that no value is cut in the middle to look like another. Only
// when not even the first part fits is it cut at size-1 bytes. buf holds the
// first size bytes of the text.
void cut(char *buf, std::size_t size) {
    std::size_t end = size - 1;
    for (std::size_t i = size - 1; i > 0; --i)
        if (buf[i] == ';') {
            end = i;
            break;
        }
    std::memset(buf + end, 0, size - end);
}

// Reads a length-prefixed text field into buf, which is left terminated. A
// text too long for the buffer is cut; the rest of the field is read past,
// since unseekable input cannot skip it.
bool field(char *buf, std::size_t size) {
    const long length = read16();
    if (length < 0)
        return false;
    std::memset(buf, 0, size);
    const std::size_t taken = std::min(static_cast<std::size_t>(length), size);
    if (std::fread(buf, 1, taken, fs) != taken)
        return false;
    if (taken == size && std::memchr(buf, 0, size) == nullptr)
        cut(buf, size);
    for (long rest = length - static_cast<long>(taken); rest > 0; --rest)
        if (std::getc(fs) == EOF)
            return false;
    return true;
}

} // namespace

int header() {
    struct Field {
        int tag;
        char *buf;
        std::size_t size;
    };
    const Field fields[] = {
        {'a', nam, sizeof nam},
        {'b', typ, sizeof typ},
        {'c', dat, sizeof dat},
        {'d', tim, sizeof tim},
    };

    std::fseek(fs, 0, SEEK_SET);
    if (read16() != 9)
        return 1;
    // The nine bytes behind the leading length carry nothing we use. A pipe
    // cannot seek, and a failed seek leaves the position alone, so read them.
    if (std::fseek(fs, 9, SEEK_CUR) != 0)
        for (int i = 0; i < 9; ++i)
            std::getc(fs);
    if (read16() != 1)
        return 1;
    for (const Field &f : fields)
        if (std::getc(fs) != f.tag || !field(f.buf, f.size))
            return 1;
    return std::getc(fs) == 'e' ? 0 : 1;
}
