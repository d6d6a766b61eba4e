#include "pack/display.h"

#include <cstdio>

namespace vorlix::pack {
namespace {

// The length of the valid UTF-8 sequence at |text|[at], or 0; its code
// point in |*code|.
size_t utf8_sequence(std::string_view text, size_t at, char32_t* code) {
  unsigned char lead = static_cast<unsigned char>(text[at]);
  size_t length;
  char32_t value, minimum;
  if (lead < 0x80) {
    *code = lead;
    return 1;
  } else if ((lead & 0xe0) == 0xc0) {
    length = 2, value = lead & 0x1f, minimum = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    length = 3, value = lead & 0x0f, minimum = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    length = 4, value = lead & 0x07, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (size_t i = 1; i < length; ++i) {
    unsigned char next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xc0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3f);
  }
  if (value < minimum || value > 0x10ffff || (value >= 0xd800 && value <= 0xdfff)) return 0;
  *code = value;
  return length;
}

bool is_control(char32_t code) { return code < 0x20 || (code >= 0x7f && code <= 0x9f); }

// The characters that reorder text on a terminal: embeddings, overrides and
// isolates.
bool is_bidi_format(char32_t code) {
  return (code >= 0x202a && code <= 0x202e) || (code >= 0x2066 && code <= 0x2069) || code == 0x200e ||
         code == 0x200f || code == 0x061c;
}

void append_byte_escape(std::string& out, unsigned char byte) {
  char escape[5];
  snprintf(escape, sizeof escape, "\\x%02x", byte);
  out += escape;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  char32_t code;
  for (size_t at = 0; at < text.size();) {
    size_t length = utf8_sequence(text, at, &code);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string display_text(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    char32_t code;
    size_t length = utf8_sequence(text, at, &code);
    if (length == 0) {
      append_byte_escape(out, static_cast<unsigned char>(text[at]));
      ++at;
      continue;
    }
    if (code == '\\') {
      out += "\\\\";
    } else if (code == '\n') {
      out += "\\n";
    } else if (code == '\t') {
      out += "\\t";
    } else if (code == '\r') {
      out += "\\r";
    } else if (code == 0x1b) {
      out += "\\e";
    } else if (is_control(code) || is_bidi_format(code)) {
      for (size_t i = 0; i < length; ++i) append_byte_escape(out, static_cast<unsigned char>(text[at + i]));
    } else {
      out.append(text.substr(at, length));
    }
    at += length;
  }
  return out;
}

std::string json_string(std::string_view text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20 || c == 0x7f) {
      char escape[8];
      snprintf(escape, sizeof escape, "\\u%04x", c);
      out += escape;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string hex_bytes(std::string_view text) {
  std::string out;
  char digits[3];
  for (unsigned char c : text) {
    snprintf(digits, sizeof digits, "%02x", c);
    out += digits;
  }
  return out;
}

}  // namespace vorlix::pack
