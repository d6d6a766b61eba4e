// Fuzz target over the launcher's own payload path: the trailer and header
// checks, the stream reader and the extraction into a scratch directory.
// The launcher ends the process on every failure; linked with
// --wrap=exit,--wrap=fopen,--wrap=fclose, this harness turns those ends into
// a return (and closes the file that was open), leaving the launcher's code
// as it is.
#include <setjmp.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "launcher/remove_tree.h"
#include "state/launch_state.h"
#include "payload/extract.h"
#include "payload/payload_reader.h"
#include "payload/self_location.h"
#include "sandbox.h"

namespace {

jmp_buf escape;
bool armed;
FILE* open_file;
std::string scratch;

void release_after_input() {
  if (open_file != nullptr) fclose(open_file);
  open_file = nullptr;
  if (payload_reader.context != nullptr) payload_reader_close();
  payload_reader = PayloadReader{};
  forget_directories();
  exec_path[0] = '\0';
  extraction_started = 0;
  target_directory_made = 0;
  remove_directory_tree(target_directory, false);
}

}  // namespace

extern "C" {

[[noreturn]] void __real_exit(int status);
FILE* __real_fopen(const char* path, const char* mode);
int __real_fclose(FILE* file);

[[noreturn]] void __wrap_exit(int status) {
  if (armed) longjmp(escape, 1);
  __real_exit(status);
}

FILE* __wrap_fopen(const char* path, const char* mode) {
  FILE* file = __real_fopen(path, mode);
  if (armed) open_file = file;
  return file;
}

int __wrap_fclose(FILE* file) {
  if (file == open_file) open_file = nullptr;
  return __real_fclose(file);
}

int LLVMFuzzerInitialize(int*, char***) {
  scratch = vorlix::fuzz::enter_fuzz_sandbox();
  snprintf(target_directory, sizeof target_directory, "%s/target", scratch.c_str());
  return 0;
}

int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  own_file = MappedFile{};
  own_file.base = data;
  own_file.length = static_cast<int64_t>(size);
  armed = true;
  if (setjmp(escape) == 0) {
    read_payload_trailer();
    CompressedStream stream = check_payload_header(payload_start, payload_length);
    payload_reader_open(stream.data, stream.size);
    extraction_started = 1;
    extract_archive();
  }
  armed = false;
  release_after_input();
  return 0;
}

}  // extern "C"
