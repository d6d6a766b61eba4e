// The payload hash of cached packages: XXH3, 128 bits, in lower-case hex,
// over the payload (header and compressed stream, not the trailer).
#ifndef VORLIX_PACK_PAYLOAD_HASH_H_
#define VORLIX_PACK_PAYLOAD_HASH_H_

#include <memory>
#include <string>
#include <string_view>

namespace vorlix::pack {

class PayloadHasher {
 public:
  PayloadHasher();
  ~PayloadHasher();
  PayloadHasher(const PayloadHasher&) = delete;
  PayloadHasher& operator=(const PayloadHasher&) = delete;
  void update(const void* data, size_t size);
  std::string hex() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The hash of a whole package's payload; throws FormatError for a package
// without one.
std::string payload_hash_of(std::string_view package);

}  // namespace vorlix::pack

#endif  // VORLIX_PACK_PAYLOAD_HASH_H_
