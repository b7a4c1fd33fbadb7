// pathmatch.cpp - wildcard patterns of the directory iterator (see
// pathmatch.h) and the upper-casing they compare by.
#include "files/pathmatch.h"

#include "text/unicode.h"

namespace psp::paths {

namespace {

// Letters that come in upper/lower pairs at neighbouring code points.
inline uint32_t pairedEvenUpper(uint32_t c) { return (c & 1) ? c - 1 : c; }
inline uint32_t pairedOddUpper(uint32_t c) { return (c & 1) ? c : c - 1; }

uint32_t upperLatinExtended(uint32_t c) {
  if (c == 0x131)
    return 'I';
  if (c == 0x17F)
    return 'S';
  if (c < 0x138 || (c >= 0x14A && c < 0x178))
    return pairedEvenUpper(c);
  if ((c >= 0x139 && c < 0x149) || (c >= 0x179 && c < 0x17F))
    return pairedOddUpper(c);
  return c;
}

uint32_t upperGreek(uint32_t c) {
  if (c == 0x3C2) // final sigma
    return 0x3A3;
  if (c >= 0x3B1 && c <= 0x3CB)
    return c - 0x20;
  if (c == 0x3AC)
    return 0x386;
  if (c >= 0x3AD && c <= 0x3AF)
    return c - 0x25;
  if (c == 0x3CC)
    return 0x38C;
  if (c == 0x3CD || c == 0x3CE)
    return c - 0x3F;
  return c;
}

uint32_t upperCyrillic(uint32_t c) {
  if (c >= 0x430 && c < 0x450)
    return c - 0x20;
  if (c >= 0x450 && c < 0x460)
    return c - 0x50;
  if ((c >= 0x460 && c < 0x482) || (c >= 0x48A && c < 0x4C0) || (c >= 0x4D0 && c < 0x530))
    return pairedEvenUpper(c);
  if (c >= 0x4C1 && c < 0x4CF)
    return pairedOddUpper(c);
  if (c == 0x4CF)
    return 0x4C0;
  return c;
}

struct CodePoint {
  uint32_t value = 0;
  int put(uint32_t cp) {
    value = cp;
    return 0;
  }
};

// The next character of a name; advances p. Invalid input becomes a value
// beyond Unicode, unequal to every pattern literal.
inline uint32_t nextChar(const uint8_t *&p, const uint8_t *end) {
  uint32_t b = *p;
  if (b < 0x80) {
    ++p;
    return b;
  }
  CodePoint cp;
  if (unicode::decodeUtf8Slow(p, end, cp, PSP_CONV_STRICT) != 0)
    return 0x110000 + b;
  return cp.value;
}

inline bool tokenMatches(uint32_t token, uint32_t c) {
  if (token == kAnyChar)
    return true;
  if (token == kHexDigit)
    return (c - '0' < 10) || (c - 'A' < 6);
  if (c < 0x80)
    return token == (c - 'a' < 26 ? c - 0x20 : c);
  return token == upperCase(c);
}

// The tokens after the last '*' must take the name's last characters. When
// those are ASCII bytes they can be checked from the end at once, which
// settles most names for the usual "*.ext" patterns without a walk. Walked
// backwards: only an all-ASCII run at the very end is known to be the last
// characters, so a multi-byte character further in ends the shortcut.
enum class Tail { Fails, Matches, Unknown };

inline Tail checkTail(const uint8_t *name, size_t length, const Pattern &pattern) {
  uint32_t first = pattern.lastStar + 1;
  size_t k = pattern.count - first;
  if (k > length)
    return Tail::Unknown;
  const uint8_t *tail = name + length - k;
  for (size_t i = k; i-- > 0;) {
    if (tail[i] >= 0x80)
      return Tail::Unknown;
    if (!tokenMatches(pattern.tokens[first + i], tail[i]))
      return Tail::Fails;
  }
  return pattern.lastStar == 0 ? Tail::Matches : Tail::Unknown;
}

struct Compiler {
  uint32_t *tokens;
  uint32_t count = 0;
  bool afterStar = false;
  int put(uint32_t cp) {
    uint32_t token;
    if (afterStar)
      token = upperCase(cp);
    else if (cp == '*')
      token = kStar;
    else if (cp == '?')
      token = kAnyChar;
    else if (cp == '#')
      token = kHexDigit;
    else
      token = upperCase(cp);
    afterStar = !afterStar && cp == '*';
    tokens[count++] = token;
    return 0;
  }
};

} // namespace

uint32_t upperCase(uint32_t c) {
  if (c < 0x80)
    return c - 'a' < 26 ? c - 0x20 : c;
  if (c < 0x100) {
    if (c >= 0xE0 && c != 0xF7 && c != 0xFF)
      return c - 0x20;
    if (c == 0xFF)
      return 0x178;
    return c == 0xB5 ? 0x39C : c; // micro sign: Greek capital mu
  }
  if (c < 0x180)
    return upperLatinExtended(c);
  if (c >= 0x370 && c < 0x400)
    return upperGreek(c);
  if (c >= 0x400 && c < 0x530)
    return upperCyrillic(c);
  if (c >= 0x561 && c <= 0x586) // Armenian
    return c - 0x30;
  if ((c >= 0x1E00 && c < 0x1E96) || (c >= 0x1EA0 && c < 0x1F00))
    return pairedEvenUpper(c);
  if (c >= 0xFF41 && c <= 0xFF5A) // full-width a-z
    return c - 0x20;
  return c;
}

bool compilePattern(const char *text, size_t length, Pattern &pattern) {
  Compiler compiler{pattern.tokens};
  if (unicode::decodeUtf8(text, length, compiler, PSP_CONV_STRICT) != PSP_OKAY)
    return false;
  pattern.count = compiler.count;
  pattern.lastStar = pattern.count;
  for (uint32_t i = 0; i < pattern.count; ++i)
    if (pattern.tokens[i] == kStar)
      pattern.lastStar = i++; // the token after a '*' is a literal
  return true;
}

bool matchName(const char *name, size_t length, const Pattern &pattern) {
  const uint8_t *p = reinterpret_cast<const uint8_t *>(name);
  const uint8_t *const end = p + length;
  if (pattern.lastStar < pattern.count) {
    Tail tail = checkTail(p, length, pattern);
    if (tail != Tail::Unknown)
      return tail == Tail::Matches;
  }
  const uint32_t *tokens = pattern.tokens;
  const uint32_t count = pattern.count;
  uint32_t t = 0;
  // The latest '*': the token after it and where in the name its run ends.
  // Going back to an earlier '*' never helps: any split it allows is also
  // reachable by lengthening the latest run.
  const uint8_t *retryName = nullptr;
  uint32_t retryToken = 0;
  for (;;) {
    if (t < count && tokens[t] == kStar) {
      if (++t == count)
        return true;
      retryToken = t;
      retryName = p;
      continue;
    }
    if (p == end)
      return t == count; // a token left needs a character; a longer run leaves fewer
    if (t < count) {
      const uint8_t *q = p;
      if (tokenMatches(tokens[t], nextChar(q, end))) {
        p = q;
        ++t;
        continue;
      }
    }
    if (retryName == nullptr)
      return false;
    nextChar(retryName, end); // the run takes one more character
    p = retryName;
    t = retryToken;
  }
}

} // namespace psp::paths
