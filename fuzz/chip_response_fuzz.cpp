// Whatever the chip's driver puts into the response buffer, judging it stays inside the bytes
// read, gives one of the documented statuses, and agrees with a CRC computed another way.
// Input: byte 0 is the number of bytes read; the rest is what they hold (zeros beyond it).
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "ATSHA204A.h"

namespace {

// The chip's CRC as the bit reversal of the reflected CRC-16/ARC: not the transport's way.
uint16_t OtherCrc(const uint8_t* data, size_t length) {
  uint16_t reg = 0;
  for (size_t i = 0; i < length; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1u) != 0 ? static_cast<uint16_t>(reg >> 1 ^ 0xA001u)
                            : static_cast<uint16_t>(reg >> 1);
    }
  }
  uint16_t reversed = 0;
  for (unsigned bit = 0; bit < 16; ++bit) {
    reversed = static_cast<uint16_t>(static_cast<unsigned>(reversed) << 1 | (reg >> bit & 1u));
  }
  return reversed;
}

bool CrcHolds(const uint8_t* response, uint8_t count) {
  const uint16_t crc = OtherCrc(response, count - 2u);
  return response[count - 2] == (crc & 0xFF) && response[count - 1] == (crc >> 8);
}

uint8_t StatusOfByte(uint8_t status_byte) {
  switch (status_byte) {
    case 0x03: return atsha204a::kParseError;
    case 0x0F: return atsha204a::kExecutionError;
    case 0xFF: return atsha204a::kCommunicationError;
    default: return atsha204a::kSuccess;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t read = data[0];
  // Exactly the bytes read, on the heap: a look beyond them is an error the sanitizer sees.
  uint8_t* response = static_cast<uint8_t*>(malloc(read > 0 ? read : 1));
  memset(response, 0, read > 0 ? read : 1);
  memcpy(response, data + 1, size - 1 < read ? size - 1 : read);

  const uint8_t count = read > 0 ? response[0] : 0;
  const uint8_t crc = ATSHA204A_CheckResponseCRC(response, read);
  const uint8_t status = atsha204a::ResponseStatus(response, read);

  const bool count_fits = read > 0 && count >= 4 && count <= read;
  const bool intact = count_fits && CrcHolds(response, count);
  if (crc != (intact ? atsha204a::kSuccess : atsha204a::kBadCrc)) abort();
  uint8_t expected = atsha204a::kBadCrc;
  if (intact) expected = count > 4 ? atsha204a::kSuccess : StatusOfByte(response[1]);
  if (status != expected) abort();

  // The CRC routine itself, over any bytes, against the other way.
  uint8_t bytes[2];
  const uint8_t length = static_cast<uint8_t>(size - 1 > 255 ? 255 : size - 1);
  Calculate_CRC16(length, data + 1, bytes, 0);
  const uint16_t other = OtherCrc(data + 1, length);
  if (bytes[0] != (other & 0xFF) || bytes[1] != (other >> 8)) abort();

  free(response);
  return 0;
}
