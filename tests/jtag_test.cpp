// The model's JTAG chain, driven through the port's tck() and shift() as a
// loader would: Test-Logic-Reset and IDCODE, the IR capture and length of
// each kind of device, BYPASS in the other devices, configurations loaded
// through CFG_IN, and registers read back through CFG_OUT.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "configuration.h"
#include "deflate_raw.h"
#include "fpga_model.h"
#include "fpgabits_load.h"
#include "support.h"

namespace {

enum : unsigned {
    USER1 = 0x02,
    CFG_OUT = 0x04,
    CFG_IN = 0x05,
    USERCODE = 0x08,
    IDCODE = 0x09,
    JPROGRAM = 0x0b,
    JSTART = 0x0c,
    ISC_ENABLE = 0x10
};

// Bits as a string, the first shifted first: value's lowest bits first.
std::string bits(std::uint64_t value, unsigned count) {
    std::string out;
    for (unsigned i = 0; i < count; ++i)
        out += static_cast<char>('0' + (value >> i & 1));
    return out;
}

std::uint64_t value(const std::string &bits) {
    std::uint64_t v = 0;
    for (std::size_t i = bits.size(); i-- > 0;)
        v = v << 1 | static_cast<unsigned>(bits[i] == '1');
    return v;
}

// The FPGA's instruction register holding code: in each die's field, with
// ones above (BYPASS is all ones).
std::uint64_t fpga_ir(const fpga_device &device, unsigned code) {
    const unsigned width = device.group == FPGA_16N ? 5 : 6;
    const std::uint64_t field = (std::uint64_t{1} << width) - 1;
    std::uint64_t ir = (std::uint64_t{1} << device.ir_bits) - 1;
    for (unsigned die = 0; die < device.dies; ++die)
        ir = (ir & ~(field << (width * die))) | (code & field) << (width * die);
    return ir;
}

// A chain and the moves of a loader through the port.
struct Tap {
    fpga_model model{};
    fpgabits_port port{};

    explicit Tap(const char *type, const std::vector<fpga_chain_device> &tdi = {},
                 const std::vector<fpga_chain_device> &tdo = {}, void (*fault)(fpga_model &) = nullptr) {
        EXPECT_TRUE(fpga_model_init(&model, type, 0)) << type;
        for (const fpga_chain_device &d : tdi)
            model.tdi_side[model.tdi_devices++] = d;
        for (const fpga_chain_device &d : tdo)
            model.tdo_side[model.tdo_devices++] = d;
        model.dma = 1;
        if (fault != nullptr)
            fault(model);
        fpga_model_port(&model, &port);
    }

    int tck(int tms, int tdi) { return port.tck(port.context, tms, tdi); }

    // Test-Logic-Reset from any state, then Run-Test/Idle.
    void reset() {
        for (int i = 0; i < 5; ++i)
            tck(1, 0);
        tck(0, 0);
    }

    void idle(int cycles) {
        for (int i = 0; i < cycles; ++i)
            tck(0, 0);
    }

    // From Run-Test/Idle to Shift-IR or Shift-DR.
    void enter(bool ir) {
        tck(1, 0);
        if (ir)
            tck(1, 0);
        tck(0, 0);
        tck(0, 0);
    }

    // Shifts the bits, leaving the shift state with the last, and goes on
    // to Run-Test/Idle through Update. Returns what TDO gave.
    std::string shift_out(const std::string &in) {
        std::string out;
        for (std::size_t i = 0; i < in.size(); ++i)
            out += static_cast<char>('0' + tck(static_cast<int>(i + 1 == in.size()), in[i] - '0'));
        tck(1, 0);
        tck(0, 0);
        return out;
    }

    std::string scan(bool ir, const std::string &in) {
        enter(ir);
        return shift_out(in);
    }

    // The chain's instruction register: code in the FPGA, BYPASS in the
    // others. The device nearest TDO takes the first bits.
    std::string instruction(unsigned code) const {
        std::string in;
        for (unsigned i = model.tdo_devices; i-- > 0;)
            in += std::string(model.tdo_side[i].ir_bits, '1');
        in += bits(fpga_ir(model.device, code), model.device.ir_bits);
        for (unsigned i = model.tdi_devices; i-- > 0;)
            in += std::string(model.tdi_side[i].ir_bits, '1');
        return in;
    }

    // The FPGA's IR capture, read while the instruction goes in.
    std::uint64_t capture(unsigned code = ~0u) {
        const std::string out = scan(true, instruction(code));
        unsigned at = 0;
        for (unsigned i = 0; i < model.tdo_devices; ++i)
            at += model.tdo_side[i].ir_bits;
        return value(out.substr(at, model.device.ir_bits));
    }

    // The FPGA's data register of count bits: the devices nearer TDO, in
    // BYPASS, give their bit first.
    std::string dr(unsigned code, unsigned count) {
        scan(true, instruction(code));
        return scan(false, std::string(model.tdo_devices + count, '0')).substr(model.tdo_devices);
    }

    // Words of word_bits into the configuration logic, each most
    // significant bit first. Each device between TDI and the FPGA puts the
    // zero that its bypass register captured ahead of them: zeros before
    // make a whole word of them, which the logic skips, so that the words
    // line up with those of a session already open. As many bits after
    // push the last through those devices.
    void cfg_in(const std::vector<std::uint32_t> &words, unsigned word_bits) {
        std::string in((word_bits - model.tdi_devices % word_bits) % word_bits, '0');
        for (std::uint32_t word : words)
            for (unsigned bit = word_bits; bit-- > 0;)
                in += static_cast<char>('0' + (word >> bit & 1));
        scan(true, instruction(CFG_IN));
        scan(false, in + std::string(model.tdi_devices, '0'));
    }

    // CFG_OUT's bits as a value, the first the most significant.
    std::uint32_t cfg_out(unsigned count) {
        const std::string out = dr(CFG_OUT, count);
        return std::accumulate(out.begin(), out.end(), std::uint32_t{0}, [](std::uint32_t word, char bit) {
            return word << 1 | static_cast<std::uint32_t>(bit == '1');
        });
    }

