// Minimal UTF-8 decoding for texts that come from the adapter (serial numbers, names): strict validation, one code
// point at a time, and a lossy conversion that replaces each maximal invalid subpart with U+FFFD.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tavro::utf8 {

// Decodes the code point at `pos` and advances past it. On an invalid sequence returns -1 and advances past its
// maximal valid prefix (at least one byte), which is what the lossy conversion replaces.
inline int32_t next(std::string_view s, size_t& pos) noexcept {
  const auto at = [&](size_t i) { return static_cast<uint8_t>(s[i]); };
  const uint8_t b0 = at(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  size_t len;
  uint8_t lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  int32_t cp;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // overlong
    if (b0 == 0xED) hi = 0x9F;  // surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;  // overlong
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    ++pos;
    return -1;
  }
  size_t i = pos + 1;
  for (size_t k = 1; k < len; ++k, ++i) {
    const uint8_t lo_k = k == 1 ? lo : 0x80, hi_k = k == 1 ? hi : 0xBF;
    if (i >= s.size() || at(i) < lo_k || at(i) > hi_k) {
      pos = i;
      return -1;
    }
    cp = (cp << 6) | (at(i) & 0x3F);
  }
  pos = i;
  return cp;
}

inline bool valid(std::string_view s) noexcept {
  for (size_t pos = 0; pos < s.size();)
    if (next(s, pos) < 0) return false;
  return true;
}

inline std::string lossy(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  for (size_t pos = 0; pos < s.size();) {
    const size_t start = pos;
    if (next(s, pos) < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(s.substr(start, pos - start));
    }
  }
  return out;
}

}  // namespace tavro::utf8
