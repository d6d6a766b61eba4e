// Names from packages, shown to people: nothing reaches a terminal raw.
#ifndef VORLIX_PACK_DISPLAY_H_
#define VORLIX_PACK_DISPLAY_H_

#include <string>
#include <string_view>

namespace vorlix::pack {

// Whether |text| is valid UTF-8 (shortest forms, no surrogates, at most
// U+10FFFF).
bool is_valid_utf8(std::string_view text);

// |text| for a terminal or a log line: valid UTF-8 as it is, except that
// control characters (C0, DEL, C1) and the bidirectional formatting
// characters are escaped (\n, \t, \r, \e, \xHH for each of their bytes), as
// are bytes that are not valid UTF-8 (\xHH) and the backslash itself (\\).
// So one name is always one line, and distinct names look distinct.
std::string display_text(std::string_view text);

// A JSON string for valid UTF-8 |text| ('"', '\', and control characters
// escaped as \uXXXX).
std::string json_string(std::string_view text);

// |text| in lower-case hexadecimal, two digits a byte.
std::string hex_bytes(std::string_view text);

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_DISPLAY_H_
