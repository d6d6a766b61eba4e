#include "payload/payload_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "format/package_writer.h"

namespace vorlix {
namespace {

std::string sample(size_t size) {
  std::mt19937 generator(1);
  std::string data(size, '\0');
  for (char& c : data) c = static_cast<char>('a' + generator() % 16);
  return data;
}

// The reader is process-wide; each test opens it over its own stream, which
// must outlive the reads.
void open_over(const std::string& compressed) {
  payload_reader_open(reinterpret_cast<const unsigned char*>(compressed.data()), compressed.size());
}

std::string read(size_t n) {
  std::string out(n, '\0');
  payload_read(out.data(), n);
  return out;
}

TEST(PayloadReaderTest, ReadOfZeroCallsNoDecoder) {
  std::string compressed = compress("abc");
  open_over(compressed);
  payload_read(nullptr, 0);
  EXPECT_EQ(payload_reader.input.pos, 0u);
  EXPECT_EQ(payload_reader.window.size, 0u);
  EXPECT_EQ(read(3), "abc");
  payload_reader_close();
}

TEST(PayloadReaderTest, ReadStraddlingAWindowBoundaryIsContiguous) {
  std::string data = sample(3 * PAYLOAD_WINDOW_SIZE + 5);
  std::string compressed = compress(data);
  open_over(compressed);
  size_t first = PAYLOAD_WINDOW_SIZE - 100;
  EXPECT_EQ(read(first), data.substr(0, first));
  EXPECT_EQ(payload_reader.window.size - payload_reader.window.pos, 100u);
  EXPECT_EQ(read(32768), data.substr(first, 32768));
  EXPECT_EQ(payload_reader.window.pos, 32768u - 100u);
  EXPECT_EQ(read(data.size() - first - 32768), data.substr(first + 32768));
  payload_reader_close();
}

TEST(PayloadReaderTest, SingleByteReadsAcrossFrames) {
  std::string data = sample(300000);
  // Frames of different levels, one of them empty, decode as one stream.
  std::string compressed = compress(data.substr(0, 1000), {.level = 1}) + compress("", {.level = 3}) +
                           compress(data.substr(1000, 200000), {.level = 19}) +
                           compress(data.substr(201000), {.level = 5, .checksum = false});
  open_over(compressed);
  std::string out;
  for (size_t i = 0; i < data.size(); ++i) out += read(1);
  EXPECT_EQ(out, data);
  payload_reader_close();
}

// A stream whose end falls exactly on a window's end: every byte arrives (the
// last window is full, so the decoder is asked once more and has nothing),
// and one byte more is the decode error. Read once in big pieces and once a
// byte at a time.
TEST(PayloadReaderTest, StreamEndingAtAWindowBoundary) {
  // The reader (and its thread) is set up before the death test: the child
  // must run the test afresh rather than fork without the thread.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  std::string data = sample(3 * PAYLOAD_WINDOW_SIZE);
  std::string compressed = compress(data);
  for (auto [piece, thread] : {std::pair{size_t{65536}, true}, std::pair{size_t{1}, true},
                               std::pair{size_t{65536}, false}, std::pair{size_t{1}, false}}) {
    SCOPED_TRACE(std::to_string(piece) + (thread ? " with the decoder thread" : " on demand"));
    payload_decoder_thread_allowed = thread;
    open_over(compressed);
    std::string out;
    while (out.size() < data.size()) out += read(std::min(piece, data.size() - out.size()));
    EXPECT_TRUE(out == data);
    EXPECT_EXIT(read(1), ::testing::ExitedWithCode(2), "");
    payload_reader_close();
  }
  payload_decoder_thread_allowed = true;
}

// Reading in place hands out the window's own bytes, never more than asked
// and never none, across windows.
TEST(PayloadReaderTest, ReadInPlaceDeliversTheSameBytes) {
  std::string data = sample(2 * PAYLOAD_WINDOW_SIZE + 777);
  std::string compressed = compress(data);
  open_over(compressed);
  std::string out;
  while (out.size() < data.size()) {
    size_t got = 0;
    const unsigned char* bytes = payload_read_in_place(std::min<size_t>(32768, data.size() - out.size()), &got);
    ASSERT_GT(got, 0u);
    ASSERT_LE(got, 32768u);
    out.append(reinterpret_cast<const char*>(bytes), got);
  }
  EXPECT_TRUE(out == data);
  payload_reader_close();
}

// Every way the data can be unusable ends the process with status 2 at the
// read that reaches it (the message itself is checked through the launcher).
TEST(PayloadReaderTest, UnusableDataEndsTheProcess) {
  std::string data = sample(400000);
  std::string good = compress(data);
  std::string corrupt = good;
  for (size_t i = 100; i < 200; ++i) corrupt[i] ^= 0x33;
  CompressionOptions wide;
  wide.window_log = 28;
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"empty stream", ""},
      {"corrupt", corrupt},
      {"cut short", good.substr(0, good.size() / 2)},
      {"window over 2^27", compress(data, wide)},
      {"not zstd", "plain text, not a frame"},
  };
  for (const auto& [name, compressed] : cases) {
    SCOPED_TRACE(name);
    EXPECT_EXIT(
        {
          open_over(compressed);
          read(data.size());
        },
        ::testing::ExitedWithCode(2), "");
  }
  // Asking for more than the stream holds fails the same way.
  EXPECT_EXIT(
      {
        open_over(good);
        read(data.size() + 1);
      },
      ::testing::ExitedWithCode(2), "");
}

}  // namespace
}  // namespace vorlix
