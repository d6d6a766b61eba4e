// vorlix-pack list, extract and verify: reading packages that may not be
// trusted.
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "format/launcher_config.h"
#include "format/package_format.h"
#include "format/package_reader.h"
#include "pack/commands.h"
#include "pack/display.h"
#include "pack/files.h"
#include "pack/launch_check.h"
#include "pack/payload_hash.h"

namespace vorlix::pack {
namespace {

char kind_of(const EntryInfo& e) {
  if (e.is_link) return 'l';
  return (e.flags & ENTRY_FLAG_EXECUTABLE) ? 'x' : 'f';
}

// A JSON member for a name or link target: valid UTF-8 as it is; otherwise
// the text with U+FFFD for each byte that is not, and "<key>_hex" with the
// exact bytes.
std::string json_text_member(const std::string& key, const std::string& text) {
  if (is_valid_utf8(text)) return "\"" + key + "\": " + json_string(text);
  std::string shown;
  for (unsigned char c : text) shown += c < 0x80 ? std::string(1, static_cast<char>(c)) : "\xef\xbf\xbd";
  return "\"" + key + "\": " + json_string(shown) + ", \"" + key + "_hex\": \"" + hex_bytes(text) + "\"";
}

// Writes entries below one directory without ever following a symbolic
// link, neither one that was there nor one the archive made.
class SafeWriter {
 public:
  explicit SafeWriter(const std::string& directory) : directory_(directory) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST) fail(directory, errno_text(errno));
    // DIR itself is the user's choice and may be a link; nothing below it is followed.
    root_ = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (root_ < 0) fail(directory, errno_text(errno));
    mode_t mask = umask(0);
    umask(mask);
    umask_ = mask;
  }
  ~SafeWriter() { close(root_); }

