// Fuzz target: reads arbitrary bytes as an image file with the loader's image
// reader, twice as a check pass in two chunkings and once loaded into the
// FPGA model, and checks what must hold: only the documented errors, every
// write after an error returning it, the chunking changing nothing, the
// check pass and the load agreeing wherever the device cannot make them
// differ, nothing reaching the device before the image has shown its format
// and device, and, for an image that passes, the texts, size, CRC-32 and
// IDCODE that zlib and the tests' own bitstream parser find. Built with
// libFuzzer, or with replay.cpp to run saved inputs in the test suite.
//
// The first four bytes choose how the rest, the image, is read:
//   0: bits 0-2 and 3-5 the chunkings of the two check passes (the load
//      takes the second), bit 6 parallel x8, bit 7 a partial image;
//   1: bits 0-2 the window (512 << n, at most 32768), bits 3-4 how far the
//      work area is misaligned, bit 5 the model configured before a partial
//      image;
//   2: bits 0-2 the device the model plays, bits 3-5 the device argument;
//   3: bits 0-2 the IDCODE argument.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bitstream.h"
#include "configuration.h"
#include "deflate_raw.h"
#include "fpga_model.h"
#include "fpgabits_load.h"

namespace {

void check(bool ok, const char *what) {
    if (!ok) {
        std::fprintf(stderr, "property violated: %s\n", what);
        std::abort();
    }
}

constexpr std::size_t option_bytes = 4;
// Content larger than this would only slow the fuzzer down: a few bytes of
// gzip inflate to megabytes.
constexpr std::size_t content_limit = std::size_t{128} * 1024;
constexpr std::size_t hold_size = 1024;

const char *const devices[8] = {nullptr, "", "7a35t", "6SLX9", "3s500e", "CSG324", "ku040", "3s200a"};
const std::uint32_t idcodes[8] = {0, 0, 0x0362d093, 0x1362d093, 0x04001093, 0x01c22093, 0x03822093, 0x02218093};
// nullptr: the device type of the image's header, where the model knows it.
const char *const model_types[8] = {nullptr,       nullptr,        "7a35tcsg324", "6slx9tqg144",
                                    "3s500evq100", "xc2s200fg456", "3s200avq100", "xcku040-ffva1156-2-e"};

struct Options {
    unsigned chunkings[2];
    bool parallel, partial, configure_first;
    std::size_t window, misalignment;
    const char *model_type;
    const char *device;
    std::uint32_t idcode;
};

Options options_of(const std::uint8_t *bytes) {
    Options o{};
    o.chunkings[0] = bytes[0] & 7;
    o.chunkings[1] = bytes[0] >> 3 & 7;
    o.parallel = (bytes[0] & 0x40) != 0;
    o.partial = (bytes[0] & 0x80) != 0;
    o.window = std::size_t{512} << std::min(bytes[1] & 7, 6);
    o.misalignment = bytes[1] >> 3 & 3;
    o.configure_first = (bytes[1] & 0x20) != 0;
    o.model_type = model_types[bytes[2] & 7];
    o.device = devices[bytes[2] >> 3 & 7];
    o.idcode = idcodes[bytes[3] & 7];
    return o;
}

// The size of the next write at image[at], from the bytes there: all at
// once, single bytes, small or large sizes, sizes about the reader's 288-,
// 512- and 1024-byte boundaries, a mix of 1 byte and kilobytes, or empty
// writes between small ones.
std::size_t chunk_size(unsigned chunking, std::string_view image, std::size_t at, std::size_t writes) {
    static const std::size_t near_boundaries[9] = {287, 288, 289, 511, 512, 513, 1023, 1024, 1025};
    const std::size_t byte = static_cast<unsigned char>(image[at]);
    const std::size_t next = at + 1 < image.size() ? static_cast<unsigned char>(image[at + 1]) : 0;
    switch (chunking) {
    case 0: return image.size() - at;
    case 1: return 1;
    case 2: return 1 + byte % 16;
    case 3: return 1 + (byte << 8 | next);
    case 4: return near_boundaries[byte % 9];
    case 5: return byte < 128 ? 1 : 1 + byte * 32;
    case 6: return writes % 2 == 0 ? 0 : 1 + byte % 64;
    default: return 1 + byte * 4;
    }
}

std::uint32_t crc32_of(std::string_view data) {
    return static_cast<std::uint32_t>(
        crc32(0, reinterpret_cast<const Bytef *>(data.data()), static_cast<uInt>(data.size())));
}

// zlib's reading of a gzip file with a window of 1 << bits, as the reader
// takes it: every member, each starting with 1F where the one before ends,
// then padding. Reads the content up to just past limit; false where zlib
// finds the file corrupt or cut. Below the largest window, zlib gives its
// output a byte at a time, so that it reaches back no further than its
// window, as the reader does.
bool gunzip(std::string_view image, int bits, std::string &content, std::size_t limit = content_limit) {
    content.clear();
    std::vector<Bytef> out(bits < 15 ? 1 : 65536);
    while (!image.empty() && image[0] == '\x1f') {
        z_stream z{};
        inflateInit2(&z, 16 + bits);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(image.data()));
        z.avail_in = static_cast<uInt>(image.size());
        int status = Z_OK;
        while (status == Z_OK && content.size() <= limit) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            status = inflate(&z, Z_NO_FLUSH);
            content.append(reinterpret_cast<const char *>(out.data()), out.size() - z.avail_out);
        }
        image.remove_prefix(image.size() - z.avail_in);
        inflateEnd(&z);
        if (status != Z_STREAM_END)
            return false;
    }
    return true;
}

