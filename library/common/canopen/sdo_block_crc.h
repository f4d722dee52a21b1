// sdo_block_crc.h - the CRC-16 of the SDO block transfer (CiA 301):
// polynomial x^16 + x^12 + x^5 + 1, initial value 0, bits taken most
// significant first.
//
// Header only, so that the library's block client and the simulated devices'
// block server compute the same sum from one place.
#ifndef ZUNTAL_SDO_BLOCK_CRC_H
#define ZUNTAL_SDO_BLOCK_CRC_H

#include <cstddef>
#include <cstdint>

namespace canopen {

inline uint16_t block_crc(const unsigned char* data, size_t n) {
  uint16_t crc = 0;
  for (size_t i = 0; i < n; ++i) {
    crc = static_cast<uint16_t>(crc ^ (data[i] << 8));
    for (int b = 0; b < 8; ++b)
      crc = static_cast<uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
  }
  return crc;
}

}  // namespace canopen

#endif  // ZUNTAL_SDO_BLOCK_CRC_H
