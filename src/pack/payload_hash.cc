#include "pack/payload_hash.h"

#include <xxhash.h>

#include <cstdio>
#include <new>

#include "format/package_format.h"
#include "format/package_reader.h"

namespace vorlix::pack {

struct PayloadHasher::State {
  XXH3_state_t* xxh = XXH3_createState();
  ~State() { XXH3_freeState(xxh); }
};

PayloadHasher::PayloadHasher() : state_(new State) {
  if (state_->xxh == nullptr || XXH3_128bits_reset(state_->xxh) != XXH_OK) throw std::bad_alloc();
}

PayloadHasher::~PayloadHasher() = default;

void PayloadHasher::update(const void* data, size_t size) { XXH3_128bits_update(state_->xxh, data, size); }

std::string PayloadHasher::hex() const {
  XXH128_canonical_t canonical;
  XXH128_canonicalFromHash(&canonical, XXH3_128bits_digest(state_->xxh));
  std::string text;
  char digits[3];
  for (unsigned char byte : canonical.digest) {
    snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

std::string payload_hash_of(std::string_view package) {
  std::string_view stream = compressed_stream_of(package);
  PayloadHasher hasher;
  hasher.update(stream.data() - PAYLOAD_HEADER_SIZE, stream.size() + PAYLOAD_HEADER_SIZE);
  return hasher.hex();
}

}  // namespace vorlix::pack
