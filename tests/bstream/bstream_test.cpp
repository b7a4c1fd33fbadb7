// Buffered binary streams: exact bytes of every value under both byte orders,
// random round trips through callbacks that deliver any number of bytes down
// to one, the growth and write sizes, failing callbacks, strings, direct
// sends, alignment, and calls before psp_init or with NULL handles.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "psp.h"

namespace {

using V = std::vector<uint8_t>;

struct Sink {
  V bytes;
  std::vector<uint32_t> calls;       // length of each successful write
  std::vector<const void *> sources; // what each write was handed
  int okLeft = -1;                   // writes that succeed before the rest fail; -1: all do
};

PSP_STATUS sinkWrite(void *ctx, const uint8_t *p, uint32_t n) {
  auto *s = static_cast<Sink *>(ctx);
  if (s->okLeft == 0)
    return -777;
  s->okLeft -= s->okLeft > 0;
  s->calls.push_back(n);
  s->sources.push_back(p);
  s->bytes.insert(s->bytes.end(), p, p + n);
  return PSP_OKAY;
}

struct Source {
  V bytes;
  size_t pos = 0;
  uint32_t chunk = 4096;    // most bytes one call delivers
  size_t failAt = SIZE_MAX; // reading at or past this offset fails
};

PSP_STATUS sourceRead(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled, uint32_t zero) {
  auto *s = static_cast<Source *>(ctx);
  EXPECT_EQ(capacity, 4096u);
  EXPECT_EQ(zero, 0u);
  if (s->pos >= s->failAt)
    return -888;
  if (s->pos == s->bytes.size())
    return PSP_ERR_ENDOFDATA;
  size_t n = std::min<size_t>({capacity, s->chunk, s->bytes.size() - s->pos, s->failAt - s->pos});
  std::memcpy(buf, s->bytes.data() + s->pos, n);
  s->pos += n;
  *filled = static_cast<uint32_t>(n);
  return PSP_OKAY;
}

struct Out {
  Sink sink;
  PSP_OUTPUT_BUFF b = nullptr;
  explicit Out(uint16_t swap) { EXPECT_EQ(psp_outputBuffCreate(sinkWrite, &sink, swap, &b), 0); }
  ~Out() { psp_outputBuffDestroy(b); }
};

struct In {
  Source src;
  PSP_INPUT_BUFF b = nullptr;
  In(V bytes, uint16_t swap, uint32_t chunk = 4096) : src{std::move(bytes), 0, chunk} {
    EXPECT_EQ(psp_inputBuffCreate(sourceRead, &src, swap, &b), 0);
  }
  ~In() { psp_inputBuffDestroy(b); }
};

class Bstream : public ::testing::Test {
protected:
  void SetUp() override { ASSERT_EQ(psp_init(), PSP_OKAY); }
  void TearDown() override { psp_term(); }
};

TEST_F(Bstream, ExactBytesUnderBothOrders) {
  using Put = std::function<PSP_STATUS(PSP_OUTPUT_BUFF)>;
  const struct {
    Put put;
    V host, swapped;
  } cases[] = {
      {[](auto b) { return psp_outputBuffPutChar(b, 0xAB); }, {0xAB}, {0xAB}},
      {[](auto b) { return psp_outputBuffPutInt16(b, 0x0102); }, {2, 1}, {1, 2}},
      {[](auto b) { return psp_outputBuffPutInt32(b, 0x01020304); }, {4, 3, 2, 1}, {1, 2, 3, 4}},
      {[](auto b) { return psp_outputBuffPutInt64(b, 0x0102030405060708); },
       {8, 7, 6, 5, 4, 3, 2, 1},
       {1, 2, 3, 4, 5, 6, 7, 8}},
      {[](auto b) { return psp_outputBuffPutFloat32(b, 1.0f); },
       {0, 0, 0x80, 0x3F},
       {0x3F, 0x80, 0, 0}},
      {[](auto b) { return psp_outputBuffPutFloat64(b, -2.0); },
       {0, 0, 0, 0, 0, 0, 0, 0xC0},
       {0xC0, 0, 0, 0, 0, 0, 0, 0}},
      {[](auto b) { return psp_outputBuffPutString(b, "ab"); }, {'a', 'b'}, {'a', 'b'}},
      {[](auto b) { return psp_outputBuffPutString(b, ""); }, {}, {}},
      {[](auto b) { return psp_outputBuffPutStringWithLength(b, nullptr); },
       {0xFF, 0xFF, 0xFF, 0xFF},
       {0xFF, 0xFF, 0xFF, 0xFF}},
      {[](auto b) { return psp_outputBuffPutStringWithLength(b, ""); }, {0, 0, 0, 0}, {0, 0, 0, 0}},
      {[](auto b) { return psp_outputBuffPutStringWithLength(b, "hi"); },
       {2, 0, 0, 0, 'h', 'i'},
       {0, 0, 0, 2, 'h', 'i'}},
      {[](auto b) { return psp_outputBuffPutBytes(b, "\x01\x02\x03", 3); }, {1, 2, 3}, {1, 2, 3}},
  };
  for (const auto &c : cases)
    for (uint16_t swap : {0, 1}) {
      Out o(swap);
      EXPECT_EQ(c.put(o.b), PSP_OKAY);
      EXPECT_TRUE(o.sink.calls.empty()); // buffered until flushed
      EXPECT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY);
      EXPECT_EQ(o.sink.bytes, swap ? c.swapped : c.host) << &c - cases << " swap " << swap;
      EXPECT_EQ(o.sink.calls.size(), o.sink.bytes.empty() ? 0u : 1u);
    }
}

