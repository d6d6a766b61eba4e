// Whether a directory may hold what the launcher makes: no user but root and
// the launcher's own may have changed, or may still change, what a path
// leads to. Below the launch sequence and the payload code, which both use it.
#ifndef VORLIX_STATE_TRUSTED_PATH_H_
#define VORLIX_STATE_TRUSTED_PATH_H_

#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

inline constexpr size_t TRUST_PATH_SIZE = 4096;
// Symbolic links followed in one judgement before it is called a loop.
inline constexpr unsigned TRUST_LINKS_MAX = 40;

// Why a path may not be trusted, or TRUST_OK.
enum TrustProblem {
  TRUST_OK,
  TRUST_OWNED_BY_OTHER_USER,
  TRUST_WRITABLE_BY_OTHERS,
  TRUST_NOT_A_DIRECTORY,
  TRUST_LINK_LOOP,
  TRUST_TOO_LONG,
  TRUST_NOT_ABSOLUTE,
  TRUST_UNREADABLE,
};

struct TrustVerdict {
  TrustProblem problem;
  // The component at fault, as the path of the real directory or link it is
  // (links before it followed). With TRUST_OK: the judged path with every
  // link followed and every "." and ".." taken out, missing tail included.
  char component[TRUST_PATH_SIZE];
  // The lstat or readlink failure with TRUST_UNREADABLE; 0 otherwise.
  int error_number;
};

// Judges one existing entry of a chain, as lstat or fstat gave it, for |uid|:
// owned by root or |uid|, a directory, and not writable by group or others
// unless sticky (then what lies in it is judged on its own owner). A link
// gets TRUST_NOT_A_DIRECTORY: the chain judges what it points at.
TrustProblem judge_directory_status(const struct stat& status, uid_t uid);

// Judges the chain of the absolute |path| for |uid|, component by component
// from "/": every existing one must pass judge_directory_status, a symbolic
// link must be owned by root or |uid| and what it points at is judged in
// turn (the text of the link resolved as the kernel does), and ".." steps
// back to the real parent of the directory reached. The walk ends at the
// first missing component: what follows is the caller's to make, and is
// only followed lexically (a ".." that climbs back out of it into existing
// directories is judged again). A relative |path| is TRUST_NOT_ABSOLUTE,
// never judged against the working directory.
//
// Once a chain passes, no other user can change it afterwards: every
// directory in it is writable only by root and |uid|, except sticky ones,
// where no other user can rename or remove what is judged.
//
// Costs one lstat per existing component (one readlink per link); allocates
// nothing. Not for signal handlers (|verdict| is large; reporting uses stdio).
void judge_directory_chain(const char* path, uid_t uid, TrustVerdict* verdict);

// Writes the one line that says why |verdict| refuses its path to standard
// error ("Error, '<component>' is writable by other users."). Nothing for
// TRUST_OK.
void report_untrusted(const TrustVerdict& verdict);

#endif  // VORLIX_STATE_TRUSTED_PATH_H_