    // A register of the configuration logic, read as loaders do, a read
    // of count words: in 32-bit streams the sync word, a NOOP, the read and
    // two NOOPs, the value (32 bits of it), a DESYNC; 22F the same in
    // 16-bit words; 22H its half sync word and the DESYNC ahead of the
    // value.
    std::uint32_t read(unsigned reg, std::uint32_t count = 1) {
        if (model.device.group == FPGA_22H) {
            cfg_in({0x2000, 0xaa99, 0x2800u | reg << 5 | count, 0x30a1, 0x000d, 0x2000, 0x2000}, 16);
            return cfg_out(16 * count);
        }
        if (model.device.group == FPGA_22F) {
            cfg_in({0x2000, 0xaa99, 0x5566, 0x2800u | reg << 5 | count, 0x2000, 0x2000}, 16);
            const std::uint32_t word = cfg_out(16 * count);
            cfg_in({0x30a1, 0x000d, 0x2000, 0x2000}, 16);
            return word;
        }
        cfg_in({0xaa995566, 0x20000000, 0x28000000u | reg << 13 | count, 0x20000000, 0x20000000}, 32);
        const std::uint32_t word = cfg_out(32);
        cfg_in({0x30008001, 0x0000000d, 0x20000000, 0x20000000}, 32);
        return word;
    }

    // A configuration by hand: JPROGRAM, the IR capture polled until INIT
    // rises, the data through CFG_IN, JSTART and 100 clocks.
    void configure(const std::string &data) {
        scan(true, instruction(JPROGRAM));
        for (int poll = 0; poll < 100 && (capture() >> 4 & 1) == 0; ++poll)
            idle(1000);
        std::string in;
        for (char byte : data)
            for (int bit = 7; bit >= 0; --bit)
                in += static_cast<char>('0' + (byte >> bit & 1));
        scan(true, instruction(CFG_IN));
        scan(false, in + std::string(model.tdi_devices, '1'));
        scan(true, instruction(JSTART));
        idle(100);
    }

    // STAT: register 08 in 16-bit streams; 16A's read asks for two words.
    std::uint32_t stat() {
        const fpga_group group = model.device.group;
        return group == FPGA_22F || group == FPGA_22H ? read(0x08) : read(0x07, group == FPGA_16A ? 2 : 1);
    }
};

// The model saw no violation where want is null, else one that names want.
void expect_violation(const fpga_model &model, const char *want) {
    const char *violation = fpga_model_violation(&model);
    if (want == nullptr)
        EXPECT_EQ(violation, nullptr) << violation;
    else
        EXPECT_NE(std::string(violation != nullptr ? violation : "").find(want), std::string::npos)
            << (violation != nullptr ? violation : "no violation");
}

// Other devices of the chain, with and without an IDCODE register.
const fpga_chain_device with_idcode{8, 0x1234a0cbu, 0x24, 0, 0, 0};
const fpga_chain_device without_idcode{4, 0, 0, 0, 0, 0};
const fpga_chain_device five_bits{5, 0, 0x1c, 0, 0, 0};

// After Test-Logic-Reset each device holds its IDCODE, or BYPASS where it
// has none: a DR scan reads them from the device nearest TDO, then what went
// in. A cut TDO reads the same whatever the chain.
TEST(Tap, ResetSelectsEachIdcodeOrBypass) {
    struct Case {
        const char *what;
        std::vector<fpga_chain_device> tdi, tdo;
        void (*fault)(fpga_model &);
        std::vector<std::uint32_t> idcodes; // from TDO, 0 for BYPASS
        char stuck;                         // what every bit reads, or 0
    };
    const Case cases[] = {
        {"the FPGA alone", {}, {}, nullptr, {0x0362d093}, 0},
        {"IDCODE ahead, BYPASS after", {with_idcode}, {without_idcode}, nullptr, {0, 0x0362d093, 0x1234a0cb}, 0},
        {"BYPASS ahead, IDCODE after",
         {without_idcode, five_bits},
         {with_idcode},
         nullptr,
         {0x1234a0cb, 0x0362d093, 0, 0},
         0},
        {"TDO stuck low", {with_idcode}, {}, [](fpga_model &m) { m.tdo_stuck_low = 1; }, {}, '0'},
        {"TDO stuck high", {}, {without_idcode}, [](fpga_model &m) { m.tdo_stuck_high = 1; }, {}, '1'},
    };
    const std::string pattern = "1101001110001011";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tap tap("7a35tcsg324", c.tdi, c.tdo, c.fault);
        const auto ir_bits = [](const std::vector<fpga_chain_device> &side) {
            return std::accumulate(side.begin(), side.end(), 0u,
                                   [](unsigned sum, const fpga_chain_device &d) { return sum + d.ir_bits; });
        };
        EXPECT_EQ(tap.port.tdi_side.devices, c.tdi.size());
        EXPECT_EQ(tap.port.tdi_side.ir_bits, ir_bits(c.tdi));
        EXPECT_EQ(tap.port.tdo_side.devices, c.tdo.size());
        EXPECT_EQ(tap.port.tdo_side.ir_bits, ir_bits(c.tdo));
        // Another instruction first, which Test-Logic-Reset undoes.
        tap.reset();
        tap.scan(true, tap.instruction(~0u));
        tap.reset();
        std::string want;
        for (std::uint32_t idcode : c.idcodes)
            want += idcode != 0 ? bits(idcode, 32) : "0";
        want += pattern;
        const std::string out = tap.scan(false, pattern + std::string(want.size() - pattern.size(), '1'));
        EXPECT_EQ(out, c.stuck != 0 ? std::string(want.size(), c.stuck) : want);
        EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
    }
}

// Capture-IR: 01, then INIT high and DONE low in an unconfigured device that
// is ready (16N: DONE, INIT, PROGRAM), ones above, a field for each die. The
// length, measured: ones fill the register, and a zero takes as many cycles
// as it has bits to come out.
TEST(Tap, CapturesStatusInAnIrOfTheDevicesLength) {
    struct Case {
        const char *type;
        unsigned ir_bits;
        std::uint64_t capture;
    };
    const Case cases[] = {
        {"7a35tcsg324", 6, 0x11},         {"xcku040-ffva1156-2-e", 6, 0x11}, {"6slx9tqg144", 6, 0x11},
        {"3s200avq100", 6, 0x11},         {"3s500evq100", 6, 0x11},          {"xc2vp4fg456", 10, 0x3d1},
        {"xc2vp30ff896", 14, 0x3fd1},     {"xc4vfx20ff672", 10, 0x3d1},      {"xc4vfx60ff1152", 14, 0x3fd1},
        {"xc5vfx100tff1136", 14, 0x3fd1}, {"xc6vlx130tff784", 10, 0x3d1},    {"xc2s200fg456", 5, 0x19},
        {"xcku115-flvb2104", 12, 0x451},  {"xcvu9p-flga2104", 18, 0x11451},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Tap tap(c.type);
        EXPECT_EQ(tap.model.device.ir_bits, c.ir_bits);
        tap.reset();
        const std::string out = tap.scan(true, std::string(64, '1') + "0" + std::string(64, '1'));
        EXPECT_EQ(value(out.substr(0, c.ir_bits)), c.capture);
        EXPECT_EQ(out.find('0', 64), 64 + c.ir_bits);
        EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
    }
}