// One value of a random sequence: its kind, its number, its text.
struct Item {
  int kind;
  uint64_t number;
  std::string text;
};

std::vector<Item> randomItems(std::mt19937_64 &rng) {
  std::vector<Item> items;
  for (int i = 0; i < 3000; ++i) {
    Item it{static_cast<int>(rng() % 10), rng(), {}};
    if (it.kind >= 6 && it.kind <= 8) // strings and byte runs, now and then long ones
      it.text.assign(rng() % 8 == 0 ? rng() % 40000 : rng() % 40, static_cast<char>('a' + i % 26));
    items.push_back(std::move(it));
  }
  return items;
}

PSP_STATUS putItem(PSP_OUTPUT_BUFF b, const Item &it) {
  switch (it.kind) {
  case 0:
    return psp_outputBuffPutChar(b, static_cast<uint8_t>(it.number));
  case 1:
    return psp_outputBuffPutInt16(b, static_cast<uint16_t>(it.number));
  case 2:
    return psp_outputBuffPutInt32(b, static_cast<uint32_t>(it.number));
  case 3:
    return psp_outputBuffPutInt64(b, it.number);
  case 4:
    return psp_outputBuffPutFloat64(b, std::bit_cast<double>(it.number));
  case 5:
    return psp_outputBuffPutStringWithLength(b, nullptr);
  case 6:
  case 7:
    return psp_outputBuffPutStringWithLength(b, it.text.c_str());
  case 8:
    return psp_outputBuffPutBytes(b, it.text.data(), it.text.size());
  default:
    return psp_outputBuffPutInt64(b, it.number); // read back with no destination
  }
}

void checkItem(PSP_INPUT_BUFF b, const Item &it) {
  uint64_t got = 0;
  std::string text(it.text.size() + 1, '?');
  char *s = nullptr;
  switch (it.kind) {
  case 0:
    ASSERT_EQ(psp_inputBuffGetChar(b, &got), 0);
    break;
  case 1:
    ASSERT_EQ(psp_inputBuffGetInt16(b, &got), 0);
    break;
  case 2:
    ASSERT_EQ(psp_inputBuffGetInt32(b, &got), 0);
    break;
  case 3:
    ASSERT_EQ(psp_inputBuffGetInt64(b, &got), 0);
    break;
  case 4:
    ASSERT_EQ(psp_inputBuffGetFloat64(b, &got), 0);
    break;
  case 5:
    s = text.data();
    ASSERT_EQ(psp_inputBuffGetString(b, &s, PSP_TAG_THREAD), 0);
    ASSERT_EQ(s, nullptr);
    return;
  case 6:
    ASSERT_EQ(psp_inputBuffGetString(b, &s, PSP_TAG_THREAD), 0);
    ASSERT_EQ(std::string(s), it.text);
    psp_freeMem(s, PSP_TAG_THREAD, "t", 1);
    return;
  case 7:
    ASSERT_EQ(psp_inputBuffGetStringWithLength(b, text.data(), text.size()), 0);
    ASSERT_EQ(std::string(text.c_str()), it.text);
    return;
  case 8:
    ASSERT_EQ(psp_inputBuffGetBytes(b, text.data(), it.text.size()), 0);
    ASSERT_EQ(text.substr(0, it.text.size()), it.text);
    return;
  default:
    ASSERT_EQ(psp_inputBuffGetInt64(b, nullptr), 0);
    return;
  }
  uint64_t mask = it.kind == 0 ? 0xFF : it.kind == 1 ? 0xFFFF : it.kind == 2 ? 0xFFFFFFFF : ~0ull;
  ASSERT_EQ(got, it.number & mask);
}

