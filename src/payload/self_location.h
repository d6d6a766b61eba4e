// Finding the launcher's own executable, mapping it, and locating the payload
// that is attached to it.
#ifndef VORLIX_PAYLOAD_SELF_LOCATION_H_
#define VORLIX_PAYLOAD_SELF_LOCATION_H_

#include <stddef.h>
#include <stdint.h>

inline constexpr size_t OWN_PATH_SIZE = 4096;

// A whole file mapped read-only. On success |failed| is false and |base|,
// |fd| and |length| are valid; on failure only |failed|, |saved_errno| and
// |failed_operation| ("open", "lseek" or "mmap") mean anything and no
// descriptor is left open.
struct MappedFile {
  bool failed;
  int saved_errno;
  const char* failed_operation;
  const unsigned char* base;
  int fd;
  int64_t length;
};

// The compressed stream behind the payload header.
struct CompressedStream {
  const unsigned char* data;
  uint64_t size;
};

// The running executable's path as the kernel reports it, not normalised;
// asked for once and cached. abort()s when the kernel cannot give it.
extern char own_path[OWN_PATH_SIZE];
const char* find_own_executable();

void map_file_readonly(MappedFile* file, const char* path);
// The same for a descriptor just opened (-1: the open failed, errno set);
// the mapping takes it over.
void map_open_file(MappedFile* file, int fd);

// The launcher's own file and the payload that its trailer describes.
// |payload_start| is nullptr when the trailer cannot describe a payload that
// lies inside the file; check_payload_header rejects that.
extern MappedFile own_file;
extern const unsigned char* payload_start;
extern uint64_t payload_length;

// Maps the own executable (the running image itself, where the system can
// open it) and reads its trailer. On a mapping failure prints
// "Error, couldn't find attached data:<operation>: <error>" on standard error
// and exits with status 2.
void locate_payload();

// What locate_payload does after mapping: reads the trailer of
// own_file into payload_start and payload_length. Never reads outside it.
void read_payload_trailer();

// Checks the payload header and returns the compressed stream behind it. On a
// wrong header, or a payload that does not lie inside the file, prints
// "Error, couldn't find attached data header." on standard output and exits
// with status 2.
CompressedStream check_payload_header(const unsigned char* start, uint64_t length);

#endif  // VORLIX_PAYLOAD_SELF_LOCATION_H_