int window_bits(std::size_t window) {
    int bits = 9;
    while (std::size_t{1} << bits < window)
        ++bits;
    return bits;
}

bool contains_in_any_case(std::string_view text, std::string_view part) {
    const auto same = [](char a, char b) {
        const auto upper = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; };
        return upper(a) == upper(b);
    };
    return part.empty() || std::search(text.begin(), text.end(), part.begin(), part.end(), same) != text.end();
}

// The whole design name of a bitstream file, up to its first zero byte,
// however long: where the reader looks for PARTIAL=TRUE.
std::string_view design_name(std::string_view file) {
    if (file.size() < 16 || file[13] != 'a')
        return {};
    const std::size_t length = static_cast<unsigned char>(file[14]) << 8 | static_cast<unsigned char>(file[15]);
    const std::string_view name = file.substr(16, length);
    return name.substr(0, name.find('\0'));
}

// Two readings of an image agree on all that the info holds.
bool same_info(const fpgabits_image_info &a, const fpgabits_image_info &b) {
    const auto text = [](const char(&x)[32], const char(&y)[32]) { return std::memcmp(x, y, sizeof x) == 0; };
    return text(a.design, b.design) && text(a.device, b.device) && text(a.date, b.date) &&
           a.config_size == b.config_size && a.crc32 == b.crc32 && a.idcode == b.idcode &&
           a.crc_checks == b.crc_checks && a.usr_access == b.usr_access && a.usercode == b.usercode;
}

struct Pass {
    std::vector<int> writes; // what each write returned
    int result = FPGABITS_OK;
    fpgabits_image_info info{};
    unsigned kinds = 0; // the kinds of stream, by their checks, that the check pass took it for
};

