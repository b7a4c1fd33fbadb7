// Bounded conversions into every destination size, on text mixing every
// length of character with invalid pieces, against the literal model of the
// fuzz targets: a long conversion runs in stretches without room checks, and
// where a stretch ends must not change what is stored, skipped or refused.
// Odd sizes go through the NUL-terminated forms.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "../../fuzz/unicode_reference.h"

namespace {

const char *const kPieces8[] = {"a",
                                " ",
                                "\xC3\xA9",
                                "\xD0\x9F",
                                "\xE6\x97\xA5",
                                "\xF0\x9F\x98\x80",
                                "\x80",
                                "\xBF",
                                "\xE6\x97",
                                "\xF0\x9F\x98",
                                "\xF8",
                                "\xFF",
                                "\xC0\x80",
                                "\xED\xA0\x80",
                                "\xEF\xBF\xBE"};
const uint16_t kPieces16[] = {0x41, 0x20, 0xE9, 0x41F, 0x65E5, 0xD83D, 0xDE00, 0xFFFE, 0xDC00};

TEST(UnicodeBounds, EveryDestinationSizeMatchesTheModel) {
  std::mt19937 rng(5);
  for (int text = 0; text < 40; ++text) {
    std::string in8;
    std::vector<uint16_t> in16;
    size_t pieces = 40 + rng() % 120;
    for (size_t i = 0; i < pieces; ++i) {
      // Runs of one kind, as real text has, with a stray piece now and then.
      uint32_t kind = rng() % 100 < 70 ? (i / 8) % 6 : rng() % 15;
      in8 += kPieces8[kind];
      in16.push_back(kPieces16[kind % 9]);
    }
    std::u16string wide(in16.begin(), in16.end()); // no 0 unit: the string forms see it all
    for (int mode : {PSP_CONV_REPLACE, PSP_CONV_STRICT, 0}) {
      const auto *bytes = reinterpret_cast<const uint8_t *>(in8.data());
      ref::Walk w8 = ref::utf8(bytes, in8.size(), mode);
      ref::Walk w16 = ref::utf16(in16.data(), in16.size(), mode);
      std::vector<uint16_t> units;
      std::vector<uint8_t> out8;
      for (uint32_t cp : w8.cps)
        ref::putUtf16(units, cp);
      for (uint32_t cp : w16.cps)
        ref::putUtf8(out8, cp);
      for (uint64_t size = 1; size <= units.size() + 2; ++size) {
        std::vector<uint16_t> got(size, 0xEEEE);
        auto *dst = reinterpret_cast<PSP_WCHAR *>(got.data());
        uint64_t n = size % 2 ? psp_utf8_to_wchar(dst, in8.c_str(), size, mode)
                              : psp_utf8_to_wchar_len(dst, size, in8.data(), in8.size(), mode);
        if (w8.status != PSP_OKAY) {
          ASSERT_EQ(n, ~uint64_t{0});
          continue;
        }
        auto want = ref::boundedStore<uint16_t>(w8.cps, size, ref::putUtf16);
        ASSERT_EQ(n, want.size()) << text << " " << mode << " " << size;
        got.resize(n);
        ASSERT_EQ(got, want) << text << " " << mode << " " << size;
      }
      for (uint64_t size = 1; size <= out8.size() + 2; ++size) {
        std::vector<uint8_t> got(size, 0xEE);
        auto *dst = reinterpret_cast<char *>(got.data());
        uint64_t n = size % 2 ? psp_wchar_to_utf8(dst, wide.c_str(), size, mode)
                              : psp_wchar_to_utf8_len(dst, size, wide.data(), wide.size(), mode);
        if (w16.status != PSP_OKAY) {
          ASSERT_EQ(n, ~uint64_t{0});
          continue;
        }
        auto want = ref::boundedStore<uint8_t>(w16.cps, size, ref::putUtf8);
        ASSERT_EQ(n, want.size()) << text << " " << mode << " " << size;
        got.resize(n);
        ASSERT_EQ(got, want) << text << " " << mode << " " << size;
      }
    }
  }
}

} // namespace
