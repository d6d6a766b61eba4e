// The package file layout shared by the launcher and the packer.
//
// A package is one file of S bytes:
//   [launcher image][payload header "IXY"][compressed stream][trailer]
// The trailer is the last 8 bytes: the payload length L (header plus
// compressed stream) as an unsigned 64-bit little-endian integer. The
// compressed stream is one or more zstd frames that decode to the archive:
//   entry* end-marker
//   entry      = name NUL flags (target NUL | size64le content)
//   end-marker = NUL (an empty name)
//
// Everything here is plain data and pure functions so that the launcher,
// built without exceptions, can include it.
#ifndef VORLIX_FORMAT_PACKAGE_FORMAT_H_
#define VORLIX_FORMAT_PACKAGE_FORMAT_H_

#include <stddef.h>
#include <stdint.h>

inline constexpr unsigned char PAYLOAD_HEADER[3] = {'I', 'X', 'Y'};
inline constexpr uint64_t PAYLOAD_HEADER_SIZE = 3;
inline constexpr uint64_t PAYLOAD_TRAILER_SIZE = 8;

inline constexpr unsigned char ENTRY_FLAG_EXECUTABLE = 0x01;
inline constexpr unsigned char ENTRY_FLAG_SYMLINK = 0x02;

// Names and link targets are at most this many bytes, without their NUL.
inline constexpr size_t ENTRY_NAME_MAX = 1023;
// The launcher's path buffers hold at most this many characters.
inline constexpr size_t ENTRY_PATH_MAX = 4095;
// The path of the program to run (the first entry) is at most this long.
inline constexpr size_t EXEC_PATH_MAX = 1023;

// The largest decoder window every launcher accepts (the zstd default).
inline constexpr int PAYLOAD_WINDOW_LOG_MAX = 27;

// The mode an executable entry's file gets from its created mode: owner
// execute, and others execute too when the group may read. Group execute is
// never added.
inline unsigned executable_mode(unsigned mode) {
  unsigned result = mode | 0100;
  if (mode & 0040) result |= 0001;
  return result & 07777;
}

inline uint64_t read_le64(const unsigned char* bytes) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | bytes[i];
  return value;
}

inline void write_le64(unsigned char* bytes, uint64_t value) {
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

// What makes an entry name unsafe to create below a directory.
enum EntryNameFault {
  ENTRY_NAME_SOUND,
  ENTRY_NAME_EMPTY,
  ENTRY_NAME_ABSOLUTE,
  ENTRY_NAME_EMPTY_COMPONENT,
  ENTRY_NAME_DOT_DOT_COMPONENT,
  ENTRY_NAME_DOT_COMPONENT,
};

// Whether the |length| bytes at |name| are safe to create below a directory:
// relative, without empty, "." or ".." components.
inline EntryNameFault entry_name_fault(const char* name, size_t length) {
  if (length == 0) return ENTRY_NAME_EMPTY;
  if (name[0] == '/') return ENTRY_NAME_ABSOLUTE;
  size_t start = 0;
  for (size_t at = 0; at <= length; ++at) {
    if (at < length && name[at] != '/') continue;
    size_t part = at - start;
    if (part == 0) return ENTRY_NAME_EMPTY_COMPONENT;
    if (part == 2 && name[start] == '.' && name[start + 1] == '.') return ENTRY_NAME_DOT_DOT_COMPONENT;
    if (part == 1 && name[start] == '.') return ENTRY_NAME_DOT_COMPONENT;
    start = at + 1;
  }
  return ENTRY_NAME_SOUND;
}

// Where the payload header starts in a file of |file_size| bytes whose trailer
// holds |payload_length|. False when the trailer cannot describe a payload
// inside the file: files shorter than header plus trailer, and lengths outside
// 3 <= L <= S - 8. Never overflows, whatever the trailer says.
inline bool payload_offset(uint64_t file_size, uint64_t payload_length, uint64_t* offset) {
  if (file_size < PAYLOAD_HEADER_SIZE + PAYLOAD_TRAILER_SIZE) return false;
  if (payload_length < PAYLOAD_HEADER_SIZE) return false;
  if (payload_length > file_size - PAYLOAD_TRAILER_SIZE) return false;
  *offset = file_size - PAYLOAD_TRAILER_SIZE - payload_length;
  return true;
}

#endif  // VORLIX_FORMAT_PACKAGE_FORMAT_H_
