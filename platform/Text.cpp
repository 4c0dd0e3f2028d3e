#include "platform/Text.h"

#include <array>

namespace text {
namespace {

// Code points of Windows-1252 bytes 0x80..0x9F (0 = undefined byte).
constexpr std::array<char32_t, 32> kCp1252High = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0,      0x017D, 0,      0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

constexpr char32_t kBad = 0xFFFFFFFF;

// Decodes one code point at `i`, advancing it; kBad for malformed input.
char32_t NextUtf8(std::string_view s, size_t& i) {
  const unsigned char c = static_cast<unsigned char>(s[i++]);
  if (c < 0x80) return c;
  int extra;
  char32_t cp;
  if ((c & 0xE0) == 0xC0) {
    extra = 1;
    cp = c & 0x1F;
  } else if ((c & 0xF0) == 0xE0) {
    extra = 2;
    cp = c & 0x0F;
  } else if ((c & 0xF8) == 0xF0) {
    extra = 3;
    cp = c & 0x07;
  } else {
    return kBad;
  }
  for (int k = 0; k < extra; ++k) {
    if (i >= s.size()) return kBad;
    const unsigned char cc = static_cast<unsigned char>(s[i]);
    if ((cc & 0xC0) != 0x80) return kBad;
    cp = (cp << 6) | (cc & 0x3F);
    ++i;
  }
  static constexpr char32_t kMin[] = {0, 0x80, 0x800, 0x10000};
  if (cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return kBad;
  return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

char ToCp1252Byte(char32_t cp) {
  if (cp == kBad) return '?';
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (size_t k = 0; k < kCp1252High.size(); ++k)
    if (kCp1252High[k] != 0 && kCp1252High[k] == cp) return static_cast<char>(0x80 + k);
  return '?';
}

}  // namespace

std::string ToCp1252(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) out += ToCp1252Byte(NextUtf8(utf8, i));
  return out;
}

std::string FromCp1252(std::string_view cp1252) {
  std::string out;
  out.reserve(cp1252.size());
  for (char ch : cp1252) {
    const unsigned char c = static_cast<unsigned char>(ch);
    char32_t cp = c;
    if (c >= 0x80 && c <= 0x9F) cp = kCp1252High[c - 0x80] ? kCp1252High[c - 0x80] : U'?';
    AppendUtf8(out, cp);
  }
  return out;
}

std::string ToLatin1(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextUtf8(utf8, i);
    out += (cp != kBad && cp <= 0xFF) ? static_cast<char>(cp) : '?';
  }
  return out;
}

std::string FromLatin1(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char ch : latin1) AppendUtf8(out, static_cast<unsigned char>(ch));
  return out;
}

std::u16string ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    char32_t cp = NextUtf8(utf8, i);
    if (cp == kBad) cp = U'?';
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (cp >> 10));
      out += static_cast<char16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out += static_cast<char16_t>(cp);
    }
  }
  return out;
}

std::string FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (size_t i = 0; i < utf16.size(); ++i) {
    char32_t cp = utf16[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = U'?';
    }
    AppendUtf8(out, cp);
  }
  return out;
}

std::string IntToStr(int64_t value) { return std::to_string(value); }

}  // namespace text