// Reads the image in one chunking, through the port or, with none, as a
// check pass, and checks the results of the calls: begin takes valid
// arguments and calls nothing back, each write returns OK or an error that
// every later write and the end return too.
Pass read(std::string_view image, const Options &o, unsigned chunking, const fpgabits_port *port,
          const fpga_model *model) {
    Pass pass;
    std::vector<unsigned char> area(FPGABITS_IMAGE_WORK_SIZE(o.window) + o.misalignment);
    const fpgabits_interface interface = o.parallel ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL;
    fpgabits_image reader{};
    const std::uint64_t before = model->now_ns;
    const int begun = (o.partial ? fpgabits_image_begin_partial : fpgabits_image_begin)(
        &reader, port, interface, o.device, o.idcode, area.data() + o.misalignment, area.size() - o.misalignment);
    check(begun == FPGABITS_OK, "begin takes valid arguments");
    // The port reaches the model, which the analysis cannot see.
    // cppcheck-suppress knownConditionTrueFalse
    check(model->now_ns == before, "begin calls nothing back");
    // From two buffers in turn, each filled again once the write after the
    // one that took it has returned, as a port's DMA may allow.
    std::vector<unsigned char> buffers[2] = {std::vector<unsigned char>(image.size()),
                                             std::vector<unsigned char>(image.size())};
    for (std::size_t at = 0; at < image.size();) {
        const std::size_t size = std::min(chunk_size(chunking, image, at, pass.writes.size()), image.size() - at);
        unsigned char *const buffer = buffers[pass.writes.size() % 2].data();
        std::copy_n(image.data() + at, size, buffer);
        pass.writes.push_back(fpgabits_image_write(&reader, size > 0 ? buffer : nullptr, size));
        at += size;
    }
    pass.result = fpgabits_image_end(&reader, &pass.info);
    pass.kinds = reader.stream.kind;

    int first = FPGABITS_OK;
    for (int written : pass.writes) {
        check(first == FPGABITS_OK || written == first, "every write after an error returns that error");
        first = written;
    }
    check(first == FPGABITS_OK || pass.result == first, "end returns the first error");
    const bool image_verdict = pass.result == FPGABITS_OK || pass.result == FPGABITS_ERR_STREAM ||
                               pass.result == FPGABITS_ERR_FORMAT || pass.result == FPGABITS_ERR_DEVICE ||
                               pass.result == FPGABITS_ERR_WINDOW || pass.result == FPGABITS_ERR_CRC;
    check(image_verdict || (port != nullptr && pass.result == FPGABITS_ERR_NO_DONE),
          "the result is OK or a documented error");
    return pass;
}

// For an image that passed the check: what zlib and the tests' parser read
// in it, against the info. Returns the configuration data.
std::string check_passed(std::string_view image, const Options &o, const fpgabits_image_info &info) {
    std::string content;
    std::string_view inner = image;
    if (image.substr(0, 2) == "\x1f\x8b") {
        check(gunzip(image, window_bits(o.window), content), "zlib takes a gzip file that passed, in the same window");
        inner = content;
    }
    std::string_view data = inner;
    std::string texts[3];
    if (!inner.empty() && inner[0] == '\0') {
        const bitstream::Parsed parsed = bitstream::parse(inner);
        check(parsed.recognised && parsed.complete, "a bitstream file that passed is whole");
        data = parsed.data;
        texts[0] = parsed.texts[0];
        texts[1] = parsed.texts[1];
        texts[2] = parsed.texts[2] + " " + parsed.texts[3];
        check(o.partial || !contains_in_any_case(design_name(inner), "PARTIAL=TRUE"),
              "a partial image does not pass a full load");
    }
    check(info.design == texts[0] && info.device == texts[1] && info.date == texts[2], "the header's texts");
    check(info.config_size == data.size(), "the size of the configuration data");
    check(info.crc32 == crc32_of(data), "the CRC-32 of the configuration data");
    const std::string_view held = data.substr(0, hold_size);
    check(held.find("\xaa\x99") != std::string_view::npos, "a sync word within the first 1 KiB");
    std::uint32_t idcode = 0;
    fpgabits_idcode(held.data(), held.size(), &idcode);
    check(info.idcode == idcode, "the IDCODE of the first 1 KiB");
    check(o.device == nullptr || contains_in_any_case(info.device, o.device), "the device type asked for");
    check(o.idcode == 0 || ((info.idcode ^ o.idcode) & 0x0fffffffu) == 0, "the IDCODE asked for");
    return std::string(data);
}

// A refusal must be certain: for another device only where a device type
// or IDCODE was asked for and the image's differs, for a window too small
// only where zlib reads further with the largest, and as cut or corrupt
// only where zlib or the parser find it so.
void check_refused(std::string_view image, const Options &o, const Pass &pass) {
    if (pass.result == FPGABITS_ERR_DEVICE) {
        const bool other_type =
            o.device != nullptr && o.device[0] != '\0' && !contains_in_any_case(pass.info.device, o.device);
        const bool other_idcode = o.idcode != 0 && ((pass.info.idcode ^ o.idcode) & 0x0fffffffu) != 0;
        check(other_type || other_idcode, "a refusal for another device names the difference");
    }
    std::string content;
    if (pass.result == FPGABITS_ERR_WINDOW) {
        std::string largest;
        gunzip(image, 15, largest);
        check(!gunzip(image, window_bits(o.window), content) && largest.size() > content.size(),
              "a window too small for a file that the largest reads further");
    }
    if (pass.result != FPGABITS_ERR_STREAM)
        return;
    std::string_view inner = image;
    if (image.substr(0, 2) == "\x1f\x8b") {
        if (!gunzip(image, window_bits(o.window), content))
            return;
        inner = content;
    } else if (image.substr(0, 1) == "\x1f") {
        return;
    }
    const bool whole = inner.empty() || inner[0] != '\0' || bitstream::parse(inner).complete;
    check(!whole, "an image that zlib and the parser take whole is not cut or corrupt");
}

