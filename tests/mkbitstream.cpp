// mkbitstream: writes a bitstream file with a realistic header and generated
// configuration data, for the sample, the fuzz corpus, the examples and the
// benchmark. For a device type of a known family the data is a configuration
// stream that loads into the FPGA model; for any other, padding, the sync word
// and pseudo-random bytes.
#include <getopt.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "bitstream.h"
#include "configuration.h"

namespace {

const char usage[] = "usage: mkbitstream [options] FILE\n"
                     "  --name TEXT    design name (default: a name with user ID and version)\n"
                     "  --device TEXT  device type\n"
                     "  --date TEXT    build date\n"
                     "  --time TEXT    build time\n"
                     "  --size N       bytes of configuration data (default 4096)\n"
                     "  --seed N       varies the generated data\n"
                     "  --length N     length word to write instead of the data size\n"
                     "  --sparse       write no data: extend the file with a hole of --size bytes\n"
                     "  --help         this text\n";

unsigned long long number(const char *arg) {
    char *end = nullptr;
    const unsigned long long value = std::strtoull(arg, &end, 0);
    if (*arg == '\0' || *end != '\0') {
        std::fprintf(stderr, "mkbitstream: not a number: %s\n", arg);
        std::exit(2);
    }
    return value;
}

} // namespace

int main(int argc, char **argv) {
    std::string name = "sample_top;UserID=0XFFFFFFFF;Version=2024.2";
    std::string device = "7a35tcsg324";
    std::string date = "2026/12/08";
    std::string time = "09:30:00";
    unsigned long long size = 4096;
    unsigned long long seed = 1;
    long long length = -1;
    bool sparse = false;

    const option options[] = {
        {"name", required_argument, nullptr, 'n'},   {"device", required_argument, nullptr, 'v'},
        {"date", required_argument, nullptr, 'd'},   {"time", required_argument, nullptr, 't'},
        {"size", required_argument, nullptr, 's'},   {"seed", required_argument, nullptr, 'r'},
        {"length", required_argument, nullptr, 'l'}, {"sparse", no_argument, nullptr, 'S'},
        {"help", no_argument, nullptr, 'h'},         {nullptr, 0, nullptr, 0},
    };
    for (int c; (c = getopt_long(argc, argv, "", options, nullptr)) != -1;) {
        switch (c) {
        case 'n': name = optarg; break;
        case 'v': device = optarg; break;
        case 'd': date = optarg; break;
        case 't': time = optarg; break;
        case 's': size = number(optarg); break;
        case 'r': seed = number(optarg); break;
        case 'l': length = static_cast<long long>(number(optarg)); break;
        case 'S': sparse = true; break;
        case 'h': std::fputs(usage, stdout); return 0;
        default: std::fputs(usage, stderr); return 2;
        }
    }
    if (optind + 1 != argc || size > 0xffffffffULL || length > 0xffffffffLL) {
        std::fputs(usage, stderr);
        return 2;
    }

    std::string out =
        bitstream::header(bitstream::text(name), bitstream::text(device), bitstream::text(date), bitstream::text(time));
    bitstream::put32(out, static_cast<std::uint32_t>(length >= 0 ? length : size));
    const std::size_t header_size = out.size();
    fpga_device known{};
    if (!sparse && fpga_device_of(device.c_str(), &known) != 0)
        out += bitstream::configuration(known, size, static_cast<std::uint32_t>(seed));
    else if (!sparse)
        out += bitstream::data(size, static_cast<std::uint32_t>(seed));

    std::FILE *file = std::fopen(argv[optind], "wb");
    bool ok = file != nullptr && std::fwrite(out.data(), 1, out.size(), file) == out.size();
    if (file != nullptr)
        ok = std::fclose(file) == 0 && ok;
    if (ok && sparse)
        ok = truncate(argv[optind], static_cast<off_t>(header_size + size)) == 0;
    if (!ok) {
        std::perror(argv[optind]);
        return 1;
    }
    return 0;
}
