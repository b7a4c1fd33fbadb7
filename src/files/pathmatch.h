// pathmatch.h - the directory iterator's wildcard patterns.
//
// A pattern is compiled once into tokens, one per character: '*' (any run,
// the empty one included), '?' (any one character), '#' (a digit 0-9 or an
// upper-case A-F) and literals, stored upper-cased and compared with the
// upper-cased name character. The character right after a '*' is always a
// literal, whatever it is: "*?" asks for a name ending in '?'. Matching is
// the usual one-backtrack-point walk, so it takes at most name length x
// pattern length steps and gives the same answers as trying every split of
// the name at every '*'.
//
// Names are UTF-8; a byte that does not start a valid character is one
// character of its own that only '?' and '*' match.
#pragma once

#include <cstddef>
#include <cstdint>

namespace psp::paths {

inline constexpr uint32_t kStar = 0xFFFFFFFFu;
inline constexpr uint32_t kAnyChar = 0xFFFFFFFEu;
inline constexpr uint32_t kHexDigit = 0xFFFFFFFDu;

// The library's own upper-casing: ASCII, Latin-1, Latin Extended-A and
// Additional, Greek, Cyrillic, Armenian and the full-width Latin letters.
uint32_t upperCase(uint32_t cp);

struct Pattern {
  uint32_t *tokens; // room for as many tokens as the pattern has bytes
  uint32_t count;
  uint32_t lastStar; // index of the last '*', count when there is none
};

// Compiles length bytes of UTF-8 into pattern.tokens; false when the
// pattern is not valid UTF-8.
bool compilePattern(const char *text, size_t length, Pattern &pattern);

bool matchName(const char *name, size_t length, const Pattern &pattern);

} // namespace psp::paths