// The FPGA model behind a port that keeps what the device received, in
// configuration order, and reads a coarse microsecond counter: each read
// moves the clock 100 us on, so that the loader's waits (10 ms before the
// data, up to 200 ms for DONE after it) take a few thousand reads rather
// than hundreds of thousands, while the data's clocks keep their time.
struct Board {
    fpga_model model{};
    fpgabits_port pins{}; // the model's own
    fpgabits_port port{};
    std::string received;
};

unsigned char reversed(unsigned char byte) {
    unsigned bits = 0;
    for (int i = 0; i < 8; ++i)
        bits |= (byte >> i & 1u) << (7 - i);
    return static_cast<unsigned char>(bits);
}

void set_up(Board &board, const char *type, bool parallel) {
    check(fpga_model_init(&board.model, type, parallel ? 1 : 0) != 0, "the model plays the device");
    fpga_model_port(&board.model, &board.pins);
    board.port.context = &board;
    board.port.prog_b = [](void *context, int level) {
        const Board *b = static_cast<Board *>(context);
        b->pins.prog_b(b->pins.context, level);
    };
    board.port.init_b = [](void *context) {
        const Board *b = static_cast<Board *>(context);
        return b->pins.init_b(b->pins.context);
    };
    board.port.done = [](void *context) {
        const Board *b = static_cast<Board *>(context);
        return b->pins.done(b->pins.context);
    };
    board.port.send = [](void *context, const unsigned char *bytes, std::size_t count) {
        Board *b = static_cast<Board *>(context);
        for (std::size_t i = 0; i < count; ++i)
            b->received += static_cast<char>(b->model.parallel != 0 ? reversed(bytes[i]) : bytes[i]);
        b->pins.send(b->pins.context, bytes, count);
    };
    board.port.micros = [](void *context) {
        Board *b = static_cast<Board *>(context);
        b->model.now_ns += 99000;
        return b->pins.micros(b->pins.context);
    };
}

// Plays a device that is configured and running, for a partial image.
void configure(Board &board) {
    const std::string data = bitstream::configuration(board.model.device, 1024);
    const fpgabits_interface interface = board.model.parallel != 0 ? FPGABITS_PARALLEL8 : FPGABITS_SERIAL;
    check(fpgabits_load(&board.port, interface, data.data(), data.size()) == FPGABITS_OK && board.model.done != 0,
          "the model takes a configuration before a partial image");
    board.received.clear();
}

