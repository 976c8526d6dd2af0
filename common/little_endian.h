// Little-endian loads and stores through memcpy: no alignment or aliasing
// assumptions about the buffers they touch.
#pragma once

#include <cstdint>
#include <cstring>

namespace tarn {

inline uint32_t LoadLe32(const void* p) {
  uint8_t b[4];
  std::memcpy(b, p, 4);
  return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

inline uint16_t LoadLe16(const void* p) {
  uint8_t b[2];
  std::memcpy(b, p, 2);
  return uint16_t(b[0] | b[1] << 8);
}

inline void StoreLe32(void* p, uint32_t v) {
  const uint8_t b[4] = {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)};
  std::memcpy(p, b, 4);
}

inline uint64_t LoadLe64(const void* p) {
  return uint64_t(LoadLe32(p)) | uint64_t(LoadLe32(static_cast<const uint8_t*>(p) + 4)) << 32;
}

inline void StoreLe64(void* p, uint64_t v) {
  StoreLe32(p, uint32_t(v));
  StoreLe32(static_cast<uint8_t*>(p) + 4, uint32_t(v >> 32));
}

inline void StoreLe16(void* p, uint16_t v) {
  const uint8_t b[2] = {uint8_t(v), uint8_t(v >> 8)};
  std::memcpy(p, b, 2);
}

}  // namespace tarn
