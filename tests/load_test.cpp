// The loader against the FPGA model: every device family and every real
// bitstream configures in both modes at every chunk size, and each fault
// gives its own error in time, or none where it is no fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bitstream.h"
#include "configuration.h"
#include "fpga_model.h"
#include "fpgabits_load.h"
#include "support.h"

namespace {

struct Load {
    int result = 0;
    double ms = 0; // model time the load took
    fpga_model model{};
};

// Loads data into a model of the device type, in chunks of chunk bytes (0:
// all at once through fpgabits_load), after fault has set the model up.
Load load(const std::string &type, std::string_view data, bool parallel, std::size_t chunk = 0,
          void (*fault)(fpga_model &) = nullptr) {
    Load l;
    EXPECT_TRUE(fpga_model_init(&l.model, type.c_str(), parallel)) << type;
    l.model.dma = 1;
    if (fault != nullptr)
        fault(l.model);
    fpgabits_port port{};
    fpga_model_port(&l.model, &port);
    const fpgabits_interface interface = parallel ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL;
    const std::uint64_t start = l.model.now_ns;
    if (chunk == 0) {
        l.result = fpgabits_load(&port, interface, data.data(), data.size());
    } else {
        // As a careless caller: every chunk is written, whatever the result.
        // Once a call failed, the later ones fail too and send nothing.
        const auto after = [&l](int result, unsigned long sent) {
            if (l.result == FPGABITS_OK) {
                l.result = result;
            } else {
                EXPECT_NE(result, FPGABITS_OK) << "a call after the load failed";
                EXPECT_EQ(l.model.bytes, sent) << "sent after the load failed";
            }
        };
        fpgabits_loader loader;
        l.result = fpgabits_load_begin(&loader, &port, interface);
        for (std::size_t at = 0; at < data.size(); at += chunk) {
            const unsigned long sent = l.model.bytes;
            after(fpgabits_load_write(&loader, data.data() + at, std::min(chunk, data.size() - at)), sent);
        }
        const unsigned long sent = l.model.bytes;
        after(fpgabits_load_end(&loader), sent);
    }
    l.ms = static_cast<double>(l.model.now_ns - start) / 1e6;
    return l;
}

// A configuration that loads: DONE high, every check passed, the IDCODE the
// stream writes the one fpgabits_idcode finds, and no protocol violation.
void expect_configures(const std::string &type, std::string_view data) {
    fpga_device device{};
    ASSERT_TRUE(fpga_device_of(type.c_str(), &device)) << type;
    std::uint32_t idcode = 1;
    const int found = fpgabits_idcode(data.data(), data.size(), &idcode);
    if (device.group == FPGA_16N) {
        EXPECT_EQ(found, FPGABITS_ERR_NO_IDCODE);
    } else {
        EXPECT_EQ(found, FPGABITS_OK);
        EXPECT_EQ(idcode & 0x0fffffff, device.idcode & 0x0fffffff);
    }
    for (bool parallel : {false, true})
        for (std::size_t chunk : {std::size_t{1}, std::size_t{7}, std::size_t{4096}, std::size_t{0}}) {
            SCOPED_TRACE((parallel ? "parallel x8, chunk " : "serial, chunk ") + std::to_string(chunk));
            const Load l = load(type, data, parallel, chunk);
            EXPECT_EQ(l.result, FPGABITS_OK) << fpgabits_strerror(l.result);
            EXPECT_EQ(fpga_model_violation(&l.model), nullptr) << fpga_model_violation(&l.model);
            EXPECT_TRUE(l.model.done);
            EXPECT_GT(l.model.crc_checks, 0u);
            EXPECT_EQ(l.model.idcode_seen, idcode);
        }
}

// One device of each family and generation.
const char *const devices[] = {"7a35tcsg324",          "xc4vfx20ff672",   "xc6vlx130tff784",
                               "xcku040-ffva1156-2-e", "xcau15p-ffvb676", "3s500evq100",
                               "xc2s200fg456",         "6slx9tqg144",     "3s200avq100"};

TEST(Loader, ConfiguresEveryFamily) {
    for (const char *type : devices) {
        SCOPED_TRACE(type);
        fpga_device device{};
        ASSERT_TRUE(fpga_device_of(type, &device));
        expect_configures(type, bitstream::configuration(device, 5001));
    }
}

// Each bitstream that a real toolchain made, where the folder of them is
// present, in a test of its own.
class LoaderReal : public ::testing::TestWithParam<support::RealBitstream> {};

TEST_P(LoaderReal, Configures) {
    if (GetParam().path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    const std::string file = support::read_file(GetParam().path);
    const bitstream::Parsed parsed = bitstream::parse(file);
    ASSERT_TRUE(parsed.complete);
    const std::string &type = parsed.texts[1];
    expect_configures(type, parsed.data);
    // One bit flipped in the middle of the frame data.
    std::string flipped(parsed.data);
    flipped[flipped.size() / 2] ^= 0x10;
    EXPECT_EQ(load(type, flipped, false).result, FPGABITS_ERR_CRC);
}

INSTANTIATE_TEST_SUITE_P(Real, LoaderReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::light)),
                         support::real_name);
