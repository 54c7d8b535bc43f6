/* The FPGA configuration that fpga.c compiles in. */
#ifndef FPGA_H
#define FPGA_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

extern const unsigned char fpga_data[]; /* configuration data */
extern const size_t fpga_size;          /* its length in bytes */
extern const char fpga_design[32];      /* design name */
extern const char fpga_device[32];      /* device type */
extern const char fpga_date[32];        /* build date and time */

#ifdef __cplusplus
}
#endif

#endif
