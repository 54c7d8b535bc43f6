// What the files of fpgabits-deflate share: deflate.cpp holds its main(), the
// compressing and the gzip files; check.cpp the forms that read a
// bitstream file through the loader's check pass.
#ifndef FPGABITS_DEFLATE_H
#define FPGABITS_DEFLATE_H

#include <cstdio>

// Prints "fpgabits-deflate: PATH: WHAT" on standard error and exits 1.
[[noreturn]] void fail(const char *path, const char *what);

// Opens path with mode ("r..." or "w..."), or fails: it "cannot open" or
// "cannot create".
std::FILE *open_file(const char *path, const char *mode);

// fpgabits-deflate --check BITSTREAM OUTPUT
void write_values(const char *bitstream, const char *output);

// fpgabits-deflate --fingerprint INPUT OUTPUT
void fingerprint(const char *input, const char *output);

#endif