// Every device of the chain in BYPASS is one bit; the FPGA's IDCODE,
// USERCODE and CFG_OUT are 32 bits. An instruction that a loader must not
// give leaves BYPASS, and is a violation.
TEST(Tap, KeepsTheOtherDevicesInBypass) {
    struct Case {
        const char *what;
        unsigned code;       // the FPGA's
        std::uint64_t tail;  // the IR of the device nearest TDI
        unsigned bits;       // from TDI to TDO in the DR scan after
        std::uint32_t reads; // the FPGA's register of 32 bits
        const char *violation;
    };
    const Case cases[] = {
        {"BYPASS everywhere", ~0u, 0x1f, 3, 0, nullptr},
        {"the FPGA's IDCODE", IDCODE, 0x1f, 34, 0x0362d093, nullptr},
        {"the FPGA's USERCODE", USERCODE, 0x1f, 34, 0xffffffff, nullptr},
        {"the FPGA's CFG_OUT: words of 0 where no read asked for any, and none of TDI's bits", CFG_OUT, 0x1f, 0, 0,
         nullptr},
        {"another device not in BYPASS", ~0u, 0x1e, 3, 0, "an instruction other than BYPASS in another device"},
        {"ISC_ENABLE", ISC_ENABLE, 0x1f, 3, 0, "an ISC_ instruction"},
        {"an instruction of the user's design", USER1, 0x1f, 3, 0, "an instruction that the device does not have"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tap tap("7a35tcsg324", {five_bits}, {with_idcode});
        tap.reset();
        std::string ir = tap.instruction(c.code);
        ir.replace(ir.size() - 5, 5, bits(c.tail, 5));
        tap.scan(true, ir);
        // A one among zeros comes out as many bits later as the chain holds.
        const std::string out = tap.scan(false, std::string(80, '0') + "1" + std::string(80, '0'));
        EXPECT_EQ(out.find('1', 80), c.bits != 0 ? 80 + c.bits : std::string::npos);
        if (c.bits == 34 || c.code == CFG_OUT) {
            EXPECT_EQ(value(out.substr(1, 32)), c.reads);
        }
        expect_violation(tap.model, c.violation);
    }
}

// A loader's sequence: JPROGRAM, the IR capture polled until the memory is
// clear, CFG_IN and the whole data with bits to push it through the devices
// ahead, JSTART and clocks in Run-Test/Idle, Test-Logic-Reset. Then STAT,
// read back: the start-up's phase (32C's layout), or where it stalled.
TEST(Tap, LoadsThroughCfgIn) {
    struct Case {
        const char *what;
        const char *type = "7a35tcsg324";
        unsigned ahead = 0, after = 0; // devices in BYPASS before and after the FPGA
        bool shift = true;             // the data through shift(), else tck()
        bool wait = true;              // for INIT in the IR capture before the data
        bool flip = false;             // a bit of the data flipped
        bool configured = false;       // loaded over the serial interface first
        unsigned start = JSTART;       // the instruction for the start-up
        int clocks = 100;              // in Run-Test/Idle after it
        void (*fault)(fpga_model &) = nullptr;
        bool done = true, cleared = true, crc_error = false;
        std::optional<std::uint32_t> stat = 0x001c7800; // INIT_B, DONE, the start-up ended (7)
        const char *violation = nullptr;
    };
    const Case cases[] = {
        {.what = "the FPGA alone, bit by bit", .shift = false},
        {.what = "between other devices, bit by bit", .ahead = 2, .after = 1, .shift = false},
        {.what = "between other devices, through shift()", .ahead = 2, .after = 1},
        {.what = "a device that was configured", .ahead = 1, .configured = true},
        {.what = "a 10-bit IR", .type = "xc4vfx20ff672", .ahead = 1, .after = 1},
        {.what = "16-bit words", .type = "6slx9tqg144", .ahead = 1, .stat = 0x3000},
        // 16N's data ends with no DESYNC: the session stays open, and the
        // words of a read would not line up with its words.
        {.what = "a 5-bit IR, without JPROGRAM",
         .type = "xc2s200fg456",
         .ahead = 1,
         .after = 1,
         .shift = false,
         .stat = std::nullopt},
        {.what = "a bit flipped: INIT stays high",
         .ahead = 1,
         .flip = true,
         .done = false,
         .crc_error = true,
         .stat = 0x00001801},
        {.what = "too few clocks after DONE",
         .clocks = 30,
         .stat = 0x00107800,
         .violation = "fewer than 64 clocks after DONE"},
        {.what = "no JSTART", .start = ~0u, .done = false, .stat = 0x00001800},
        {.what = "a start-up that stalls in phase 2",
         .fault = [](fpga_model &m) { m.startup_stalls_in = 2; },
         .done = false,
         .stat = 0x00081800},
        {.what = "a start-up that stalls in phase 5, after DONE",
         .fault = [](fpga_model &m) { m.startup_stalls_in = 5; },
         .stat = 0x00147800},
        {.what = "data while the memory clears",
         .wait = false,
         .done = false,
         .cleared = false,
         .stat = 0x00001800,
         .violation = "data shifted into CFG_IN while the memory clears"},
        {.what = "a memory that never clears: STAT shows it, INIT_B low",
         .fault = [](fpga_model &m) { m.clear_ns = UINT64_MAX; },
         .done = false,
         .cleared = false,
         .stat = 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tap tap(c.type, std::vector<fpga_chain_device>(c.ahead, without_idcode),
                std::vector<fpga_chain_device>(c.after, five_bits), c.fault);
        const bool n = tap.model.device.group == FPGA_16N;
        // INIT and DONE in the IR capture.
        const unsigned init = n ? 3 : 4;
        const unsigned done = n ? 2 : 5;
        std::string data = bitstream::configuration(tap.model.device, 5001);
        if (c.flip)
            data[2500] = static_cast<char>(data[2500] ^ 0x08);
        if (c.configured) {
            ASSERT_EQ(fpgabits_load(&tap.port, FPGABITS_SERIAL, data.data(), data.size()), FPGABITS_OK);
            ASSERT_TRUE(tap.model.done);
        }
        tap.reset();
        if (!n) {
            EXPECT_EQ((tap.capture(JPROGRAM) >> done & 1) != 0, c.configured);
            EXPECT_EQ(tap.capture() >> init & 3, 0u) << "INIT and DONE right after JPROGRAM";
        }
        bool cleared = false;
        for (int poll = 0; poll < 100 && c.wait && !cleared; ++poll) {
            tap.idle(1000);
            cleared = (tap.capture() >> init & 1) != 0;
        }
        EXPECT_EQ(cleared, c.cleared);
        if (c.wait && !cleared) {
            EXPECT_EQ(tap.stat(), *c.stat);
            EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
            continue;
        }
        tap.scan(true, tap.instruction(CFG_IN));
        tap.enter(false);
        if (c.shift) {
            // In two parts, through Pause-DR, as a loader that refills its
            // buffer: the bits that the devices ahead hold in between are
            // those of the sync word.
            const auto *bytes = reinterpret_cast<const unsigned char *>(data.data());
            const std::size_t half = data.find("\xaa\x99\x55\x66") + 3;
            tap.port.shift(tap.port.context, bytes, half - 1);
            for (int bit = 7; bit >= 0; --bit)
                tap.tck(static_cast<int>(bit == 0), bytes[half - 1] >> bit & 1);
            for (int tms : {0, 0, 1, 0})
                tap.tck(tms, 1);
            tap.port.shift(tap.port.context, bytes + half, data.size() - half);
        } else {
            for (char byte : data)
                for (int bit = 7; bit >= 0; --bit)
                    tap.tck(0, byte >> bit & 1);
        }
        tap.shift_out(std::string(c.ahead + 1, '1'));
        tap.scan(true, tap.instruction(c.start));
        tap.idle(c.clocks);
        const std::uint64_t status = tap.capture();
        tap.reset();
        EXPECT_EQ(tap.model.done, c.done);
        EXPECT_EQ(status >> done & 1, c.done);
        EXPECT_EQ(status >> init & 1, 1u);
        EXPECT_EQ(tap.model.crc_error, c.crc_error);
        if (c.wait) {
            EXPECT_EQ(tap.model.cfg_in_bits, data.size() * 8 + c.ahead + 1);
        }
        EXPECT_EQ(tap.model.jprograms, n ? 0u : 1u);
        EXPECT_EQ(tap.model.tap, FPGA_TAP_IDLE);
        if (c.stat) {
            EXPECT_EQ(tap.stat(), *c.stat);
        }
        expect_violation(tap.model, c.violation);
    }
}

// The configuration logic's registers read back by hand, for a device of
// each layout of STAT, alone and in a chain of three: blank, after another
// device's data (an IDCODE error), after a bit flipped (a CRC error), and
// configured, each loaded through CFG_IN. The IDCODE is the device's own;
// AXSS (32C) what the data wrote, but not after the failed IDCODE check
// that comes before, nor a write of several words; BOOTSTS (32C) the last
// configuration and the one before; USERCODE what the model holds.
// Reading changes nothing: STAT again after, and a configured device keeps
// running.
TEST(Tap, ReadsRegistersBack) {
    // Blank, after another device's data, after a bit flipped, configured.
    using Steps = std::array<std::uint32_t, 4>;
    struct Case {
        const char *type;
        std::uint32_t idcode;
        Steps stat, axss, bootsts;
    };
    const std::uint32_t user = 0x5eed0001;
    const Steps stat32 = {0x00001800, 0x00009800, 0x00001801, 0x001c7800};
    const Steps axss32 = {0, 0, user, user};
    const Steps bootsts32 = {0, 0x0011, 0x1121, 0x2101};
    const Steps stat22 = {0x1000, 0x1002, 0x1001, 0x3000};
    const Case cases[] = {
        {"7a35tcsg324", 0x0362d093, stat32, axss32, bootsts32},
        {"xcku040-ffva1156-2-e", 0x03822093, stat32, axss32, bootsts32},
        {"xcau15p-ffvb676", 0x04ac2093, stat32, axss32, bootsts32},
        {"3s500evq100", 0x01c22093, {0x0800, 0x2800, 0x0801, 0x1800}, {}, {}},
        {"6slx9tqg144", 0x04001093, stat22, {}, {}},
        {"3s200avq100", 0x02218093, stat22, {}, {}},
    };
    for (const Case &c : cases) {
        for (bool chain : {false, true}) {
            SCOPED_TRACE(std::string(c.type) + (chain ? ", in a chain of three" : ", alone"));
            Tap tap(c.type, chain ? std::vector{with_idcode} : std::vector<fpga_chain_device>{},
                    chain ? std::vector{without_idcode} : std::vector<fpga_chain_device>{});
            const fpga_device device = tap.model.device;
            fpga_device other = device;
            other.idcode ^= 0x00100000;
            std::string flipped = bitstream::configuration(device, 3001, 1, user);
            flipped[1500] = static_cast<char>(flipped[1500] ^ 0x08);
            const std::string data[] = {"", bitstream::configuration(other, 3001, 1, user), flipped,
                                        bitstream::configuration(device, 3001, 1, user)};
            const bool wide = device.group != FPGA_22F && device.group != FPGA_22H;
            tap.reset();
            for (std::size_t step = 0; step < 4; ++step) {
                SCOPED_TRACE(step);
                if (step == 3)
                    tap.model.usercode = 0x20261209; // as a design made with a USERCODE
                if (!data[step].empty())
                    tap.configure(data[step]);
                const unsigned checks = tap.model.crc_checks;
                EXPECT_EQ(tap.stat(), c.stat[step]);
                EXPECT_EQ(tap.read(device.group == FPGA_32C ? 0x0c : 0x0e, wide ? 1 : 2), c.idcode);
                if (device.group == FPGA_32C) {
                    EXPECT_EQ(tap.read(0x0d), c.axss[step]);
                    EXPECT_EQ(tap.read(0x16), c.bootsts[step]);
                }
                EXPECT_EQ(value(tap.dr(USERCODE, 32)), step == 3 ? 0x20261209u : 0xffffffffu);
                EXPECT_EQ(tap.stat(), c.stat[step]);
                EXPECT_EQ(tap.model.crc_checks, checks);
            }
            if (device.group == FPGA_32C) {
                // A write of several words to AXSS, as a file of several
                // dies makes, sets no value.
                tap.cfg_in({0xaa995566, 0x20000000, 0x3001a002, 1, 2, 0x30008001, 0x0000000d}, 32);
                EXPECT_EQ(tap.read(0x0d), user);
            }
            EXPECT_TRUE(tap.model.done);
            EXPECT_EQ(tap.model.jprograms, 3u);
            EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
        }
    }
}

// A bitstream file of a device type, generated.
std::string bitstream_of(const char *type, std::size_t size, std::uint32_t seed = 1) {
    fpga_device device{};
    fpga_device_of(type, &device);
    return bitstream::file(bitstream::header(bitstream::text("top;UserID=0XFFFFFFFF"), bitstream::text(type),
                                             bitstream::text("2026/12/09"), bitstream::text("10:00:00")),
                           bitstream::configuration(device, size, seed));
}

// The ways a firmware loads over JTAG: a configuration in memory, in chunks,
// compressed, or an image file.
enum class Way { memory, chunks, deflate, image };

int load(Tap &tap, const std::string &file, Way way, bool partial = false) {
    const std::string data(bitstream::parse(file).data);
    switch (way) {
    case Way::memory: return fpgabits_load(&tap.port, FPGABITS_JTAG, data.data(), data.size());
    case Way::chunks: {
        fpgabits_loader loader{};
        int error = (partial ? fpgabits_load_begin_partial : fpgabits_load_begin)(&loader, &tap.port, FPGABITS_JTAG);
        for (std::size_t at = 0; error == FPGABITS_OK && at < data.size(); at += 1000)
            error = fpgabits_load_write(&loader, data.data() + at, std::min<std::size_t>(1000, data.size() - at));
        return error == FPGABITS_OK ? fpgabits_load_end(&loader) : error;
    }
    case Way::deflate: {
        const std::string stream = deflate_raw(data, 10);
        std::vector<unsigned char> work(FPGABITS_INFLATE_WORK_SIZE(1024));
        return fpgabits_load_deflate(&tap.port, FPGABITS_JTAG, stream.data(), stream.size(), work.data(), work.size());
    }
    case Way::image: {
        // The file and padding in chunks of 512 bytes, from two buffers in
        // turn: each is read again once the write after the one that took it
        // returns, also where that write holds only padding.
        std::vector<unsigned char> work(FPGABITS_IMAGE_WORK_SIZE(512));
        fpgabits_image image{};
        int error = (partial ? fpgabits_image_begin_partial : fpgabits_image_begin)(
            &image, &tap.port, FPGABITS_JTAG, nullptr, 0, work.data(), work.size());
        const std::string padded = file + std::string(1536, '\xff');
        char buffers[2][512];
        for (std::size_t at = 0, turn = 0; error == FPGABITS_OK && at < padded.size(); at += 512, turn ^= 1)
            error = fpgabits_image_write(&image, buffers[turn], padded.copy(buffers[turn], 512, at));
        const int end = fpgabits_image_end(&image, nullptr);
        return error == FPGABITS_OK ? end : error;
    }
    }
    return FPGABITS_ERR_ARGUMENT;
}

// Each family that loads over JTAG, each way, alone in the chain with tck()
// alone or in a chain of three with shift() too: configured, every check
// passed, one JPROGRAM, the TAP in Test-Logic-Reset.
TEST(LoaderJtag, LoadsEveryFamilyEachWay) {
    for (const char *type : {"7a35tcsg324", "xc4vfx20ff672", "xc6vlx130tff784", "xcku040-ffva1156-2-e",
                             "xcau15p-ffvb676", "3s500evq100", "6slx9tqg144", "3s200avq100"}) {
        for (Way way : {Way::memory, Way::chunks, Way::deflate, Way::image}) {
            for (bool chain : {false, true}) {
                SCOPED_TRACE(std::string(type) + ", way " + std::to_string(static_cast<int>(way)) +
                             (chain ? ", in a chain of three" : ", alone"));
                Tap tap(type, chain ? std::vector{with_idcode} : std::vector<fpga_chain_device>{},
                        chain ? std::vector{without_idcode} : std::vector<fpga_chain_device>{});
                if (!chain)
                    tap.port.shift = nullptr;
                const std::string file = bitstream_of(type, 3001);
                const int result = load(tap, file, way);
                EXPECT_EQ(result, FPGABITS_OK) << fpgabits_strerror(result);
                EXPECT_TRUE(tap.model.done);
                EXPECT_GT(tap.model.crc_checks, 0u);
                EXPECT_EQ(tap.model.jprograms, 1u);
                EXPECT_EQ(tap.model.tap, FPGA_TAP_RESET);
                EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
            }
        }
    }
}

// What the chain, the device or the port do wrong, each with its error;
// refused before JPROGRAM where the chain or the IDCODE shows it, with no
// instruction but BYPASS in any device, and the TAP left in
// Test-Logic-Reset.
TEST(LoaderJtag, ReportsEachFault) {
    struct Case {
        const char *what, *type;
        std::vector<fpga_chain_device> tdi, tdo;
        void (*fault)(fpga_model &);
        void (*describe)(fpgabits_port &);
        int want;
        unsigned jprograms;
        Way way = Way::memory;
    };
    const std::vector<fpga_chain_device> none;
    const Case cases[] = {
        {"another device's data", "7a100tcsg324", none, none, nullptr, nullptr, FPGABITS_ERR_DEVICE, 0},
        {"another device's data, compressed", "7a100tcsg324", none, none, nullptr, nullptr, FPGABITS_ERR_DEVICE, 0,
         Way::deflate},
        {"another version of the device", "7a35tcsg324", none, none, [](fpga_model &m) { m.jtag_idcode |= 0x10000000; },
         nullptr, FPGABITS_OK, 1},
        {"a SoC whose JTAG reads another IDCODE than its stream writes", "zu3eg-sbva484", none, none,
         [](fpga_model &m) { m.jtag_idcode = 0x04710093; }, nullptr, FPGABITS_OK, 1},
        {"a device between TDI and the FPGA left out",
         "7a35tcsg324",
         {with_idcode},
         none,
         nullptr,
         [](fpgabits_port &p) {
             p.tdi_side = {0, 0};
         },
         FPGABITS_ERR_CHAIN,
         0},
        {"a device between the FPGA and TDO left out",
         "7a35tcsg324",
         none,
         {without_idcode},
         nullptr,
         [](fpgabits_port &p) {
             p.tdo_side = {0, 0};
         },
         FPGABITS_ERR_CHAIN,
         0},
        {"a device that is not there", "7a35tcsg324", none, none, nullptr,
         [](fpgabits_port &p) {
             p.tdi_side = {1, 4};
         },
         FPGABITS_ERR_CHAIN, 0},
        {"instruction registers one bit too short, at TDI",
         "7a35tcsg324",
         {with_idcode},
         none,
         nullptr,
         [](fpgabits_port &p) { p.tdi_side.ir_bits = 7; },
         FPGABITS_ERR_CHAIN,
         0},
        {"instruction registers one bit too long, at TDO",
         "7a35tcsg324",
         none,
         {with_idcode},
         nullptr,
         [](fpgabits_port &p) { p.tdo_side.ir_bits = 9; },
         FPGABITS_ERR_CHAIN,
         0},
        {"a device without IDCODE taken for the FPGA",
         "7a35tcsg324",
         none,
         {without_idcode},
         nullptr,
         [](fpgabits_port &p) {
             p.tdi_side = p.tdo_side;
             p.tdo_side = {0, 0};
         },
         FPGABITS_ERR_CHAIN,
         0},
        {"instruction registers described a bit off between the sides, the capture read as 11",
         "7a35tcsg324",
         {with_idcode},
         {five_bits},
         nullptr,
         [](fpgabits_port &p) {
             p.tdi_side.ir_bits = 9;
             p.tdo_side.ir_bits = 4;
         },
         FPGABITS_ERR_CHAIN,
         0},
        {"TDO cut, read high", "7a35tcsg324", none, none, [](fpga_model &m) { m.tdo_stuck_high = 1; }, nullptr,
         FPGABITS_ERR_CHAIN, 0},
        {"TDO stuck low", "7a35tcsg324", none, none, [](fpga_model &m) { m.tdo_stuck_low = 1; }, nullptr,
         FPGABITS_ERR_CHAIN, 0},
        {"the oldest family", "xc2s200fg456", none, none, nullptr, nullptr, FPGABITS_ERR_UNSUPPORTED, 0},
        {"several dies", "xcvu9p-flga2104", none, none, nullptr, nullptr, FPGABITS_ERR_UNSUPPORTED, 0},
        {"a clearing that never ends", "7a35tcsg324", none, none, [](fpga_model &m) { m.clear_ns = UINT64_MAX; },
         nullptr, FPGABITS_ERR_INIT, 1},
        {"DONE that never rises", "7a35tcsg324", none, none, [](fpga_model &m) { m.startup_ns = 1000000000; }, nullptr,
         FPGABITS_ERR_NO_DONE, 1},
        {"a counter that stands still", "7a35tcsg324", none, none, [](fpga_model &m) { m.micros_stuck = ~0u; }, nullptr,
         FPGABITS_ERR_CLOCK, 1},
        {"a port whose tck() fails", "7a35tcsg324", none, none, nullptr,
         [](fpgabits_port &p) { p.tck = [](void *, int, int) { return -100; }; }, -100, 0},
        {"a port whose shift() fails", "7a35tcsg324", none, none, nullptr,
         [](fpgabits_port &p) { p.shift = [](void *, const unsigned char *, std::size_t) { return -101; }; }, -101, 1},
        {"a port without tck()", "7a35tcsg324", none, none, nullptr, [](fpgabits_port &p) { p.tck = nullptr; },
         FPGABITS_ERR_ARGUMENT, 0},
        {"a port without micros()", "7a35tcsg324", none, none, nullptr, [](fpgabits_port &p) { p.micros = nullptr; },
         FPGABITS_ERR_ARGUMENT, 0},
        {"two dies", "xcku115-flvb2104", none, none, nullptr, nullptr, FPGABITS_ERR_UNSUPPORTED, 0},
        {"a 14-bit instruction register", "xc5vfx100tff1136", none, none, nullptr, nullptr, FPGABITS_OK, 1},
        {"a start-up of 150 us, within the 2,000 clocks after JSTART", "7a35tcsg324", none, none,
         [](fpga_model &m) { m.startup_ns = 150000; }, nullptr, FPGABITS_OK, 1},
        {"a start-up of 1 ms, clocked on while DONE is polled", "7a35tcsg324", none, none,
         [](fpga_model &m) { m.startup_ns = 1000000; }, nullptr, FPGABITS_OK, 1},
        {"DONE stuck high", "7a35tcsg324", none, none, [](fpga_model &m) { m.done_stuck_high = 1; }, nullptr,
         FPGABITS_ERR_DONE_HIGH, 1},
        {"DONE low again after the clocks after it", "7a35tcsg324", none, none,
         [](fpga_model &m) { m.done_falls_at_read = 2; }, nullptr, FPGABITS_ERR_NO_DONE, 1},
        {"a device deaf for 10 ms after its memory clears", "7a35tcsg324", none, none,
         [](fpga_model &m) { m.deaf_ns = 10000000; }, nullptr, FPGABITS_OK, 1},
    };
    const std::string file = bitstream_of("7a35tcsg324", 5000);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tap tap(c.type, c.tdi, c.tdo, c.fault);
        if (c.describe != nullptr)
            c.describe(tap.port);
        // The data is the device's own where the case is not about another.
        const std::string own = std::string(c.type) == "7a100tcsg324" ? file : bitstream_of(c.type, 5000);
        const int result = load(tap, own, c.way);
        EXPECT_EQ(result, c.want) << fpgabits_strerror(result);
        EXPECT_EQ(tap.model.jprograms, c.jprograms);
        EXPECT_EQ(tap.model.done, c.want == FPGABITS_OK);
        if (c.want != -100) {
            EXPECT_EQ(tap.model.tap, FPGA_TAP_RESET);
        }
        EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
    }
}

// Each bitstream that a real toolchain made, where the folder of them is
// present, over JTAG in a chain of three through shift(): configured with
// every check passed, but the oldest family's, which is not loaded.
class LoaderJtagReal : public ::testing::TestWithParam<support::RealBitstream> {};

TEST_P(LoaderJtagReal, Configures) {
    if (GetParam().path.empty())
        GTEST_SKIP() << support::no_real_bitstreams;
    const std::string file = support::read_file(GetParam().path);
    const bitstream::Parsed parsed = bitstream::parse(file);
    Tap tap(parsed.texts[1].c_str(), {with_idcode}, {without_idcode});
    const int result = load(tap, file, Way::memory);
    if (tap.model.device.group == FPGA_16N) {
        EXPECT_EQ(result, FPGABITS_ERR_UNSUPPORTED);
        EXPECT_EQ(tap.model.jprograms, 0u);
        return;
    }
    EXPECT_EQ(result, FPGABITS_OK) << fpgabits_strerror(result);
    EXPECT_TRUE(tap.model.done);
    EXPECT_GT(tap.model.crc_checks, 0u);
    // Its status register read back, with no error; the device runs the
    // design by its USERCODE.
    struct fpgabits_status status {};
    tap.model.usercode = 0x20261209;
    ASSERT_EQ(fpgabits_status(&tap.port, FPGABITS_JTAG, &status), FPGABITS_OK);
    EXPECT_NE(status.read & FPGABITS_READ_STAT, 0u);
    EXPECT_TRUE(status.done);
    EXPECT_EQ(status.errors, 0u) << std::hex << status.stat;
    fpgabits_image_info image{};
    image.idcode = tap.model.device.idcode;
    image.usercode = 0x20261209;
    EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &image), 1);
    EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
}

