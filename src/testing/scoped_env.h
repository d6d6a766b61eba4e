// Sets environment variables for the length of a scope and restores them.
#ifndef VORLIX_TESTING_SCOPED_ENV_H_
#define VORLIX_TESTING_SCOPED_ENV_H_

#include <stdlib.h>

#include <map>
#include <optional>
#include <string>

namespace vorlix::testing {

class ScopedEnv {
 public:
  using Values = std::map<std::string, std::optional<std::string>>;
  explicit ScopedEnv(const Values& values) {
    for (const auto& [name, value] : values) {
      const char* old = getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
      set(name, value);
    }
  }
  ~ScopedEnv() {
    for (const auto& [name, value] : saved_) set(name, value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

  static void set(const std::string& name, const std::optional<std::string>& value) {
    if (value)
      setenv(name.c_str(), value->c_str(), 1);
    else
      unsetenv(name.c_str());
  }

 private:
  Values saved_;
};

}  // namespace vorlix::testing

#endif  // VORLIX_TESTING_SCOPED_ENV_H_
