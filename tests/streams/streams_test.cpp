// Text streams through psp.h only.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "psp.h"
#include "../scratch_dir.h"

namespace {

using namespace std::string_literals;

using Values = std::basic_string<int32_t>;

class Streams : public ScratchDir {
protected:
  // Every value psp_fgetc gives until end of file.
  Values readAll(const std::string &name, uint32_t encoding) const {
    PSP_STREAM s = psp_fopen(at(name).c_str(), "r", encoding);
    Values values;
    for (int32_t c; s != nullptr && (c = psp_fgetc(s)) != -1;)
      values.push_back(c);
    psp_fclose(s);
    return s != nullptr ? values : Values{-999};
  }
  std::string written(uint32_t encoding, const std::string &text, int32_t *result) {
    PSP_STREAM s = psp_fopen(at("w.txt").c_str(), "w", encoding);
    EXPECT_NE(s, nullptr);
    *result = psp_fputs(text.c_str(), s);
    psp_fclose(s);
    return get("w.txt");
  }
  // psp_fgets with each buffer size in turn; "NULL" where it gave nothing.
  static std::vector<std::string> fgetsAll(PSP_STREAM s, std::initializer_list<size_t> sizes) {
    std::vector<std::string> lines;
    std::string buf(70000, '\0');
    for (size_t size : sizes) {
      const char *got = psp_fgets(buf.data(), static_cast<int32_t>(size), s);
      lines.push_back(got == buf.data() ? got : got != nullptr ? "another buffer" : "NULL");
    }
    return lines;
  }
};
using Lines = std::vector<std::string>;

TEST_F(Streams, ReadingMarksAndUtf16) {
  struct Case {
    std::string bytes;
    uint32_t asked;
    Values expected;
  } cases[] = {
      {"\xEF\xBB\xBF\x41"s, 2, {'A'}},       // a UTF-8 mark wins over the caller
      {"AB"s, 2, {'A', 'B'}},                // no mark: bytes, whatever was asked
      {"\xFE\xFF\0\x41"s, 0, {'A'}},         // big-endian
      {"\xEF\xBB\x41"s, 2, {-17, -69, 'A'}}, // broken marks fall back to bytes
      {"\xFF\x41"s, 2, {}},                  // a broken mark; FF then reads as -1: the end
      {"\xFE\x41"s, 2, {-2, 'A'}},
      {""s, 2, {}},
      {"\xEF\xBB"s, 0, {-17, -69}}, // ends inside a mark: bytes
      {"\xEF"s, 1, {-17}},
      {"\377\376A\0\r\0\n\0"s, 0, {'A', '\n'}}, // little-endian
      {"\xFF\xFE\xE9\0"s, 2, {-61, 0xA9}},
      // A lone low surrogate reads as '.'; a pair as four bytes; big-endian too.
      {"\xFF\xFE\x00\xDC\x3D\xD8\x00\xDE"s, 2, {'.', -16, 0x9F, 0x98, 0x80}},
      {"\xFE\xFF\xD8\x3D\xDE\x00\x00\x0D\x00Z"s, 0, {-16, 0x9F, 0x98, 0x80, '\r', 'Z'}},
      {"\377\376A\0B"s, 2, {'A'}}, // an odd length: the lone last byte is dropped
  };
  for (const Case &c : cases) {
    put("m.txt", c.bytes);
    EXPECT_EQ(readAll("m.txt", c.asked), c.expected) << "bytes of length " << c.bytes.size();
  }
}

TEST_F(Streams, Utf16WritingRefusalsAndRoundTrip) {
  const std::string lf16 = lineEnds("\n") == "\n" ? "\n\0"s : "\r\0\n\0"s;
  // Refused bytes end psp_fputs with -1; what came before stays written.
  struct Case {
    uint32_t encoding;
    std::string text, bytes;
    int32_t result;
  };
  std::vector<Case> cases = {{2, "\xF0\x9F\x98\x80", "\xFF\xFE\x3D\xD8\x00\xDE"s, 4},
                             {2, "a\xC3\xA9\n", "\377\376a\0\351\0"s + lf16, 4},
                             {1, "a\nb\rc", lineEnds("a\nb") + "\rc", 5}, // a lone CR stays
                             {2, "ab\200cd", "\377\376a\0b\0"s, -1},
                             {2, "x\342A", "\377\376x\0"s, -1}};
  for (const char *lead : {"\xC0", "\xF5", "\xFF", "\xBF"}) // never a valid first byte
    cases.push_back({2, lead, "\xFF\xFE", -1});
  for (const Case &c : cases) {
    int32_t n = 0;
    EXPECT_EQ(written(c.encoding, c.text, &n), c.bytes) << c.text;
    EXPECT_EQ(n, c.result) << c.text;
  }
  // A character left half written makes psp_fsync fail; pending state survives refusals.
  PSP_STREAM s = psp_fopen(at("p.txt").c_str(), "w", 2);
  for (auto [c, result] : {std::pair{0xE2, 1}, {'A', 0}, {-1, -1}, {0x82, 1}, {0xAC, 1}, {-1, 0}})
    EXPECT_EQ(c == -1 ? psp_fsync(s) : psp_fputc(c, s), result) << c;
  psp_fclose(s);
  EXPECT_EQ(get("p.txt"), "\xFF\xFE\xAC\x20");

  // Text spanning many windows, one surrogate pair astride the first 64 KiB
  // boundary of the file (2 bytes of mark, 32766 units).
  std::string text(32766, 'q');
  text += "\xF0\x90\x8D\x88";
  for (int i = 0; text.size() < 200000; ++i)
    text += i % 7 == 0 ? "\xF0\x90\x8D\x88" : i % 5 == 0 ? "\xE2\x82\xAC\n" : "q\xC3\xA9";
  int32_t n = 0;
  written(2, text, &n);
  const Values back = readAll("w.txt", 0);
  EXPECT_EQ(std::string(back.begin(), back.end()), text);
}

TEST_F(Streams, WindowBoundariesAndLineEnds) {
  // A CR LF pair split by the 64 KiB boundary of a file's window still reads
  // as one LF, through psp_fgetc and through psp_fgets.
  constexpr size_t kWindow = 64 * 1024;
  const std::string xs(kWindow - 1, 'x'), ys(2000, 'y');
  put("big.txt", xs + "\r\n" + ys + "\rz\r");
  const Values v = readAll("big.txt", 1);
  EXPECT_EQ(std::string(v.begin(), v.end()), xs + "\n" + ys + "\rz\r");
  PSP_STREAM r = psp_fopen(at("big.txt").c_str(), "r", 0);
  EXPECT_EQ(fgetsAll(r, {kWindow + 10, kWindow + 10, 9}), Lines({xs + "\n", ys + "\rz\r", "NULL"}));
  psp_fclose(r);

  // Mode "a" writes from the start of an existing file without truncating it,
  // a UTF-16 mark first; "w" truncates, and writes no mark for UTF-8.
  for (auto [encoding, after] : {std::pair{0u, "Zbcdef"s}, {PSP_ENC_UTF16, "\xFF\xFEZ\0ef"s}}) {
    put("a.txt", "abcdef");
    PSP_STREAM s = psp_fopen(at("a.txt").c_str(), "a", encoding);
    EXPECT_EQ(psp_fputs("Z", s), 1);
    EXPECT_EQ(psp_fsync(s), 0);
    psp_fclose(s);
    EXPECT_EQ(get("a.txt"), after);
  }
  psp_fclose(psp_fopen(at("a.txt").c_str(), "w", 1));
  EXPECT_EQ(get("a.txt"), "");
}

TEST_F(Streams, PushBackAndFgets) {
  put("p.txt", "ab\ncd");
  PSP_STREAM s = psp_fopen(at("p.txt").c_str(), "r", 0);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(psp_fungetc(1000 + i, s), 1000 + i);
  EXPECT_EQ(psp_fungetc(7, s), -1);
  for (int i = 19; i >= 0; --i)
    EXPECT_EQ(psp_fgetc(s), 1000 + i);
  EXPECT_EQ(fgetsAll(s, {1, 0, 3, 16, 16, 16}), Lines({"", "NULL", "ab", "\n", "cd", "NULL"}));
  psp_fclose(s);
}

// psp_fgets takes plain runs from the window a word at a time; it must stop
// exactly where the character reader would, at every offset of LF, CR and
// 0xFF within a word, so it is checked against psp_fgetc read the same way.
TEST_F(Streams, FgetsMatchesTheCharacterReader) {
  std::string bytes;
  std::mt19937 rng(12345);
  static const char *const kStops[] = {"\n", "\r", "\r\n", "\xFF", "\x80", "b"};
  while (bytes.size() < 20000) { // runs of 1..18 letters: no two 0xFF in a row
    const uint32_t run = 1 + rng() % 18;
    bytes += std::string(run, static_cast<char>('a' + run % 7)) + kStops[rng() % std::size(kStops)];
  }
  put("mix.txt", bytes);
  PSP_STREAM lines = psp_fopen(at("mix.txt").c_str(), "r", 0);
  PSP_STREAM chars = psp_fopen(at("mix.txt").c_str(), "r", 0);
  char buf[64];
  for (int32_t size = 1, calls = 0;; size = size % 40 + 1, ++calls) {
    std::string expected;
    int32_t c = 0;
    while (static_cast<int32_t>(expected.size()) < size - 1 && (c = psp_fgetc(chars)) != -1) {
      expected += static_cast<char>(c);
      if (c == '\n')
        break;
    }
    const bool none = c == -1 && expected.empty() && size > 1;
    const char *got = psp_fgets(buf, size, lines);
    ASSERT_EQ(got == nullptr, none) << "call " << calls;
    if (got != nullptr) {
      ASSERT_EQ(std::string(got), expected) << "call " << calls;
    } else {
      // An 0xFF or the end: one more read tells them apart, in both streams.
      const int32_t next = psp_fgetc(chars);
      ASSERT_EQ(psp_fgetc(lines), next);
      if (next == -1)
        break;
    }
  }
  psp_fclose(lines);
  psp_fclose(chars);
}

TEST_F(Streams, GetLineGrowsByHundreds) {
  char *buf = nullptr;
  uint32_t size = 0;
  auto lines = [&](const std::string &bytes) {
    put("l.txt", bytes);
    PSP_STREAM s = psp_fopen(at("l.txt").c_str(), "r", 0);
    Lines got;
    for (char *line; (line = psp_fGetLine(s, &buf, &size, PSP_TAG_DEFAULT)) != nullptr;)
      got.push_back(line == buf ? line : "another buffer");
    psp_fclose(s);
    return got;
  };
  const std::string ls(250, 'L'), as(99, 'a'), bs(100, 'b');
  EXPECT_EQ(lines(ls), Lines({ls}));
  EXPECT_EQ(size, 400u);
  EXPECT_NE(buf, nullptr);
  size = 0; // keeps the buffer from before, size unknown: 100 assumed
  EXPECT_EQ(lines(as + "\n" + bs + "\nc\n"), Lines({as + "\n", bs + "\n", "c\n"}));
  psp_freeMem(buf, PSP_TAG_DEFAULT, "test", 0);
  EXPECT_EQ(psp_fGetLine(nullptr, &buf, &size, PSP_TAG_DEFAULT), nullptr);
}

TEST_F(Streams, FormattedOutputAndBadInput) {
  PSP_STREAM s = psp_fopen(at("f.txt").c_str(), "w", 0);
  EXPECT_EQ(psp_fprintf(s, ""), 0);
  EXPECT_EQ(psp_fprintf(s, "%d-%s\n", 42, "x"), 5);
  std::string longText(70000, 'k'); // longer than a window
  EXPECT_EQ(psp_fprintf(s, "%s", longText.c_str()), 70000);
  EXPECT_EQ(psp_fprintf(s, "%I64u", static_cast<uint64_t>(7)), 1);
  EXPECT_EQ(psp_fprintf(s, "ab%9999999999dcd", 1), -1); // a failing format writes nothing
  EXPECT_EQ(psp_fputs(nullptr, s), -1);
  psp_fclose(s);
  EXPECT_EQ(get("f.txt"), lineEnds("42-x\n") + longText + "7");

  // Only three mode letters are read; a bad one opens (and makes) nothing.
  EXPECT_EQ(psp_fopen(at("f.txt").c_str(), "rb", 0), nullptr);
  EXPECT_EQ(psp_fopen(at("new.txt").c_str(), "wz", 0), nullptr);
  EXPECT_EQ(get("new.txt"), "<missing>");
  EXPECT_EQ(psp_fopen(at("missing/f.txt").c_str(), "w", 0), nullptr);
  EXPECT_EQ(psp_fopen(at("nothing.txt").c_str(), nullptr, 0), nullptr);
  EXPECT_EQ(psp_fopen(nullptr, "r", 0), nullptr);
  s = psp_fopen(at("f.txt").c_str(), "rrrx", 0);
  char buf[8];
  EXPECT_EQ(psp_fgets(nullptr, 8, s), nullptr);
  EXPECT_EQ(psp_fGetLine(s, nullptr, nullptr, PSP_TAG_DEFAULT), nullptr);
  EXPECT_EQ(psp_fgets(buf, 8, s), buf);
  psp_fclose(s);
  s = psp_fopenEx(at("f.txt").c_str(), nullptr, 0, 0); // NULL mode reads
  ASSERT_NE(s, nullptr);
  uint32_t tty = 9;
  EXPECT_EQ(psp_fIsATTY(s, &tty), PSP_OKAY);
  EXPECT_EQ(tty, 0u);
  EXPECT_EQ(psp_fSetEcho(s, 1), PSP_OKAY);
  EXPECT_EQ(psp_fgetc(s), '4');
  psp_fclose(s);
  psp_term();
  EXPECT_EQ(psp_fopen(at("f.txt").c_str(), "r", 0), nullptr); // not initialised
  ASSERT_EQ(psp_init(), PSP_OKAY);
}

#ifdef __linux__
// A device is not a file on disk: its refusals show at every 1024 bytes, as
// the window fills, not only at the close.
TEST_F(Streams, DeviceRefusalShowsWhenTheWindowFills) {
  PSP_STREAM s = psp_fopen("/dev/full", "w", 0);
  ASSERT_NE(s, nullptr);
  const std::string piece(1000, 'd');
  EXPECT_EQ(psp_fputs(piece.c_str(), s), 1000);
  EXPECT_EQ(psp_fputs(piece.c_str(), s), -1);
  psp_fclose(s);
}
#endif

} // namespace
