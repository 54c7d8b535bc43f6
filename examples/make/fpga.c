/* The FPGA configuration, from fpgabits.i as fpgabits wrote it: each of its
 * declarations gains a const, so that the data stays in flash, and the name
 * declared in fpga.h. */
#include "fpga.h"

#define FPGAappl const fpga_design
#define FPGAtype const fpga_device
#define FPGAdate const fpga_date
#define FPGABITS const fpga_data
#include "fpgabits.i"

const size_t fpga_size = sizeof fpga_data;