TEST_F(Bstream, RandomRoundTripsUnderBothOrdersAndAnyDelivery) {
  std::mt19937_64 rng(42);
  for (uint16_t swap : {0, 1}) {
    auto items = randomItems(rng);
    Out o(swap);
    for (const auto &it : items)
      ASSERT_EQ(putItem(o.b, it), PSP_OKAY);
    ASSERT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY);
    for (uint32_t chunk : {1u, 3u, 4096u}) {
      In in(o.sink.bytes, swap, chunk);
      for (const auto &it : items)
        ASSERT_NO_FATAL_FAILURE(checkItem(in.b, it)) << "swap " << swap << " chunk " << chunk;
      EXPECT_EQ(psp_inputBuffGetChar(in.b, nullptr), PSP_ERR_ENDOFDATA);
    }
  }
}

TEST_F(Bstream, GrowsTo32KThenWritesWholeBuffers) {
  Out o(0);
  for (int i = 0; i < 40000; ++i)
    ASSERT_EQ(psp_outputBuffPutChar(o.b, static_cast<uint8_t>(i)), PSP_OKAY);
  EXPECT_EQ(o.sink.calls, std::vector<uint32_t>({31744}));
  EXPECT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY); // nothing left: no call
  V run(100000);
  for (size_t i = 0; i < run.size(); ++i)
    run[i] = static_cast<uint8_t>(i * 7);
  EXPECT_EQ(psp_outputBuffPutBytes(o.b, run.data(), run.size()), PSP_OKAY);
  EXPECT_EQ(o.sink.calls, std::vector<uint32_t>({31744, 8256, 32768, 32768, 32768}));
  EXPECT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY);
  EXPECT_EQ(o.sink.calls.back(), 1696u);
  ASSERT_EQ(o.sink.bytes.size(), 140000u);
  EXPECT_EQ(o.sink.bytes[39999], static_cast<uint8_t>(39999));
  EXPECT_TRUE(std::equal(run.begin(), run.end(), o.sink.bytes.begin() + 40000));
}

TEST_F(Bstream, FailedWritesKeepWhatWasBufferedForALaterFlush) {
  Out o(1);
  o.sink.okLeft = 1;
  std::vector<uint32_t> accepted;
  for (uint32_t i = 0; i < 30000; ++i)
    if (psp_outputBuffPutInt32(o.b, i) == PSP_OKAY)
      accepted.push_back(i);
    else
      ASSERT_EQ(psp_outputBuffFlush(o.b), -777); // every write fails, nothing is dropped
  EXPECT_LT(accepted.size(), 30000u);
  o.sink.okLeft = -1;
  ASSERT_EQ(psp_outputBuffFlush(o.b), PSP_OKAY);
  In in(o.sink.bytes, 1, 5);
  for (uint32_t want : accepted) {
    uint32_t got;
    ASSERT_EQ(psp_inputBuffGetInt32(in.b, &got), PSP_OKAY);
    ASSERT_EQ(got, want);
  }
  EXPECT_EQ(psp_inputBuffGetInt32(in.b, nullptr), PSP_ERR_ENDOFDATA);
}

TEST_F(Bstream, FailedReadsEndTheGetAndNothingRollsBack) {
  In in({1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 4, 0}, 0, 1);
  in.src.failAt = 6;
  uint32_t v = 0;
  EXPECT_EQ(psp_inputBuffGetInt32(in.b, &v), PSP_OKAY);
  EXPECT_EQ(v, 1u);
  EXPECT_EQ(psp_inputBuffGetInt32(in.b, &v), -888);
  EXPECT_EQ(v, 1u); // no half value
  in.src.failAt = SIZE_MAX;
  uint16_t w = 0;
  EXPECT_EQ(psp_inputBuffGetInt16(in.b, &w), PSP_OKAY); // the two bytes taken stay taken
  EXPECT_EQ(w, 0u);
  EXPECT_EQ(psp_inputBuffReset(in.b), PSP_OKAY);
  in.src.pos = 10;
  EXPECT_EQ(psp_inputBuffGetInt16(in.b, &w), PSP_OKAY);
  EXPECT_EQ(w, 4u);
}

