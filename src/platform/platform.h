// The few operating-system requests that differ between FreeBSD and Linux.
// Exactly one platform_*.cc implements this header; no other file tests for
// the operating system.
#ifndef VORLIX_PLATFORM_PLATFORM_H_
#define VORLIX_PLATFORM_PLATFORM_H_

#include <signal.h>
#include <stddef.h>
#include <stdint.h>

// How deep a directory walk that uses platform_directory_buffer may go.
// Extracted names have at most 1023 bytes, so at most 512 levels.
inline constexpr unsigned PLATFORM_DIRECTORY_DEPTH_MAX = 512;

// The record buffer for level |depth| (0-based) of a directory walk, or
// nullptr when |depth| reaches PLATFORM_DIRECTORY_DEPTH_MAX. The buffers are
// static, so a walk allocates nothing and may run in a signal handler; two
// walks must not run at the same time.
char* platform_directory_buffer(unsigned depth);

// Writes the running executable's path, as the kernel reports it, into
// |buffer| of |size| bytes, NUL-terminated. False when the kernel cannot give
// it or it does not fit; the buffer's contents are then undefined.
bool platform_own_executable_path(char* buffer, size_t size);

// Whether the kernel started this process with privileges its caller does
// not have (set-user-ID or set-group-ID, or file capabilities).
bool platform_started_privileged();

// Opens the executable file this process runs (the very file, even if its
// path now leads elsewhere, where the system can tell), read-only with
// close-on-exec; |own_path| is its path as the kernel reports it. -1 with
// errno set on failure.
int platform_open_own_executable(const char* own_path);

// Where the |size| bytes at |address|, data of the running executable, lie
// in its file, mapped at |image| (|image_size| bytes): |*offset|. False when
// it cannot tell.
bool platform_image_offset_of(const void* address, size_t size, const unsigned char* image, size_t image_size,
                              uint64_t* offset);

// Reads the next directory records of the open directory |fd| into |buffer|,
// one returned by platform_directory_buffer. Returns the number of bytes filled,
// 0 at the end of the directory, -1 on failure (errno set).
// Async-signal-safe: a single system call.
long platform_read_directory(int fd, char* buffer);

// What a directory record says of its entry's kind.
enum PlatformEntryKind { PLATFORM_ENTRY_UNKNOWN, PLATFORM_ENTRY_DIRECTORY, PLATFORM_ENTRY_OTHER };

// Steps through the records that platform_read_directory left in |buffer|
// (|filled| bytes). |*offset| starts at 0; each call returns the next entry's
// NUL-terminated name and sets |*kind| (a symbolic link is OTHER; file
// systems that do not say give UNKNOWN) and |*inode| (the inode number the
// record gives, which for a mount point is that of the directory it covers),
// or returns nullptr when the records are used up. Async-signal-safe: only
// reads memory.
const char* platform_next_directory_entry(const char* buffer, long filled, long* offset, PlatformEntryKind* kind,
                                          unsigned long long* inode);

// What a directory walk needs to know of an entry to decide whether it may
// go into it: its kind, owner and permissions, and what tells one mount from
// another.
struct PlatformEntryIdentity {
  unsigned long long device;
  unsigned long long inode;
  unsigned owner;
  unsigned mode;  // type and permission bits, as st_mode
  // When |mount_known|, entries on the same mount have equal |mount| words
  // and entries on different mounts (a bind mount of the same file system
  // included) different ones. Otherwise only |device| and |inode| tell.
  bool mount_known;
  unsigned long long mount[2];
};

// Reads the identity of the entry |name| of the open directory |directory_fd|
// without following a symbolic link or triggering an automount; with an
// empty |name|, of |directory_fd| itself. Asked of an open descriptor the
// mount is known wherever the system can tell it. Returns 0, or -1 on
// failure (errno set). Async-signal-safe: system calls only.
int platform_entry_identity(int directory_fd, const char* name, PlatformEntryIdentity* identity);

// Reads how the file system that holds |path| is mounted: whether it is
// read-only, and whether it refuses to run programs (noexec). False when
// the system cannot say (errno set); the flags are then untouched.
bool platform_mount_flags(const char* path, bool* read_only, bool* no_exec);

// Whether the signal that |info| describes was sent by a process (kill,
// sigqueue and their thread-directed forms) rather than raised by the kernel
// (a terminal's control characters and hang-up, a child's end).
// Async-signal-safe: only reads |info|.
bool platform_signal_sent_by_process(const siginfo_t* info);

// The signal's name without "SIG" ("TERM"), or nullptr when it has none.
const char* platform_signal_abbreviation(int signal_number);

// The system's text for |error_number|, without consulting the locale, so
// that it can be used from a signal handler. Never nullptr.
const char* platform_error_text(int error_number);

// In a child just forked: asks the kernel to kill this process with SIGKILL
// when its parent ends, then makes sure |parent| has not ended already (the
// request would come too late); if it has, kills this process at once.
void platform_die_with_parent(int parent);

// Makes this process the reaper of its descendants: a descendant whose
// parent ends is re-parented to it rather than to process 1. False when the
// system refuses.
bool platform_become_reaper();

// Sends |signal_number| to every descendant of this process (never to the
// process itself). Returns how many were signalled, or -1 when the system
// cannot tell.
int platform_signal_descendants(int signal_number);

#endif  // VORLIX_PLATFORM_PLATFORM_H_
