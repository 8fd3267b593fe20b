// source.h - reading script files: UTF-8 (an optional UTF-8 byte-order mark is
// dropped), or UTF-16 when the file starts with a byte-order mark (FF FE
// little-endian, FE FF big-endian).
#pragma once
#include <optional>
#include <string>
#include <string_view>

namespace qo::console {

std::u16string decodeSource(std::string_view bytes);
// nullopt when the file cannot be read (errno tells why).
std::optional<std::u16string> readSource(const std::string& path);
std::optional<std::string> readAll(int fd);

// A first line starting with "#!" (an interpreter line) becomes blanks; the
// line break stays, so positions and line numbers keep pointing at the text.
void skipInterpreterLine(std::u16string& source);

}  // namespace qo::console
