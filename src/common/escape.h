// The escaping of text from outside (a client's request, a service's message) before it goes
// into a line for people: the service's log and print-xpc-call's messages.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace printxpc {

// Control characters as \xNN and backslashes doubled, so that the text cannot start a line
// of its own or pass for an escape.
inline void appendEscaped(std::string& line, std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      line += "\\\\";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[8];
      (void)std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      line += escaped;
    } else {
      line += c;
    }
  }
}

inline std::string escaped(std::string_view text) {
  std::string line;
  line.reserve(text.size());
  appendEscaped(line, text);
  return line;
}

}  // namespace printxpc
