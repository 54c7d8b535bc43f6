// The inputs of cortex-m3.sh for one bitstream file:
//   cortex_m3_input BITSTREAM PREFIX
// writes PREFIX.config, the configuration data (the data after the header's
// length word), PREFIX.deflate, that data as the raw DEFLATE stream that
// fpgabits-deflate makes with a window of 1024 bytes, and PREFIX.gz, the
// whole file as a gzip file of the same window, as fpgabits_add_image(...
// COMPRESS) makes it, and PREFIX.bit, the file as it is; prints the size of
// the configuration data. Exits 1 where the file is no complete bitstream or
// an output cannot be written.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "bitstream.h"
#include "deflate_raw.h"

namespace {

bool write(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        std::fprintf(stderr, "cortex_m3_input: cannot write %s\n", path.c_str());
    return static_cast<bool>(out);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fputs("usage: cortex_m3_input BITSTREAM PREFIX\n", stderr);
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const bitstream::Parsed parsed = bitstream::parse(file);
    if (!parsed.complete) {
        std::fprintf(stderr, "cortex_m3_input: %s: not a complete bitstream\n", argv[1]);
        return 1;
    }
    const std::string data(parsed.data);
    const std::string stream = deflate_raw(data, 10);
    const std::string prefix = argv[2];
    const std::string image = zlib_deflate(file, 16 + 10);
    if (stream.empty() || image.empty() || !write(prefix + ".config", data) || !write(prefix + ".deflate", stream) ||
        !write(prefix + ".gz", image) || !write(prefix + ".bit", file))
        return 1;
    std::printf("%zu\n", data.size());
    return 0;
}
