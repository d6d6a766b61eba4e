#include "state/trusted_path.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

namespace {

bool owner_is_trusted(uid_t owner, uid_t uid) { return owner == 0 || owner == uid; }

// Ends a judgement with |problem|; the component is already in place.
void refuse(TrustVerdict* verdict, TrustProblem problem, int error_number) {
  verdict->problem = problem;
  verdict->error_number = error_number;
}

// Ends a judgement of the path itself (not of one of its components).
void refuse_path(TrustVerdict* verdict, TrustProblem problem, const char* path) {
  snprintf(verdict->component, sizeof verdict->component, "%s", path);
  refuse(verdict, problem, 0);
}

}  // namespace

TrustProblem judge_directory_status(const struct stat& status, uid_t uid) {
  if (!owner_is_trusted(status.st_uid, uid)) return TRUST_OWNED_BY_OTHER_USER;
  if (!S_ISDIR(status.st_mode)) return TRUST_NOT_A_DIRECTORY;
  if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0 && (status.st_mode & S_ISVTX) == 0) return TRUST_WRITABLE_BY_OTHERS;
  return TRUST_OK;
}

void judge_directory_chain(const char* path, uid_t uid, TrustVerdict* verdict) {
  verdict->problem = TRUST_OK;
  verdict->error_number = 0;
  if (strnlen(path, TRUST_PATH_SIZE) == TRUST_PATH_SIZE) return refuse_path(verdict, TRUST_TOO_LONG, path);
  if (path[0] != '/') return refuse_path(verdict, TRUST_NOT_ABSOLUTE, path);

  // |reached| is where the walk stands: real directories, each judged, with
  // no link among them (so that ".." may drop its last component), followed
  // by |missing| components that do not exist yet. It is also the component
  // reported, so a refusal names the very path that was judged. "/" is "".
  char* reached = verdict->component;
  size_t reached_length = 0;
  size_t missing = 0;
  reached[0] = '\0';
  // What is still to walk: the path, and the text of each link in front of
  // the rest when one is followed.
  char rest[TRUST_PATH_SIZE];
  memcpy(rest, path, strlen(path) + 1);
  size_t next = 0;
  char link_text[TRUST_PATH_SIZE];
  unsigned links = 0;

  struct stat status;
  TrustProblem problem = lstat("/", &status) == 0 ? judge_directory_status(status, uid) : TRUST_UNREADABLE;
  if (problem != TRUST_OK) {
    int error_number = problem == TRUST_UNREADABLE ? errno : 0;
    refuse_path(verdict, problem, "/");
    verdict->error_number = error_number;
    return;
  }

  for (;;) {
    while (rest[next] == '/') ++next;
    if (rest[next] == '\0') break;
    const char* name = rest + next;
    size_t name_length = strcspn(name, "/");
    next += name_length;
    if (name_length == 1 && name[0] == '.') continue;
    if (name_length == 2 && name[0] == '.' && name[1] == '.') {
      // Back to the parent, which was judged on the way here ("/" is its
      // own parent).
      if (reached_length > 0) {
        while (reached[--reached_length] != '/') {
        }
        reached[reached_length] = '\0';
        if (missing > 0) --missing;
      }
      continue;
    }
    if (reached_length + 1 + name_length >= TRUST_PATH_SIZE) return refuse(verdict, TRUST_TOO_LONG, 0);
    size_t parent_length = reached_length;
    reached[reached_length] = '/';
    memcpy(reached + reached_length + 1, name, name_length);
    reached_length += 1 + name_length;
    reached[reached_length] = '\0';
    // Nothing lies below a missing component: no lstat to ask.
    if (missing > 0) {
      ++missing;
      continue;
    }
    if (lstat(reached, &status) != 0) {
      if (errno != ENOENT) return refuse(verdict, TRUST_UNREADABLE, errno);
      missing = 1;
      continue;
    }
    if (!S_ISLNK(status.st_mode)) {
      problem = judge_directory_status(status, uid);
      if (problem != TRUST_OK) return refuse(verdict, problem, 0);
      continue;
    }
    // A link: its owner could point it anywhere at any time.
    if (!owner_is_trusted(status.st_uid, uid)) return refuse(verdict, TRUST_OWNED_BY_OTHER_USER, 0);
    if (++links > TRUST_LINKS_MAX) return refuse(verdict, TRUST_LINK_LOOP, 0);
    ssize_t text_length = readlink(reached, link_text, sizeof link_text);
    if (text_length < 0) return refuse(verdict, TRUST_UNREADABLE, errno);
    size_t remaining = strlen(rest + next);
    if (static_cast<size_t>(text_length) + 1 + remaining >= sizeof rest) return refuse(verdict, TRUST_TOO_LONG, 0);
    // The rest becomes "<link text>/<rest>", walked from the link's own
    // directory, or from "/" when the text is absolute.
    memmove(rest + text_length + 1, rest + next, remaining + 1);
    memcpy(rest, link_text, static_cast<size_t>(text_length));
    rest[text_length] = '/';
    next = 0;
    reached_length = text_length > 0 && link_text[0] == '/' ? 0 : parent_length;
    reached[reached_length] = '\0';
  }
  if (reached_length == 0) snprintf(reached, TRUST_PATH_SIZE, "/");
}

void report_untrusted(const TrustVerdict& verdict) {
  const char* component = verdict.component;
  switch (verdict.problem) {
    case TRUST_OK:
      return;
    case TRUST_OWNED_BY_OTHER_USER:
      fprintf(stderr, "Error, '%s' belongs to another user.\n", component);
      return;
    case TRUST_WRITABLE_BY_OTHERS:
      fprintf(stderr, "Error, '%s' is writable by other users.\n", component);
      return;
    case TRUST_NOT_A_DIRECTORY:
      fprintf(stderr, "Error, '%s' is not a directory.\n", component);
      return;
    case TRUST_LINK_LOOP:
      fprintf(stderr, "Error, '%s' has too many levels of symbolic links.\n", component);
      return;
    case TRUST_TOO_LONG:
      fprintf(stderr, "Error, the path through '%s' is too long.\n", component);
      return;
    case TRUST_NOT_ABSOLUTE:
      fprintf(stderr, "Error, '%s' is not an absolute path.\n", component);
      return;
    case TRUST_UNREADABLE:
      fprintf(stderr, "Error, couldn't inspect '%s': %s\n", component, strerror(verdict.error_number));
      return;
  }
}
