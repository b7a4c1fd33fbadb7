// UTF-16 to UTF-8 on long text of nearly all ASCII, which the conversion
// narrows sixteen units at a time once a block of it has shown few other
// characters: an other character of each length, or an invalid piece, at
// every offset of a sixteen-unit chunk, and stretches of mixed text that
// switch the loops over and back, against the fuzz targets' literal model
// at destination sizes from whole to a third.
#include <gtest/gtest.h>

#include <vector>

#include "../../fuzz/unicode_reference.h"

namespace {

void expectModel(const std::vector<uint16_t> &in, int mode) {
  ref::Walk w = ref::utf16(in.data(), in.size(), mode);
  std::vector<uint8_t> whole;
  for (uint32_t cp : w.cps)
    ref::putUtf8(whole, cp);
  const auto *units = reinterpret_cast<const PSP_WCHAR *>(in.data());
  const uint64_t all = whole.size() + 1;
  for (uint64_t size : {all, all - 1, all - 2, all * 2 / 3, all / 2, all / 3, uint64_t{100}}) {
    std::vector<uint8_t> got(size, 0xEE);
    uint64_t n =
        psp_wchar_to_utf8_len(reinterpret_cast<char *>(got.data()), size, units, in.size(), mode);
    if (w.status != PSP_OKAY) {
      ASSERT_EQ(n, ~uint64_t{0}) << mode;
      return;
    }
    auto want = ref::boundedStore<uint8_t>(w.cps, size, ref::putUtf8);
    ASSERT_EQ(n, want.size()) << mode << " " << size;
    got.resize(n);
    ASSERT_EQ(got, want) << mode << " " << size;
  }
}

std::vector<uint16_t> ascii(size_t n, size_t from) {
  std::vector<uint16_t> v;
  for (size_t i = 0; i < n; ++i)
    v.push_back(static_cast<uint16_t>("the quick brown fox jumps. "[(from + i) % 27]));
  return v;
}

TEST(UnicodeWideAscii, OtherUnitsAtEveryChunkOffsetMatchTheModel) {
  // Two-byte, three-byte, a pair, a lone low and a lone high half, a high
  // half before ASCII, and U+FFFF.
  const std::vector<std::vector<uint16_t>> others = {
      {0xE9}, {0x65E5}, {0xD83D, 0xDE00}, {0xDC00}, {0xD800}, {0xD800, 0x41}, {0xFFFF}};
  for (const auto &other : others) {
    for (size_t offset = 0; offset < 18; ++offset) {
      // The first stretch of a long conversion holds a third of it; the
      // pieces sit where its second block goes through the wide loop.
      std::vector<uint16_t> in = ascii(300 + offset, 0);
      for (size_t more : {61, 2000}) {
        in.insert(in.end(), other.begin(), other.end());
        std::vector<uint16_t> run = ascii(more, offset);
        in.insert(in.end(), run.begin(), run.end());
      }
      for (int mode : {PSP_CONV_REPLACE, PSP_CONV_STRICT})
        expectModel(in, mode);
    }
  }
}

TEST(UnicodeWideAscii, MixedStretchesSwitchTheLoopsWithoutChangingTheOutput) {
  const uint16_t mixed[] = {0x41F, 0x440, 0x20, 0x65E5, 0x672C, 0xD83D, 0xDE00, 0xE9, 0x2C};
  for (size_t length : {30, 300, 1500}) {
    std::vector<uint16_t> in;
    for (int round = 0; round < 3; ++round) {
      std::vector<uint16_t> run = ascii(600 + 37 * round, length);
      in.insert(in.end(), run.begin(), run.end());
      for (size_t i = 0; i < length; ++i)
        in.push_back(mixed[(i + round) % 9]);
    }
    in.push_back(0xE9);
    for (int mode : {PSP_CONV_REPLACE, PSP_CONV_STRICT})
      expectModel(in, mode);
  }
}

} // namespace
