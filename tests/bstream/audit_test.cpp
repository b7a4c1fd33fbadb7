// Buffered strings (empty, truncated) and a direct send of nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "psp.h"

namespace {

struct Bytes {
  std::vector<uint8_t> data;
  size_t pos = 0;
  int writes = 0;
};

PSP_STATUS writeAll(void *ctx, const uint8_t *p, uint32_t n) {
  auto *b = static_cast<Bytes *>(ctx);
  ++b->writes;
  b->data.insert(b->data.end(), p, p + n);
  return PSP_OKAY;
}

PSP_STATUS readSome(void *ctx, uint8_t *buf, uint32_t cap, uint32_t *filled, uint32_t) {
  auto *b = static_cast<Bytes *>(ctx);
  if (b->pos == b->data.size())
    return -5;
  size_t n = std::min<size_t>(cap, b->data.size() - b->pos);
  std::memcpy(buf, b->data.data() + b->pos, n);
  b->pos += n;
  *filled = static_cast<uint32_t>(n);
  return PSP_OKAY;
}

TEST(BstreamAudit, StringsAndDirectSends) {
  ASSERT_EQ(psp_init(), PSP_OKAY);
  Bytes pipe;
  PSP_OUTPUT_BUFF out = nullptr;
  PSP_INPUT_BUFF in = nullptr;
  ASSERT_EQ(psp_outputBuffCreate(writeAll, &pipe, 1, &out), PSP_OKAY);
  ASSERT_EQ(psp_inputBuffCreate(readSome, &pipe, 1, &in), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffPutStringWithLength(out, ""), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffPutStringWithLength(out, "abc"), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffSendDirect(out, "x", 0), PSP_OKAY); // nothing, not even a flush
  EXPECT_EQ(pipe.writes, 0);
  EXPECT_EQ(psp_outputBuffSendDirect(out, "xy", 2), PSP_OKAY);
  EXPECT_EQ(pipe.writes, 2);
  EXPECT_EQ(pipe.data, std::vector<uint8_t>({0, 0, 0, 0, 0, 0, 0, 3, 'a', 'b', 'c', 'x', 'y'}));
  char *s = nullptr;
  EXPECT_EQ(psp_inputBuffGetString(in, &s, PSP_TAG_DEFAULT), PSP_OKAY);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(std::string(s), "");
  psp_freeMem(s, PSP_TAG_DEFAULT, "test", __LINE__);
  char small[2] = {'q', 'q'};
  EXPECT_EQ(psp_inputBuffGetStringWithLength(in, small, 2), PSP_ERR_TRUNCATED);
  EXPECT_EQ(std::string(small), "a");
  uint16_t v = 0;
  EXPECT_EQ(psp_inputBuffGetInt16(in, &v), PSP_OKAY);
  EXPECT_EQ(v, ('x' << 8) | 'y');
  EXPECT_EQ(psp_inputBuffGetChar(in, nullptr), -5);
  EXPECT_EQ(psp_inputBuffReset(in), PSP_OKAY);
  psp_inputBuffDestroy(in);
  psp_outputBuffDestroy(out);
  psp_term();
}

} // namespace
