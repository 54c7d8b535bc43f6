// Raw DEFLATE (RFC 1951) as fpgabits-deflate makes it, by zlib at its best
// level unless asked otherwise; for the inflater's tests and benchmark.
#ifndef FPGABITS_TESTS_DEFLATE_RAW_H
#define FPGABITS_TESTS_DEFLATE_RAW_H

#include <zlib.h>

#include <string>

inline std::string deflate_raw(const std::string &data, int window_bits, int level = Z_BEST_COMPRESSION,
                               int strategy = Z_DEFAULT_STRATEGY) {
    z_stream z{};
    if (deflateInit2(&z, level, Z_DEFLATED, -window_bits, 9, strategy) != Z_OK)
        return "";
    std::string out(deflateBound(&z, data.size()), '\0');
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const bool finished = deflate(&z, Z_FINISH) == Z_STREAM_END;
    out.resize(finished ? z.total_out : 0);
    deflateEnd(&z);
    return out;
}

#endif