INSTANTIATE_TEST_SUITE_P(Real, LoaderJtagReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::light)),
                         support::real_name);
INSTANTIATE_TEST_SUITE_P(Heavy, LoaderJtagReal, ::testing::ValuesIn(support::real_bitstreams(support::Weight::heavy)),
                         support::real_name);

// A partial configuration goes into a device that runs, with no JPROGRAM;
// the silicon's IDCODE is read alone, over JTAG only.
TEST(LoaderJtag, LoadsPartialConfigurationsAndReadsTheIdcode) {
    const std::string file = bitstream_of("7a35tcsg324", 3000);
    Tap tap("7a35tcsg324", {with_idcode}, {without_idcode});
    std::uint32_t idcode = 0;
    EXPECT_EQ(fpgabits_read_idcode(&tap.port, FPGABITS_JTAG, &idcode), FPGABITS_OK);
    EXPECT_EQ(idcode, tap.model.jtag_idcode);
    EXPECT_EQ(tap.model.tap, FPGA_TAP_RESET);
    EXPECT_EQ(fpgabits_read_idcode(&tap.port, FPGABITS_SERIAL, &idcode), FPGABITS_ERR_ARGUMENT);
    EXPECT_EQ(load(tap, file, Way::chunks, true), FPGABITS_ERR_NO_DONE) << "a device not configured";
    EXPECT_EQ(tap.model.cfg_in_bits, 0u) << "data sent into a device not configured";
    ASSERT_EQ(load(tap, file, Way::memory), FPGABITS_OK);
    const std::string partial =
        bitstream::file(bitstream::header(bitstream::text("top;PARTIAL=TRUE"), bitstream::text("7a35tcsg324"),
                                          bitstream::text("2026/12/09"), bitstream::text("10:00:00")),
                        std::string(bitstream::parse(file).data));
    for (Way way : {Way::chunks, Way::image}) {
        EXPECT_EQ(load(tap, partial, way, true), FPGABITS_OK);
        EXPECT_EQ(tap.model.jprograms, 1u);
        EXPECT_TRUE(tap.model.done);
    }
    EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
}

