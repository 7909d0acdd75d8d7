#pragma once
// Little-endian field access shared by every wire format.
#include <bit>
#include <cstdint>

namespace korvex::wire {

inline void put_u16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put_u32(std::uint8_t* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_u64(std::uint8_t* p, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put_f64(std::uint8_t* p, double x) { put_u64(p, std::bit_cast<std::uint64_t>(x)); }
inline void put_f32(std::uint8_t* p, double x) { put_u32(p, std::bit_cast<std::uint32_t>(static_cast<float>(x))); }

inline std::uint16_t get_u16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
inline std::uint32_t get_u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
inline std::uint64_t get_u64(const std::uint8_t* p) {
  return static_cast<std::uint64_t>(get_u32(p)) | static_cast<std::uint64_t>(get_u32(p + 4)) << 32;
}
inline double get_f64(const std::uint8_t* p) { return std::bit_cast<double>(get_u64(p)); }
//! A 4-byte float widened exactly.
inline double get_f32(const std::uint8_t* p) { return static_cast<double>(std::bit_cast<float>(get_u32(p))); }

}  // namespace korvex::wire