// What the device received is the configuration data, or the part of it
// sent before the device stopped the load, then only the loader's clocks
// with 0xff; and after a load that passed, all of it and at least 64 clocks.
void check_received(std::string_view received, std::string_view data, bool passed, bool parallel) {
    const std::size_t sent = std::min(received.size(), data.size());
    check(received.substr(0, sent) == data.substr(0, sent), "the device receives the configuration data");
    check(received.find_first_not_of('\xff', sent) == std::string_view::npos, "and then 0xff only");
    if (passed)
        check(sent == data.size() && received.size() - sent >= (parallel ? 64u : 8u),
              "all of the data and 64 clocks more");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *bytes, std::size_t size) {
    if (size < option_bytes)
        return 0;
    const Options o = options_of(bytes);
    const std::string_view image(reinterpret_cast<const char *>(bytes) + option_bytes, size - option_bytes);
    std::string content;
    if (image.substr(0, 1) == "\x1f" && (gunzip(image, 15, content), content.size() > content_limit))
        return 0;

    Board board;
    const Pass checked = read(image, o, o.chunkings[0], nullptr, &board.model);
    const Pass again = read(image, o, o.chunkings[1], nullptr, &board.model);
    check(again.result == checked.result, "the chunking does not change the verdict");
    check(same_info(again.info, checked.info), "the chunking does not change the info");
    std::string data;
    if (checked.result == FPGABITS_OK)
        data = check_passed(image, o, checked.info);
    check_refused(image, o, checked);

    const char *const default_type = "7a35tcsg324";
    const char *type = o.model_type;
    fpga_device known{};
    if (type == nullptr)
        type = fpga_device_of(checked.info.device, &known) != 0 ? checked.info.device : default_type;
    set_up(board, type, o.parallel);
    if (o.partial && o.configure_first)
        configure(board);
    const fpga_model &model = board.model;
    const std::uint64_t before = model.now_ns;
    const unsigned pulses = model.prog_b_pulses;
    const unsigned checks = model.crc_checks;
    const Pass loaded = read(image, o, o.chunkings[1], &board.port, &model);

    // The load reads the image as the check pass does, and may stop sooner
    // only for the device: then the header was read, the IDCODE found, and
    // the refusals that come before any data cannot have been reached. The
    // check pass verifies the CRC checks of the device that the stream is
    // for: a device of another family may take what it refuses.
    fpgabits_image_info info = loaded.info;
    check(info.crc32 == 0 && info.crc_checks == 0, "no CRC-32 and no CRC checks when loading");
    info.crc32 = checked.info.crc32;
    info.crc_checks = checked.info.crc_checks;
    // The check pass tells the kind of a stream by the stream alone (its
    // private state says which): a device of that kind checks it the same.
    static const unsigned kind_of_group[] = {1, 2, 4, 8, 16}; // FPGA_32C to FPGA_22H
    const bool own_device =
        o.model_type == nullptr && type != default_type && checked.kinds == kind_of_group[model.device.group];
    check(!own_device || checked.result != FPGABITS_ERR_CRC || loaded.result != FPGABITS_OK,
          "the device that a stream is for takes no image whose checks the check pass finds wrong");
    if (loaded.result == FPGABITS_ERR_CRC || loaded.result == FPGABITS_ERR_NO_DONE ||
        checked.result == FPGABITS_ERR_CRC) {
        check(checked.result != FPGABITS_ERR_FORMAT && checked.result != FPGABITS_ERR_DEVICE,
              "a load refuses as the check pass does before any data is sent");
        check(checked.result == FPGABITS_ERR_CRC || info.config_size <= checked.info.config_size,
              "a load stopped by the device reads no further");
        info.config_size = checked.info.config_size;
    } else {
        check(loaded.result == checked.result, "the load and the check pass agree on the image");
    }
    if (checked.result == FPGABITS_OK && loaded.result == FPGABITS_OK && own_device)
        check(checked.info.crc_checks == model.crc_checks - checks, "the check pass counts the device's CRC checks");
    check(same_info(info, checked.info), "the load and the check pass read the same info");

    const bool untouched = model.now_ns == before;
    if (loaded.result == FPGABITS_ERR_FORMAT || loaded.result == FPGABITS_ERR_DEVICE ||
        (loaded.result == FPGABITS_ERR_STREAM && loaded.info.config_size == 0))
        check(untouched, "an image refused before its data calls nothing back");
    const bool device_stopped = loaded.result == FPGABITS_ERR_CRC || loaded.result == FPGABITS_ERR_NO_DONE;
    check(model.prog_b_pulses == pulses + (o.partial || untouched                           ? 0
                                           : loaded.result == FPGABITS_OK || device_stopped ? 1
                                                                                            : 2),
          "one reset for a full image once it is decided, another where its data then fails, none for a partial one");
    if (!o.partial && loaded.result != FPGABITS_OK)
        check(model.done == 0, "a full load that fails leaves the device unconfigured");
    check(model.violation[0] == '\0', "the device sees nothing it would not take");
    if (checked.result == FPGABITS_OK)
        check_received(board.received, data, loaded.result == FPGABITS_OK, o.parallel);
    if (loaded.result == FPGABITS_OK)
        check(model.done != 0 && fpga_model_violation(&model) == nullptr, "a load that passed configures the device");
    return 0;
}
