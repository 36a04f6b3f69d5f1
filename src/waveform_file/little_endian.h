// Explicit little-endian decoding of the capture file's fields, and storing
// of little-endian words. Fields are assembled byte by byte so the code is
// correct on any host byte order and never depends on struct layout or
// alignment.
#pragma once

#include <bit>
#include <cstdint>

namespace quillwave {

inline uint16_t LoadU16(const unsigned char* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

inline uint32_t LoadU32(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline uint64_t LoadU64(const unsigned char* p) {
    return static_cast<uint64_t>(LoadU32(p)) | (static_cast<uint64_t>(LoadU32(p + 4)) << 32);
}

inline int16_t LoadI16(const unsigned char* p) { return static_cast<int16_t>(LoadU16(p)); }
inline int32_t LoadI32(const unsigned char* p) { return static_cast<int32_t>(LoadU32(p)); }
inline float LoadF32(const unsigned char* p) { return std::bit_cast<float>(LoadU32(p)); }
inline double LoadF64(const unsigned char* p) { return std::bit_cast<double>(LoadU64(p)); }

// The other way: a word's bytes stored lowest first, whatever the host's
// order (a plain store on a little-endian host, a byte swap before it on a
// big-endian one). Writers of text keep packed characters in words this way.
inline void StoreLE64(uint64_t word, void* out) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap64(word);
    __builtin_memcpy(out, &word, sizeof word);
}
inline void StoreLE32(uint32_t word, void* out) {
    if constexpr (std::endian::native == std::endian::big) word = __builtin_bswap32(word);
    __builtin_memcpy(out, &word, sizeof word);
}

}  // namespace quillwave
