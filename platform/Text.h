// Text of the service.
//
// Inside the service every text is a std::string holding UTF-8. Texts are
// converted only at the edges:
//   - the text log writes Windows-1252 bytes (ToCp1252);
//   - the database connections carry ISO 8859-1 (ToLatin1 / FromLatin1);
//   - the plug-in boundary carries UTF-16 (ToUtf16 / FromUtf16) and 8-bit
//     ANSI (Windows-1252) for the driver name and version (FromCp1252).
// A character that the target lacks becomes '?', and malformed input (bad
// UTF-8, lone surrogates) becomes '?' too: conversion never fails and never
// drops a whole text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace text {

std::string ToCp1252(std::string_view utf8);
std::string FromCp1252(std::string_view cp1252);
std::string ToLatin1(std::string_view utf8);
std::string FromLatin1(std::string_view latin1);
std::u16string ToUtf16(std::string_view utf8);
std::string FromUtf16(std::u16string_view utf16);

// Decimal text of an integer (ids in log lines).
std::string IntToStr(int64_t value);

}  // namespace text
