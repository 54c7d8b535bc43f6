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

// Reads a length-prefixed text field into buf. A field longer than the buffer
// keeps its first size-1 bytes, so the text always stays terminated; the rest
// of the field is read past, since unseekable input cannot skip it.
bool field(char *buf, std::size_t size) {
    const long length = read16();
    if (length < 0)
        return false;
    std::memset(buf, 0, size);
    const std::size_t kept = std::min(static_cast<std::size_t>(length), size - 1);
    if (std::fread(buf, 1, kept, fs) != kept)
        return false;
    for (long rest = length - static_cast<long>(kept); rest > 0; --rest)
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
