// Raw DEFLATE (RFC 1951) as fpgabits-deflate makes it, and gzip files, by
// zlib at its best level unless asked otherwise; for the inflater's and the
// image reader's tests and benchmark.
#ifndef FPGABITS_TESTS_DEFLATE_RAW_H
#define FPGABITS_TESTS_DEFLATE_RAW_H

#include <zlib.h>

#include <string>

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

#endif
