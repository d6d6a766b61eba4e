// The path specs that vorlix-pack stores for the launcher: checked strictly
// before anything is written, so that every stored spec expands at run time.
#ifndef VORLIX_PACK_TARGET_DIR_H_
#define VORLIX_PACK_TARGET_DIR_H_

#include <string>
#include <string_view>

namespace vorlix::pack {

// What is wrong with |spec| as the target directory of a package in
// temporary (|cached| false) or cached mode, or "" when nothing is: the rule
// of check_target_spec, which the launcher and verify apply to the stored
// spec, worded for --target-dir; and it must fit the launcher's
// configuration block.
std::string target_spec_problem(std::string_view spec, bool cached);

// The cached mode's default: {CACHE_DIR}/vorlix/<name>-<hash>, with braces
// in |name| replaced so that it stays literal.
std::string default_cache_spec(std::string name, std::string_view hash);

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_TARGET_DIR_H_
