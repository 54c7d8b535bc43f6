// Shared state of the bitstream converter. Each variable is defined once:
// the input side in header.cpp, the output side in convert.cpp.
#ifndef FPGABITS_H
#define FPGABITS_H

#include <cstdint>
#include <cstdio>

extern std::FILE *fs;      // bitstream file being converted
extern std::FILE *fd;      // fpgabits.i; null until process() creates it
extern char nam[32];       // application (design) name, field 'a'
extern char typ[32];       // device type, field 'b'
extern char dat[16];       // build date, field 'c'
extern char tim[16];       // build time, field 'd'
extern std::uint32_t addr; // length of the configuration data in bytes

// Reads the header of fs from offset 0 into nam, typ, dat and tim.
// Returns 0 with fs at the data length word, or 1 when it is not a bitstream.
int header();

// Converts fs into fpgabits.i in the current directory. Returns 0 when the
// file is complete, 1 on any failure. Leaves fd open for the caller to close.
int process();

#endif
