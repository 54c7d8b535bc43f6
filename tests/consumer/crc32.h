/* CRC-32 as gzip computes it. */
#ifndef CRC32_H
#define CRC32_H

#include <stddef.h>
#include <stdint.h>

uint32_t crc32(const unsigned char *bytes, size_t size);

#endif