// What a device runs, read over JTAG in a chain with IRs of 8, 6 (or the
// FPGA's) and 4 bits without disturbing it, blank and then configured with
// a user-access value (32-bit streams) and a USERCODE; whether it runs an
// image, by those; over the pins, DONE and INIT alone.
TEST(LoaderJtag, ReadsWhatTheDeviceRuns) {
    struct Case {
        const char *type;
        unsigned read;
        std::uint32_t blank, configured; // the status register
        int startup;                     // the start-up phase once configured
    };
    const unsigned pins = FPGABITS_READ_DONE | FPGABITS_READ_INIT;
    const unsigned jtag = pins | FPGABITS_READ_IDCODE | FPGABITS_READ_USERCODE | FPGABITS_READ_STAT;
    const unsigned wide = jtag | FPGABITS_READ_USR_ACCESS;
    const unsigned boots = wide | FPGABITS_READ_BOOTSTS;
    const Case cases[] = {
        {"7a35tcsg324", boots, 0x00001800, 0x001c7800, 7},
        {"xcku040-ffva1156-2-e", boots, 0x00001800, 0x001c7800, 7},
        {"xcau15p-ffvb676", boots, 0x00001800, 0x001c7800, 7},
        {"xc4vfx20ff672", wide, 0x00001800, 0x001c7800, -1},
        {"xc6vlx130tff784", wide, 0x00001800, 0x001c7800, -1},
        {"3s500evq100", jtag, 0x0800, 0x1800, -1},
        {"6slx9tqg144", jtag | FPGABITS_READ_BOOTSTS, 0x1000, 0x3000, -1},
        {"3s200avq100", jtag, 0x1000, 0x3000, -1},
        {"xc2vp50ff1152", jtag, 0x0800, 0x1800, -1},
        {"3s400pq208", jtag, 0x0800, 0x1800, -1},
        {"5vlx110tff1136", wide, 0x00001800, 0x001c7800, -1},
        {"3sd3400acs484", jtag, 0x1000, 0x3000, -1},
        // A family that the loader does not know by its IDCODE: no status register.
        {"xc5vfx100tff1136", pins | FPGABITS_READ_IDCODE | FPGABITS_READ_USERCODE, 0, 0, -1},
    };
    const std::uint32_t user = 0x5eed0001;
    const std::uint32_t usercode = 0x20261209;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.type);
        Tap tap(c.type, {with_idcode}, {without_idcode});
        const fpga_device device = tap.model.device;
        const bool axss = (c.read & FPGABITS_READ_USR_ACCESS) != 0;
        fpgabits_image_info image{};
        image.idcode = tap.model.jtag_idcode;
        image.usr_access = axss ? user : 0;
        image.usercode = axss ? 0xffffffff : usercode;
        struct fpgabits_status status {};
        const auto read = [&](std::uint32_t stat, bool done) {
            const unsigned long cycles = tap.model.tck_cycles;
            const unsigned checks = tap.model.crc_checks;
            const unsigned jprograms = tap.model.jprograms;
            ASSERT_EQ(fpgabits_status(&tap.port, FPGABITS_JTAG, &status), FPGABITS_OK);
            EXPECT_LE(tap.model.tck_cycles - cycles, 2000u);
            EXPECT_EQ(status.read, c.read);
            EXPECT_EQ(status.idcode, tap.model.jtag_idcode);
            EXPECT_EQ(status.done, done);
            EXPECT_TRUE(status.init);
            EXPECT_EQ(status.stat, stat);
            EXPECT_EQ(status.errors, 0u);
            EXPECT_EQ(status.bootsts, status.read & FPGABITS_READ_BOOTSTS ? tap.model.bootsts : 0u);
            EXPECT_EQ(tap.model.done, done);
            EXPECT_EQ(tap.model.crc_checks, checks);
            EXPECT_EQ(tap.model.jprograms, jprograms);
            EXPECT_EQ(tap.model.tap, FPGA_TAP_RESET);
            EXPECT_FALSE(tap.model.streams[0].synced) << "a read not ended by a DESYNC";
        };
        read(c.blank, false);
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &image), 0);
        // Over the pins: DONE low, INIT high, and so nothing runs.
        EXPECT_EQ(fpgabits_status(&tap.port, FPGABITS_SERIAL, &status), FPGABITS_OK);
        EXPECT_FALSE(status.done);
        EXPECT_TRUE(status.init);
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_SERIAL, &image), 0);
        tap.model.usercode = usercode;
        const std::string data = bitstream::configuration(device, 3001, 1, axss ? std::optional(user) : std::nullopt);
        const int loaded = fpgabits_load(&tap.port, FPGABITS_JTAG, data.data(), data.size());
        ASSERT_EQ(loaded, FPGABITS_OK) << fpgabits_strerror(loaded);
        read(c.configured, true);
        EXPECT_EQ(status.startup_state, c.startup);
        EXPECT_EQ(status.usr_access, axss ? user : 0);
        EXPECT_EQ(status.usercode, usercode);
        EXPECT_STREQ(fpgabits_cause(&status),
                     (c.read & FPGABITS_READ_STAT) != 0 ? "no error: configured" : "the status register was not read");
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &image), 1);
        fpgabits_image_info other = image;
        (axss ? other.usr_access : other.usercode) ^= 1;
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &other), 0) << "another design";
        other = image;
        other.idcode ^= 0x00001000;
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &other), 0) << "another device";
        other = image;
        other.idcode ^= 0x10000000;
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &other), 1) << "another version of the device";
        other = image;
        other.usr_access = user;
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &other), axss ? 1 : FPGABITS_ERR_UNDECIDED)
            << "a user-access value, which only some families read back";
        other = image;
        other.usr_access = 0;
        other.usercode = 0xffffffff;
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_JTAG, &other), FPGABITS_ERR_UNDECIDED)
            << "an image that sets neither";
        EXPECT_EQ(fpgabits_status(&tap.port, FPGABITS_SERIAL, &status), FPGABITS_OK);
        EXPECT_EQ(status.read, pins);
        EXPECT_TRUE(status.done);
        EXPECT_STREQ(fpgabits_cause(&status), "the status register was not read");
        EXPECT_EQ(fpgabits_runs(&tap.port, FPGABITS_SERIAL, &image), FPGABITS_ERR_UNDECIDED) << "no readback";
        EXPECT_EQ(fpgabits_load(&tap.port, FPGABITS_JTAG, data.data(), data.size()), FPGABITS_OK) << "a reload";
        EXPECT_EQ(tap.model.jprograms, 2u);
        EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
    }
    Tap oldest("xc2s200fg456");
    struct fpgabits_status status {};
    EXPECT_EQ(fpgabits_status(&oldest.port, FPGABITS_JTAG, &status), FPGABITS_ERR_UNSUPPORTED);
    EXPECT_EQ(oldest.model.jprograms, 0u);
}