INSTANTIATE_TEST_SUITE_P(Heavy, LoaderReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::heavy)),
                         support::real_name);

TEST(Loader, ReportsEachFaultInTime) {
    fpga_device device{};
    ASSERT_TRUE(fpga_device_of("7a35tcsg324", &device));
    const std::string good = bitstream::configuration(device, 100000);
    std::string flipped = good;
    flipped[50000] ^= 0x04;
    const std::string cut = good.substr(0, 60000);
    struct Case {
        const char *what;
        std::string type;
        const std::string *data;
        void (*fault)(fpga_model &);
        int want;
        double most_ms;
    };
    const Case cases[] = {
        {"a bit flipped in the frames", "7a35tcsg324", &flipped, nullptr, FPGABITS_ERR_CRC, 50},
        {"another device", "7a100tcsg324", &good, nullptr, FPGABITS_ERR_CRC, 50},
        {"data cut in the frames", "7a35tcsg324", &cut, nullptr, FPGABITS_ERR_NO_DONE, 250},
        {"INIT_B stuck low", "7a35tcsg324", &good, [](fpga_model &m) { m.init_b_stuck_low = 1; }, FPGABITS_ERR_INIT,
         1010},
        {"INIT_B stuck high", "7a35tcsg324", &good, [](fpga_model &m) { m.init_b_stuck_high = 1; }, FPGABITS_ERR_INIT,
         1010},
        {"DONE stuck high", "7a35tcsg324", &good, [](fpga_model &m) { m.done_stuck_high = 1; }, FPGABITS_ERR_DONE_HIGH,
         50},
        {"INIT_B low once DONE is high", "7a35tcsg324", &good, [](fpga_model &m) { m.init_b_low_when_done = 1; },
         FPGABITS_OK, 50},
        {"DONE low again after the clocks after it", "7a35tcsg324", &good,
         [](fpga_model &m) { m.done_falls_at_read = 2; }, FPGABITS_ERR_NO_DONE, 50},
        {"a device that clears in 900 ms", "7a35tcsg324", &good, [](fpga_model &m) { m.clear_ns = 900000000; },
         FPGABITS_OK, 950},
        {"a device deaf for 10 ms after INIT_B rises", "7a35tcsg324", &good,
         [](fpga_model &m) { m.deaf_ns = 10000000; }, FPGABITS_OK, 50},
        {"a start-up of 150 ms", "7a35tcsg324", &good, [](fpga_model &m) { m.startup_ns = 150000000; }, FPGABITS_OK,
         200},
        {"a counter 5 ms before it wraps", "7a35tcsg324", &good, [](fpga_model &m) { m.micros_offset = 0u - 5000u; },
         FPGABITS_OK, 50},
        {"a fast CPU whose counter wraps while the device clears for 300 ms", "7a35tcsg324", &good,
         [](fpga_model &m) {
             m.micros_read_ns = 10;
             m.micros_offset = 0u - 100000u;
             m.clear_ns = 300000000;
         },
         FPGABITS_OK, 350},
        {"a counter that stands still for 2^20 reads", "7a35tcsg324", &good,
         [](fpga_model &m) { m.micros_stuck = 1u << 20; }, FPGABITS_ERR_CLOCK, 1200},
        {"a timer started 2^20 - 1 reads late", "7a35tcsg324", &good,
         [](fpga_model &m) { m.micros_stuck = (1u << 20) - 1; }, FPGABITS_OK, 1250},
        {"INIT_B stuck low, and a counter that stops for good after 100 ms", "7a35tcsg324", &good,
         [](fpga_model &m) {
             m.init_b_stuck_low = 1;
             m.micros_stuck_ns = 100000000;
             m.micros_stuck = ~0u;
         },
         FPGABITS_ERR_CLOCK, 1500},
        {"INIT_B stuck low, and a counter that stands still for 2^20 - 1 reads after 100 ms", "7a35tcsg324", &good,
         [](fpga_model &m) {
             m.init_b_stuck_low = 1;
             m.micros_stuck_ns = 100000000;
             m.micros_stuck = (1u << 20) - 1;
         },
         FPGABITS_ERR_INIT, 2500},
        {"a watchdog kicked by each read of INIT_B, which bites after 1 ms", "7a35tcsg324", &good,
         [](fpga_model &m) { m.watchdog_ns = 1000000; }, FPGABITS_OK, 50},
    };
    for (const Case &c : cases)
        for (bool parallel : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (parallel ? ", parallel x8" : ", serial"));
            // Serial in chunks, parallel x8 all at once through fpgabits_load.
            const Load l = load(c.type, *c.data, parallel, parallel ? 0 : 4096, c.fault);
            EXPECT_EQ(l.result, c.want) << fpgabits_strerror(l.result);
            EXPECT_LE(l.ms, c.most_ms);
            EXPECT_EQ(l.model.done, c.want == FPGABITS_OK);
            EXPECT_EQ(fpga_model_violation(&l.model), nullptr) << fpga_model_violation(&l.model);
        }
    // A port whose transfers fail says so through init_b(): from the start,
    // or once 1,000 bytes went out.
    for (unsigned long after : {0ul, 1000ul}) {
        static unsigned long fail_after = 0;
        fail_after = after;
        fpga_model model{};
        fpga_model_init(&model, "7a35tcsg324", 0);
        fpgabits_port port{};
        fpga_model_port(&model, &port);
        static int (*const init_b)(void *) = port.init_b;
        port.init_b = [](void *context) {
            return static_cast<fpga_model *>(context)->bytes >= fail_after ? FPGABITS_ERR_PORT : init_b(context);
        };
        EXPECT_EQ(fpgabits_load(&port, FPGABITS_SERIAL, good.data(), good.size()), FPGABITS_ERR_PORT);
        EXPECT_LE(model.bytes, after == 0 ? 0 : after + 512);
        EXPECT_EQ(fpga_model_violation(&model), nullptr) << fpga_model_violation(&model);
        struct fpgabits_status status {};
        EXPECT_EQ(fpgabits_status(&port, FPGABITS_SERIAL, &status), FPGABITS_ERR_PORT);
    }
}