TEST_F(Bstream, StringsNullEmptyTruncatedAndSkipped) {
  Out o(0);
  for (const char *s : {"0123456789", (const char *)nullptr, "", "tail", "skipped", "abc", "x"})
    psp_outputBuffPutStringWithLength(o.b, s);
  psp_outputBuffPutChar(o.b, '!');
  psp_outputBuffFlush(o.b);
  In in(o.sink.bytes, 0, 3);
  char buf[5] = "????";
  EXPECT_EQ(psp_inputBuffGetStringWithLength(in.b, buf, sizeof buf), PSP_ERR_TRUNCATED);
  EXPECT_STREQ(buf, "0123");
  char *s = buf;
  EXPECT_EQ(psp_inputBuffGetString(in.b, &s, PSP_TAG_DEFAULT), PSP_OKAY);
  EXPECT_EQ(s, nullptr);
  EXPECT_EQ(psp_inputBuffGetString(in.b, &s, PSP_TAG_DEFAULT), PSP_OKAY);
  ASSERT_NE(s, nullptr);
  EXPECT_STREQ(s, "");
  psp_freeMem(s, PSP_TAG_DEFAULT, "t", 1);
  EXPECT_EQ(psp_inputBuffGetStringWithLength(in.b, buf, sizeof buf), PSP_OKAY);
  EXPECT_STREQ(buf, "tail");
  EXPECT_EQ(psp_inputBuffGetString(in.b, nullptr, PSP_TAG_DEFAULT), PSP_OKAY);
  EXPECT_EQ(psp_inputBuffGetStringWithLength(in.b, buf, 0), PSP_ERR_TRUNCATED);
  EXPECT_STREQ(buf, "tail");
  EXPECT_EQ(psp_inputBuffGetStringWithLength(in.b, nullptr, 100), PSP_OKAY);
  uint8_t bang = 0;
  EXPECT_EQ(psp_inputBuffGetChar(in.b, &bang), PSP_OKAY);
  EXPECT_EQ(bang, '!');
  In huge({0xFD, 0xFF, 0xFF, 0xFF}, 0);
  EXPECT_EQ(psp_inputBuffGetString(huge.b, &s, PSP_TAG_DEFAULT), PSP_ERR_NOMEMORY);
}

TEST_F(Bstream, SendDirectFlushesFirstAndHandsOverTheCallersBytes) {
  Out o(0);
  V block(100000, 9);
  psp_outputBuffPutString(o.b, "abc");
  EXPECT_EQ(psp_outputBuffSendDirect(o.b, block.data(), 0), PSP_OKAY);
  EXPECT_EQ(psp_outputBuffPutBytes(o.b, nullptr, 0), PSP_OKAY);
  EXPECT_TRUE(o.sink.calls.empty());
  EXPECT_EQ(psp_outputBuffSendDirect(o.b, block.data(), block.size()), PSP_OKAY);
  EXPECT_EQ(o.sink.calls, std::vector<uint32_t>({3, 100000}));
  EXPECT_EQ(o.sink.sources[1], block.data());
  psp_outputBuffPutString(o.b, "d");
  o.sink.okLeft = 0;
  EXPECT_EQ(psp_outputBuffSendDirect(o.b, block.data(), 1), -777);
  EXPECT_EQ(o.sink.calls.size(), 2u);
}

TEST(BstreamPlain, AlignmentTable) {
  const uint32_t fives[] = {5, 6, 6, 8, 8, 8, 8, 5};
  for (int32_t kind = 0; kind < 8; ++kind)
    EXPECT_EQ(psp_align(5, kind), fives[kind]) << kind;
  EXPECT_EQ(psp_align(16, 5), 16u);
  EXPECT_EQ(psp_align(17, 6), 24u);
  EXPECT_EQ(psp_align(17, 8), 17u);
  EXPECT_EQ(psp_align(17, -1), 17u);
  for (auto [in, out] : {std::pair<uint64_t, uint64_t>{0, 0}, {1, 8}, {9, 16}, {16, 16}})
    EXPECT_EQ(psp_alignBufferSize(in), out);
}

TEST(BstreamPlain, BeforeInitAndNullHandles) {
  auto in = reinterpret_cast<PSP_INPUT_BUFF>(8);
  auto out = reinterpret_cast<PSP_OUTPUT_BUFF>(8);
  EXPECT_EQ(psp_inputBuffCreate(sourceRead, nullptr, 0, &in), PSP_ERR_NOMEMORY);
  EXPECT_EQ(psp_outputBuffCreate(sinkWrite, nullptr, 0, &out), PSP_ERR_NOMEMORY);
  EXPECT_EQ(in, reinterpret_cast<PSP_INPUT_BUFF>(8));
  EXPECT_EQ(out, reinterpret_cast<PSP_OUTPUT_BUFF>(8));
  EXPECT_EQ(psp_inputBuffGetInt32(nullptr, nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_inputBuffGetString(nullptr, nullptr, PSP_TAG_DEFAULT), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_outputBuffPutInt64(nullptr, 1), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_outputBuffFlush(nullptr), PSP_ERR_INVALIDPARAM);
  EXPECT_EQ(psp_outputBuffSendDirect(nullptr, "x", 1), PSP_ERR_INVALIDPARAM);
  psp_inputBuffDestroy(nullptr);
  psp_outputBuffDestroy(nullptr);
}

} // namespace