// A load over JTAG that fails returns the cause that the status register
// shows, and fpgabits_cause() names it.
TEST(LoaderJtag, NamesTheCauseOfAFailedLoad) {
    struct Case {
        const char *what, *type;
        bool flip, other; // a bit of frame data flipped; another device's IDCODE in the data
        void (*fault)(fpga_model &);
        int want;
        const char *cause;
    };
    const auto soc = [](fpga_model &m) { m.jtag_idcode = 0x04710093; };
    const Case cases[] = {
        {"a bit flipped, CRC-32C", "7a35tcsg324", true, false, nullptr, FPGABITS_ERR_CRC, "CRC error"},
        {"a bit flipped, CRC-16", "3s500evq100", true, false, nullptr, FPGABITS_ERR_CRC, "CRC error"},
        {"a bit flipped, 16-bit words", "6slx9tqg144", true, false, nullptr, FPGABITS_ERR_CRC, "CRC error"},
        {"a bit flipped, the half sync word", "3s200avq100", true, false, nullptr, FPGABITS_ERR_CRC, "CRC error"},
        {"a SoC's data for another", "zu3eg-sbva484", false, true, soc, FPGABITS_ERR_DEVICE,
         "the data's IDCODE is not this device's"},
        {"another device's data, CRC-16", "3s500evq100", false, true, nullptr, FPGABITS_ERR_DEVICE,
         "the data's IDCODE is not this device's"},
        {"a start-up that stalls", "7a35tcsg324", false, false, [](fpga_model &m) { m.startup_stalls_in = 2; },
         FPGABITS_ERR_NO_DONE, "startup did not finish: check the bitstream's startup clock"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Tap tap(c.type, {with_idcode}, {without_idcode}, c.fault);
        fpga_device device = tap.model.device;
        if (c.other)
            device.idcode ^= 0x00100000;
        std::string data = bitstream::configuration(device, 3001);
        if (c.flip)
            data[1500] = static_cast<char>(data[1500] ^ 0x08);
        // Another device's data through a begin, which knows no IDCODE to
        // compare before the reset: the device finds it.
        fpgabits_loader loader{};
        int result = c.other ? fpgabits_load_begin(&loader, &tap.port, FPGABITS_JTAG)
                             : fpgabits_load(&tap.port, FPGABITS_JTAG, data.data(), data.size());
        if (c.other && result == FPGABITS_OK)
            result = fpgabits_load_write(&loader, data.data(), data.size());
        if (c.other && result == FPGABITS_OK)
            result = fpgabits_load_end(&loader);
        EXPECT_EQ(result, c.want) << fpgabits_strerror(result);
        struct fpgabits_status status {};
        ASSERT_EQ(fpgabits_status(&tap.port, FPGABITS_JTAG, &status), FPGABITS_OK);
        EXPECT_FALSE(status.done);
        EXPECT_STREQ(fpgabits_cause(&status), c.cause);
        EXPECT_EQ(tap.model.tap, FPGA_TAP_RESET);
        EXPECT_EQ(fpga_model_violation(&tap.model), nullptr) << fpga_model_violation(&tap.model);
    }
    // A CRC error over the pins holds INIT low: a partial load over JTAG
    // finds it so and names the cause.
    Tap tap("7a35tcsg324");
    std::string data = bitstream::configuration(tap.model.device, 3001);
    data[1500] = static_cast<char>(data[1500] ^ 0x08);
    ASSERT_EQ(fpgabits_load(&tap.port, FPGABITS_SERIAL, data.data(), data.size()), FPGABITS_ERR_CRC);
    fpgabits_loader loader{};
    EXPECT_EQ(fpgabits_load_begin_partial(&loader, &tap.port, FPGABITS_JTAG), FPGABITS_ERR_CRC);
}

} // namespace
