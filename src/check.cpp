// The form of fpgabits-deflate that reads a bitstream file itself, through
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
// and fails where the check pass fails, as on a corrupt file. It reads the
// file a block at a time: memory is the same for any size.
#include <cstdint>
#include <cstdio>

#include "deflate.h"
#include "fpgabits_load.h"

namespace {

constexpr std::size_t block_size = std::size_t{64} * 1024;

// A block of a file.
unsigned char block[block_size];

// The image reader, with the smallest work area: bitstream files need no window.
fpgabits_image image;
unsigned char work[FPGABITS_IMAGE_WORK_SIZE(512)];

struct Checked {
    int result;
    fpgabits_image_info info;
};

// Reads a file in a check pass as a full configuration, or, where it is
// refused as such for its design name's PARTIAL=TRUE, as a partial one.
Checked check_file(const char *path) {
    std::FILE *in = std::fopen(path, "rb");
    if (in == nullptr)
        fail(path, "cannot open");
    Checked checked{};
    for (int partial = 0; partial < 2; ++partial) {
        int result = (partial != 0 ? fpgabits_image_begin_partial : fpgabits_image_begin)(
            &image, nullptr, FPGABITS_SERIAL, nullptr, 0, work, sizeof work);
        std::rewind(in);
        for (std::size_t size = 0; result == FPGABITS_OK && (size = std::fread(block, 1, sizeof block, in)) > 0;)
            result = fpgabits_image_write(&image, block, size);
        if (std::ferror(in) != 0)
            fail(path, "cannot read");
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
    fail(path, what);
}

} // namespace

void write_values(const char *bitstream, const char *output) {
    const Checked checked = check_file(bitstream);
    if (checked.result != FPGABITS_OK)
        refuse_checked(bitstream, checked.result);
    const fpgabits_image_info &info = checked.info;
    std::FILE *out = std::fopen(output, "w");
    if (out == nullptr)
        fail(output, "cannot create");
    std::fprintf(out,
                 "uint32_t FPGAcrc = 0x%08lxu;\nuint32_t FPGAidcode = 0x%08lxu;\n"
                 "uint32_t FPGAusr_access = 0x%08lxu;\nuint32_t FPGAusercode = 0x%08lxu;\n",
                 static_cast<unsigned long>(info.crc32), static_cast<unsigned long>(info.idcode),
                 static_cast<unsigned long>(info.usr_access), static_cast<unsigned long>(info.usercode));
    if (std::ferror(out) != 0 || std::fclose(out) != 0)
        fail(output, "cannot write");
}
