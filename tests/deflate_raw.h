// Raw DEFLATE (RFC 1951) as fpgabits-deflate makes it, and gzip files, by
// zlib at its best level unless asked otherwise, and zlib's reading of them;
// for the inflater's and the image reader's tests, fuzz targets and benchmark.
#ifndef FPGABITS_TESTS_DEFLATE_RAW_H
#define FPGABITS_TESTS_DEFLATE_RAW_H

#include <zlib.h>

#include <string>
#include <string_view>

// Deflates data with zlib: window_bits as deflateInit2() takes them, -bits
// for raw DEFLATE and 16 + bits for a gzip file, with the gzip header given.
inline std::string zlib_deflate(const std::string &data, int window_bits, int level = Z_BEST_COMPRESSION,
                                int strategy = Z_DEFAULT_STRATEGY, gz_header *header = nullptr) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, window_bits, 9, strategy) != Z_OK ||
        (header != nullptr && deflateSetHeader(&z, header) != Z_OK))
        return "";
    std::string out(deflateBound(&z, data.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool finished = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(finished ? z.total_out : 0);
    deflateEnd(&z);
    return out;
}

inline std::string deflate_raw(const std::string &data, int window_bits, int level = Z_BEST_COMPRESSION,
                               int strategy = Z_DEFAULT_STRATEGY) {
    return zlib_deflate(data, -window_bits, level, strategy);
}

// zlib's inflate, window_bits as inflateInit2() takes them: true and all it
// made, or false and what it made before the error. Given its output a byte
// at a time, it reaches back no further than its window, as the loader's
// inflater does; with more, it may reach into the output it holds.
inline bool zlib_inflate(std::string_view stream, int window_bits, std::string &out, std::size_t chunk = 1) {
    z_stream z{};
    inflateInit2(&z, window_bits);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(stream.data()));
    z.avail_in = static_cast<uInt>(stream.size());
    int status = Z_OK;
    out.clear();
    std::string buffer(chunk, '\0');
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef *>(buffer.data());
        z.avail_out = static_cast<uInt>(chunk);
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, 0, chunk - z.avail_out);
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

#endif