// A partial configuration goes into a running device without PROG_B, which
// would erase it, and its CRC error shows although DONE stays high. A device
// that is not configured, or shows an error, gets nothing.
TEST(Loader, LoadsPartialConfigurationsWithoutReset) {
    fpga_device device{};
    ASSERT_TRUE(fpga_device_of("7z010clg400", &device));
    const std::string data = bitstream::configuration(device, 20000, 3);
    std::string flipped = data;
    flipped[10000] ^= 0x40;
    struct Case {
        const char *what;
        bool configured;
        const std::string *data;
        void (*fault)(fpga_model &);
        int want;
    };
    const Case cases[] = {
        {"a partial configuration", true, &data, nullptr, FPGABITS_OK},
        {"a bit flipped", true, &flipped, nullptr, FPGABITS_ERR_CRC},
        {"a device not configured", false, &data, nullptr, FPGABITS_ERR_NO_DONE},
        {"INIT_B low", true, &data, [](fpga_model &m) { m.init_b_stuck_low = 1; }, FPGABITS_ERR_INIT},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fpga_model model{};
        fpga_model_init(&model, "7z010clg400", 0);
        fpgabits_port port{};
        fpga_model_port(&model, &port);
        if (c.configured) {
            ASSERT_EQ(fpgabits_load(&port, FPGABITS_SERIAL, data.data(), data.size()), FPGABITS_OK);
        }
        if (c.fault != nullptr)
            c.fault(model);
        const unsigned long sent = model.bytes;
        fpgabits_loader loader;
        int result = fpgabits_load_begin_partial(&loader, &port, FPGABITS_SERIAL);
        if (result == FPGABITS_OK)
            result = fpgabits_load_write(&loader, c.data->data(), c.data->size());
        if (result == FPGABITS_OK)
            result = fpgabits_load_end(&loader);
        EXPECT_EQ(result, c.want) << fpgabits_strerror(result);
        EXPECT_EQ(model.prog_b_pulses, c.configured ? 1u : 0u);
        if (c.want != FPGABITS_OK && c.want != FPGABITS_ERR_CRC) {
            // The callbacks change model.bytes, which cppcheck does not see.
            // cppcheck-suppress knownConditionTrueFalse
            EXPECT_EQ(model.bytes, sent);
        }
    }
}

