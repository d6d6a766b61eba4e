#include "format/package_format.h"

#include <gtest/gtest.h>

namespace {

TEST(PackageFormatTest, LittleEndianRoundTrip) {
  unsigned char bytes[8];
  write_le64(bytes, 0x0102030405060708ull);
  EXPECT_EQ(bytes[0], 0x08);
  EXPECT_EQ(bytes[7], 0x01);
  EXPECT_EQ(read_le64(bytes), 0x0102030405060708ull);
}

TEST(PackageFormatTest, PayloadOffsetAcceptsOnlyPayloadsInsideTheFile) {
  struct Case {
    uint64_t file_size;
    uint64_t length;
    bool valid;
    uint64_t offset;
  };
  const Case cases[] = {
      {100, 3, true, 89},         {100, 92, true, 0},  {100, 93, false, 0}, {100, 2, false, 0},
      {100, 0, false, 0},         {11, 3, true, 0},    {10, 2, false, 0},   {10, 3, false, 0},
      {100, ~0ull, false, 0},     {100, ~0ull - 7, false, 0},               {0, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.file_size) + " / " + std::to_string(c.length));
    uint64_t offset = 12345;
    EXPECT_EQ(payload_offset(c.file_size, c.length, &offset), c.valid);
    if (c.valid) {
      EXPECT_EQ(offset, c.offset);
    }
  }
}

}  // namespace