  void write(const EntryInfo& entry, ArchiveReader& archive, std::vector<char>& buffer) {
    if (const char* reason = unsafe_name_reason(entry.name)) fail(where(entry), std::string("refused: ") + reason);
    std::string leaf;
    int parent = open_parent(entry, &leaf);
    clear_leaf(parent, leaf, entry);
    if (entry.is_link) {
      int result = symlinkat(entry.target.c_str(), parent, leaf.c_str());
      int error = errno;
      close(parent);
      if (result != 0) fail(where(entry), errno_text(error));
      return;
    }
    int fd = openat(parent, leaf.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    int error = errno;
    close(parent);
    if (fd < 0) fail(where(entry), errno_text(error));
    try {
      while (size_t n = archive.read_content(buffer.data(), buffer.size())) write_all(fd, buffer.data(), n, where(entry));
      if (entry.flags & ENTRY_FLAG_EXECUTABLE) {
        // As the launcher does, from the mode the file was created with.
        if (fchmod(fd, executable_mode(0666 & ~umask_)) != 0) fail(where(entry), errno_text(errno));
      }
    } catch (...) {
      close(fd);
      throw;
    }
    if (close(fd) != 0) fail(where(entry), errno_text(errno));
  }

 private:
  std::string where(const EntryInfo& entry) const { return directory_ + ": entry '" + entry.name + "'"; }

  // Opens (making as needed) the directories of |entry|'s name one by one,
  // refusing any that is not a real directory.
  int open_parent(const EntryInfo& entry, std::string* leaf) {
    int fd = dup(root_);
    size_t start = 0;
    for (size_t slash; (slash = entry.name.find('/', start)) != std::string::npos; start = slash + 1) {
      std::string part = entry.name.substr(start, slash - start);
      if (mkdirat(fd, part.c_str(), 0700) != 0 && errno != EEXIST) {
        int error = errno;
        close(fd);
        fail(where(entry), errno_text(error));
      }
      int next = openat(fd, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      int error = errno;
      close(fd);
      if (next < 0) {
        if (error == ELOOP || error == ENOTDIR)
          fail(where(entry), "refused: '" + entry.name.substr(0, slash) + "' is not a directory");
        fail(where(entry), errno_text(error));
      }
      fd = next;
    }
    *leaf = entry.name.substr(start);
    return fd;
  }

  // A later entry replaces a file or link of the same name; a directory
  // stays and the entry is refused.
  void clear_leaf(int parent, const std::string& leaf, const EntryInfo& entry) {
    struct stat status;
    if (fstatat(parent, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0) return;
    if (S_ISDIR(status.st_mode)) {
      close(parent);
      fail(where(entry), "refused: a directory of that name exists");
    }
    if (unlinkat(parent, leaf.c_str(), 0) != 0) {
      int error = errno;
      close(parent);
      fail(where(entry), errno_text(error));
    }
  }

  std::string directory_;
  int root_;
  mode_t umask_;
};

// A text field of the configuration block, up to its NUL or its end.
std::string field_text(const char* field, size_t size) { return std::string(field, strnlen(field, size)); }

}  // namespace

LaunchSetting launch_setting_of(std::string_view package) {
  std::optional<LauncherConfig> config = read_launcher_config(launcher_image_of(package));
  LaunchSetting setting;
  if (!config) {
    setting.mode = "unknown";
    setting.target_spec.clear();
    setting.grace_period_s.reset();
    setting.problem = "the launcher image has no configuration block, or its mark is damaged";
    return setting;
  }
  if (const char* problem = launcher_config_problem(*config))
    setting.problem = std::string("the launcher's configuration is damaged: ") + problem;
  if (config->mode == LAUNCH_MODE_CACHED) {
    setting.mode = "cached";
  } else if (config->mode != LAUNCH_MODE_TEMPORARY) {
    setting.mode = "unknown (" + std::to_string(config->mode) + ")";
  }
  std::string spec = field_text(config->target_spec, sizeof config->target_spec);
  if (!spec.empty()) setting.target_spec = spec;
  setting.grace_period_s = launcher_config_grace_period_s(*config);
  setting.payload_hash = field_text(config->payload_hash, sizeof config->payload_hash);
  setting.exec_name = field_text(config->exec_name, sizeof config->exec_name);
  return setting;
}

namespace {

std::string describe(const LaunchSetting& setting) {
  std::string text = "mode: " + setting.mode +
                     ", target directory: " + (setting.target_spec.empty() ? "unknown" : setting.target_spec) +
                     ", grace period: " +
                     (setting.grace_period_s ? std::to_string(*setting.grace_period_s) + " s" : "unknown");
  if (!setting.problem.empty()) text += "   [refused: " + setting.problem + "]";
  return text;
}

std::string describe_json(const LaunchSetting& setting) {
  const std::string& spec = setting.target_spec;
  std::string text = "\"mode\": " + json_string(setting.mode) + ", \"target_dir\": " +
                     (spec.empty() ? "null" : json_string(is_valid_utf8(spec) ? spec : display_text(spec))) +
                     ", \"grace_period\": " +
                     (setting.grace_period_s ? std::to_string(*setting.grace_period_s) : "null");
  if (!setting.problem.empty()) text += ", \"problem\": " + json_string(display_text(setting.problem));
  return text;
}

}  // namespace

std::string list_entries(std::string_view package, bool json) {
  LaunchSetting setting = launch_setting_of(package);
  StreamDecoder decoder(compressed_stream_of(package));
  ArchiveReader archive(decoder);
  LaunchCheck check;
  std::string out = json ? "{" + describe_json(setting) + ", \"entries\": [" : display_text(describe(setting)) + "\n";
  size_t count = 0;
  EntryInfo e;
  while (archive.next(&e)) {
    uint64_t size = e.is_link ? e.target.size() : e.size;
    std::string problem = check.check(e);
    if (json) {
      out += count == 0 ? "\n  " : ",\n  ";
      out += "{\"kind\": \"" + std::string(1, kind_of(e)) + "\", \"size\": " + std::to_string(size) + ", " +
             json_text_member("name", e.name);
      if (e.is_link) out += ", " + json_text_member("target", e.target);
      if (!problem.empty()) out += ", \"problem\": " + json_string(display_text(problem));
      out += "}";
    } else {
      char head[48];
      snprintf(head, sizeof head, "%c %12llu ", kind_of(e), static_cast<unsigned long long>(size));
      out += head + display_text(e.name);
      if (e.is_link) out += " -> " + display_text(e.target);
      if (!problem.empty()) out += "   [refused: " + display_text(problem) + "]";
      out += "\n";
    }
    ++count;
    archive.skip_content();
  }
  if (json) out += count == 0 ? "]}\n" : "\n]}\n";
  return out;
}

void extract_entries(std::string_view package, const std::string& directory) {
  StreamDecoder decoder(compressed_stream_of(package));
  ArchiveReader archive(decoder);
  SafeWriter writer(directory);
  std::vector<char> buffer(1 << 17);
  EntryInfo e;
  while (archive.next(&e)) writer.write(e, archive, buffer);
}

int list_package(const std::string& package, bool json) {
  MappedFile file(package);
  std::string out;
  try {
    out = list_entries(file.bytes(), json);
  } catch (const FormatError& e) {
    fail(package, e.what());
  }
  // Printed only once the whole archive read well.
  fputs(out.c_str(), stdout);
  return 0;
}

int extract_package(const std::string& package, const std::string& directory) {
  MappedFile file(package);
  try {
    extract_entries(file.bytes(), directory);
  } catch (const FormatError& e) {
    fail(package, e.what());
  }
  return 0;
}

std::vector<std::string> launch_problems(std::string_view package, PackageSummary* summary) {
  LaunchCheck check;
  std::vector<std::string> problems;
  *summary = verify_package(package, [&](const EntryInfo& entry) {
    std::string problem = check.check(entry);
    if (!problem.empty()) problems.push_back("entry " + problem);
  });
  for (const std::string& problem : check.finish()) problems.push_back(problem);
  if (summary->first_frame_without_checksum != 0)
    problems.push_back("frame " + std::to_string(summary->first_frame_without_checksum) + " of " +
                       std::to_string(summary->frames) + " has no content checksum: its content cannot be verified");
  LaunchSetting setting = launch_setting_of(package);
  if (!setting.problem.empty()) problems.push_back(setting.problem);
  if (setting.mode == "cached") {
    if (setting.exec_name != summary->first_name)
      problems.push_back("the launcher would run '" + setting.exec_name + "', which is not the first entry");
    if (setting.payload_hash != payload_hash_of(package))
      problems.push_back("the launcher's record of the payload's hash does not match the payload");
  }
  return problems;
}

int verify_package_file(const std::string& package) {
  MappedFile file(package);
  PackageSummary summary;
  std::vector<std::string> problems;
  LaunchSetting setting;
  try {
    problems = launch_problems(file.bytes(), &summary);
    setting = launch_setting_of(file.bytes());
  } catch (const FormatError& e) {
    fail(package, e.what());
  }
  if (!problems.empty()) {
    for (const std::string& problem : problems)
      fprintf(stderr, "vorlix-pack: verify: %s: %s\n", display_text(package).c_str(), display_text(problem).c_str());
    return 1;
  }
  printf("ok: %llu %s, %llu bytes\n%s\n", static_cast<unsigned long long>(summary.entries),
         summary.entries == 1 ? "entry" : "entries", static_cast<unsigned long long>(summary.content_bytes),
         display_text(describe(setting)).c_str());
  return 0;
}

}  // namespace vorlix::pack
