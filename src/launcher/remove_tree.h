// Removing a directory tree: the one remover every clean-up uses (the
// temporary directory, a failed extraction, a cached run's leftovers).
// Async-signal-safe: no allocation, no stdio, no directory streams; the
// walk uses the platform layer's static record buffers, so two removals
// must not run at the same time.
#ifndef VORLIX_LAUNCHER_REMOVE_TREE_H_
#define VORLIX_LAUNCHER_REMOVE_TREE_H_

#include "platform/platform.h"

// Removes everything below the directory |path| and then the directory
// itself, removing all it can:
//   - descriptor-relative, and a symbolic link is removed, never followed;
//   - a directory below that is a mount point (another file system or a
//     bind mount of the same one) is left alone with all it holds;
//   - an entry that cannot be removed is left, and the walk goes on;
//   - a directory of the effective user's own that refuses to be read,
//     entered or written (mode 0555 or 0000, say) is made 0700 first; one of
//     another user is never changed;
//   - directories more than PLATFORM_DIRECTORY_DEPTH_MAX levels down are
//     left.
// Returns 0 when |path| is gone afterwards (a |path| that did not exist
// counts), -1 when anything stayed. With |report|, a removal that left
// anything writes one line to standard error naming the first path left and
// why:
//   Warning, couldn't remove '<path>': <error text>
//   Warning, couldn't remove '<path>': it is a mount point
// A path too long for the line is cut short and ends in "...".
int remove_directory_tree(const char* path, bool report);

// Whether the directory |child|, reached through an entry of |parent| whose
// record gave |record_inode|, lies on another mount than |parent|. Where
// both mounts are known they decide; otherwise a directory on another
// device, or one whose inode is not the one its record gives (the record
// names the directory a mount covers), is a mount point.
bool crosses_mount(const PlatformEntryIdentity* parent, const PlatformEntryIdentity* child,
                   unsigned long long record_inode);

#endif  // VORLIX_LAUNCHER_REMOVE_TREE_H_
