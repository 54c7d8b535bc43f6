// What COMPRESS gains and costs, for each bitstream file named: the ratio of
// its data to the raw DEFLATE stream that fpgabits-deflate makes at windows of
// 512, 1024 and 32768 bytes, and the speed of the loader's inflater (into a
// port that takes the bytes and does nothing) against zlib's inflate of the
// same stream, at 1024; then the median ratio and the slowest speed ratio:
//   inflate_bench FILE...
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bitstream.h"
#include "deflate_raw.h"
#include "fpgabits_load.h"

namespace {

// A device that is ready at once, takes bytes and does nothing with them, and
// is configured once it has some.
struct NullDevice {
    bool reset = false, loaded = false;
    std::uint32_t clock = 0;
};

fpgabits_port null_port(NullDevice &device) {
    fpgabits_port port{};
    port.context = &device;
    port.prog_b = [](void *context, int level) { static_cast<NullDevice *>(context)->reset = level == 0; };
    port.init_b = [](void *context) { return static_cast<NullDevice *>(context)->reset ? 0 : 1; };
    port.done = [](void *context) { return static_cast<NullDevice *>(context)->loaded ? 1 : 0; };
    port.send = [](void *context, const unsigned char *, std::size_t) {
        static_cast<NullDevice *>(context)->loaded = true;
    };
    port.micros = [](void *context) { return static_cast<NullDevice *>(context)->clock += 1000; };
    return port;
}

// Seconds a call takes, the best of enough rounds to take a second.
template <typename Call> double seconds(Call call) {
    double best = 1e9, total = 0;
    for (int round = 0; round < 3 || total < 1; ++round) {
        const auto start = std::chrono::steady_clock::now();
        call();
        const double taken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = std::min(best, taken);
        total += taken;
    }
    return best;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

} // namespace

int main(int argc, char **argv) {
    std::printf("%-48s %9s %7s %7s %7s %10s %10s %6s\n", "bitstream", "bytes", "x 512", "x 1024", "x 32768",
                "ours MB/s", "zlib MB/s", "ratio");
    std::vector<double> ratios, speeds;
    for (int i = 1; i < argc; ++i) {
        std::ifstream in(argv[i], std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const bitstream::Parsed parsed = bitstream::parse(file);
        if (!parsed.complete) {
            std::fprintf(stderr, "%s: not a bitstream\n", argv[i]);
            return 1;
        }
        const std::string data(parsed.data);
        double ratio[3];
        const int windows[3] = {9, 10, 15};
        for (int w = 0; w < 3; ++w)
            ratio[w] = static_cast<double>(data.size()) / static_cast<double>(deflate_raw(data, windows[w]).size());
        const std::string stream = deflate_raw(data, 10);

        std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1024));
        const double ours = seconds([&] {
            NullDevice device;
            const fpgabits_port port = null_port(device);
            if (fpgabits_load_deflate(&port, FPGABITS_SERIAL, stream.data(), stream.size(), work.data(), work.size()) !=
                FPGABITS_OK)
                std::fprintf(stderr, "%s: the inflater failed\n", argv[i]);
        });
        std::string out(data.size(), '\0');
        const double theirs = seconds([&] {
            z_stream z{};
            inflateInit2(&z, -10);
            z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
            z.avail_in = static_cast<uInt>(stream.size());
            z.next_out = reinterpret_cast<Bytef *>(out.data());
            z.avail_out = static_cast<uInt>(out.size());
            if (inflate(&z, Z_FINISH) != Z_STREAM_END || out != data)
                std::fprintf(stderr, "%s: zlib failed\n", argv[i]);
            inflateEnd(&z);
        });
        const std::string name = argv[i];
        std::printf("%-48s %9zu %7.1f %7.1f %7.1f %10.0f %10.0f %6.2f\n",
                    name.substr(name.find_last_of('/') + 1).c_str(), data.size(), ratio[0], ratio[1], ratio[2],
                    static_cast<double>(data.size()) / ours / 1e6, static_cast<double>(data.size()) / theirs / 1e6,
                    theirs / ours);
        ratios.push_back(ratio[1]);
        speeds.push_back(theirs / ours);
    }
    if (ratios.empty())
        return 0;
    std::printf("\n%-48s %8.1f\n", "median compression ratio at 1024", median(ratios));
    const double slowest = *std::min_element(speeds.begin(), speeds.end());
    std::printf("%-48s %8.2f   goal >= 0.33 %s\n", "slowest inflater speed relative to zlib", slowest,
                slowest >= 1.0 / 3 ? "met" : "MISSED");
    return 0;
}