TEST(Loader, RefusesWrongArgumentsAndCallOrder) {
    fpga_model model{};
    fpga_model_init(&model, "7a35tcsg324", 0);
    fpgabits_port port{};
    fpga_model_port(&model, &port);
    // The port without each callback in turn.
    fpgabits_port incomplete[] = {port, port, port, port, port};
    incomplete[0].prog_b = nullptr;
    incomplete[1].init_b = nullptr;
    incomplete[2].done = nullptr;
    incomplete[3].send = nullptr;
    incomplete[4].micros = nullptr;
    fpgabits_loader loader{};
    const unsigned char byte = 0xff;
    EXPECT_EQ(fpgabits_load_begin(nullptr, &port, FPGABITS_SERIAL), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_begin(&loader, nullptr, FPGABITS_SERIAL), FPGABITS_ERR_ARGUMENT);
    for (const fpgabits_port &p : incomplete) {
        EXPECT_EQ(fpgabits_load_begin(&loader, &p, FPGABITS_SERIAL), FPGABITS_ERR_ARGUMENT);
        EXPECT_EQ(fpgabits_load_begin_partial(&loader, &p, FPGABITS_SERIAL), FPGABITS_ERR_ARGUMENT);
    }
    EXPECT_EQ(fpgabits_load_begin(&loader, &port, static_cast<fpgabits_interface>(3)), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_write(&loader, &byte, 1), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_end(&loader), FPGABITS_ERR_ARGUMENT);
    ASSERT_EQ(fpgabits_load_begin(&loader, &port, FPGABITS_SERIAL), FPGABITS_OK);
    EXPECT_EQ(fpgabits_load_write(&loader, nullptr, 1), FPGABITS_ERR_ARGUMENT);
    // A write of nothing frees the chunk before it, which goes out by DMA.
    model.dma = 1;
    unsigned char chunk = 0xff;
    EXPECT_EQ(fpgabits_load_write(&loader, &chunk, 1), FPGABITS_OK);
    EXPECT_EQ(fpgabits_load_write(&loader, nullptr, 0), FPGABITS_OK);
    chunk = 0xfe;
    EXPECT_EQ(fpgabits_load_write(&loader, &chunk, 1), FPGABITS_OK);
    EXPECT_EQ(fpga_model_violation(&model), nullptr) << fpga_model_violation(&model);
    EXPECT_EQ(fpgabits_load_end(&loader), FPGABITS_ERR_NO_DONE);
    EXPECT_EQ(fpgabits_load_end(&loader), FPGABITS_ERR_ARGUMENT);
    // A refused begin ends the load that was open.
    ASSERT_EQ(fpgabits_load_begin(&loader, &port, FPGABITS_SERIAL), FPGABITS_OK);
    EXPECT_EQ(fpgabits_load_begin_partial(&loader, &incomplete[3], FPGABITS_SERIAL), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_end(&loader), FPGABITS_ERR_ARGUMENT);
    std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(512));
    EXPECT_EQ(fpgabits_load_deflate(&port, FPGABITS_SERIAL, nullptr, 10, work.data(), work.size()),
              FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_deflate(&port, FPGABITS_SERIAL, &byte, 1, work.data(), 512 + 1791), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_load_deflate(&port, FPGABITS_SERIAL, &byte, 1, nullptr, work.size()), FPGABITS_ERR_ARGUMENT);
    std::uint32_t crc = 0;
    EXPECT_EQ(fpgabits_inflate_check(&byte, 1, work.data(), work.size(), nullptr, &crc), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_idcode(&byte, 1, nullptr), FPGABITS_ERR_ARGUMENT);
    struct fpgabits_status status {};
    EXPECT_EQ(fpgabits_status(&port, static_cast<fpgabits_interface>(3), &status), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(fpgabits_status(&incomplete[1], FPGABITS_SERIAL, &status), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(model.prog_b_pulses, 2u) << "a refused call touched the pins";
    for (int error = FPGABITS_ERR_CLOCK; error <= FPGABITS_OK; ++error)
        EXPECT_STRNE(fpgabits_strerror(error), fpgabits_strerror(1));
}

// Data that misleads a search for the IDCODE. Each row is hexadecimal bytes,
// copied to memory of exactly their size, where a read past them shows.
TEST(Loader, FindsTheIdcodeInCraftedData) {
    const std::string idcode_16(" 31c2 0400 1093"); // 16-bit streams: two words to register 0E
    // A 16-bit write of 17 words, the second of which reads as a frame data header.
    std::string seventeen_words = " 3271 0000 3061";
    for (int i = 0; i < 15; ++i)
        seventeen_words += " 0000";
    // A 32-bit write of 1025 words to register 0D, the second of which reads as an IDCODE write.
    std::string long_write = " 3001 a401 0000 0000 3001 8001 dead beef";
    for (int i = 0; i < 1022; ++i)
        long_write += " 0000 0000";
    struct Case {
        const char *what;
        std::string hex;
        int want;
        std::uint32_t idcode;
    };
    const Case cases[] = {
        {"nothing", "", FPGABITS_ERR_NO_IDCODE, 0},
        {"a 32-bit stream that reads STAT", "ffff ffff aa99 5566 2000 0000 2800 e001 3001 8001 0362 d093", FPGABITS_OK,
         0x0362d093},
        {"16-bit NOPs after the full sync word", "ffff aa99 5566 2000 2000" + idcode_16, FPGABITS_OK, 0x04001093},
        {"a stray sync word and an AA byte before the real one",
         "ffaa 99ff ff aa00 31c2 dead beef ffff aa99 5566 2000 0000 3001 8001 0362 d093", FPGABITS_OK, 0x0362d093},
        {"a word count that overflows", "ffff aa99 51c0 8000 0002 dead beef", FPGABITS_ERR_NO_IDCODE, 0},
        {"a 32-bit stream that starts with a long write", "aa99 5566 5000 0001 0000 0000 3001 8001 0362 d093",
         FPGABITS_OK, 0x0362d093},
        {"an IDCODE after frame data that holds a sync word",
         "aa99 5566 3000 4003 aa99 5566 3001 8001 0362 d093 3001 8001 0362 d093", FPGABITS_ERR_NO_IDCODE, 0},
        {"an IDCODE after 16-bit frame data", "aa99 3061 0000" + idcode_16, FPGABITS_ERR_NO_IDCODE, 0},
        {"data cut in the IDCODE", "aa99 5566 3001 8001 0362", FPGABITS_ERR_NO_IDCODE, 0},
        {"data cut after a NOP", "aa99 5566 2000", FPGABITS_ERR_NO_IDCODE, 0},
        {"data cut in a 16-bit word count", "aa99 5060 0000", FPGABITS_ERR_NO_IDCODE, 0},
        {"a sync word at the end", "ffff aa99", FPGABITS_ERR_NO_IDCODE, 0},
        {"seventeen 16-bit words, then the IDCODE", "aa99 5566" + seventeen_words + idcode_16, FPGABITS_OK, 0x04001093},
        {"a long write, then the IDCODE", "aa99 5566" + long_write + " 3001 8001 0362 d093", FPGABITS_OK, 0x0362d093},
        {"a word of no packet type after an empty frame data write",
         "aa99 5566 3000 4000 9000 0005 3001 8001 0362 d093", FPGABITS_OK, 0x0362d093},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<unsigned char> bytes;
        std::istringstream words(c.hex);
        for (std::string word; words >> word;)
            for (std::size_t i = 0; i < word.size(); i += 2)
                bytes.push_back(static_cast<unsigned char>(std::stoul(word.substr(i, 2), nullptr, 16)));
        const std::unique_ptr<unsigned char[]> exact(new unsigned char[bytes.size()]);
        std::copy(bytes.begin(), bytes.end(), exact.get());
        std::uint32_t idcode = 1;
        EXPECT_EQ(fpgabits_idcode(exact.get(), bytes.size(), &idcode), c.want);
        EXPECT_EQ(idcode, c.idcode);
    }
}

// The values that the checks reach, step by step, from known answers.
TEST(Model, CrcKernelsGiveKnownAnswers) {
    struct Step {
        unsigned address;
        std::uint32_t word, want;
    };
    const auto run = [](auto kernel, std::initializer_list<Step> steps) {
        std::uint32_t crc = 0;
        for (const Step &s : steps) {
            crc = kernel(crc, s.address, s.word);
            EXPECT_EQ(crc, s.want) << std::hex << s.address << " " << s.word;
        }
    };
    run(fpga_crc32c, {{0x09, 0x02003fe5, 0xa7ea7008}, {0x0e, 0x00000000, 0xdb46c6de}, {0x0c, 0x0362d093, 0x8b4db074}});
    run([](std::uint32_t c, unsigned a, std::uint32_t w) { return fpga_crc16(c, 5, a, w); },
        {{0x0b, 0x00000044, 0x8581}, {0x09, 0x41183fe5, 0x492f}, {0x0e, 0x0141c093, 0xfd51}});
    run([](std::uint32_t c, unsigned a, std::uint32_t w) { return fpga_crc16(c, 4, a, w); },
        {{0x0b, 0x0000000b, 0x6e40}, {0x09, 0x00803f2d, 0x37d2}});
    run(fpga_crc22,
        {{0x0d, 0x0380, 0x0d0380}, {0x0a, 0x3d08, 0x103a08}, {0x0e, 0x0400, 0x2e7010}, {0x0e, 0x1093, 0x126032}});
}

} // namespace
