// Writing the archive's entries below the target directory.
#ifndef VORLIX_PAYLOAD_EXTRACT_H_
#define VORLIX_PAYLOAD_EXTRACT_H_

#include <stddef.h>

inline constexpr int CREATED_DIRS_MAX = 1024;

// Directories known to exist (made or found by the extraction), as heap
// copies; only appended to. Checked before touching the disk again.
extern char* created_dirs[CREATED_DIRS_MAX];
extern int created_dirs_count;

// What the extraction has written: entries, and bytes of file content.
extern long extracted_entries;
extern unsigned long long extracted_bytes;

// Empties the memo of directories (for a harness that extracts again in the
// same process).
void forget_directories();

// Reads entries from the payload reader until the end marker and writes them
// below target_directory: files (made executable when flagged), symbolic
// links, and parent directories of mode 0700. The target directory itself is
// made here with mkdir, for the first entry; when something already exists at
// its path nothing is written. The first entry's full path becomes exec_path.
// Every failure prints its line and exits with status 2 (what was written is
// removed by the launcher's clean-up at exit). Returns true at the end
// marker, false when a termination signal (stop_signal) came: it is checked
// before every entry and every piece of a file, so the extraction stops
// within one piece.
bool extract_archive();

// Takes target_directory, which the caller has just made privately, as made
// by this launcher: the extraction writes into it, and a clean-up removes it.
void adopt_target_directory();

// Makes sure the directory that holds |path| exists, creating missing
// ancestors with mode 0700 from the outermost in. Reports nothing: a failure
// shows in the operation that follows.
void create_parent_directories(const char* path);

#endif  // VORLIX_PAYLOAD_EXTRACT_H_
