// unicode_reference.h - slow, literal models of the two decoders for the fuzz
// targets: one state machine step per byte or unit, exactly as the validity
// rules read, with none of the library's fast paths. A model run yields every
// code point the library's sink would receive, in order, and the walk status.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "psp.h"

namespace ref {

struct Walk {
  std::vector<uint32_t> cps;
  PSP_STATUS status = PSP_OKAY;
};

// Result of sending '?' (replace) or failing (other modes). True: go on.
inline bool invalid(Walk &w, int mode) {
  if (mode == PSP_CONV_REPLACE) {
    w.cps.push_back('?');
    return true;
  }
  w.status = PSP_ERR_BADCHAR;
  return false;
}

inline Walk utf8(const uint8_t *in, size_t n, int mode) {
  Walk w;
  uint32_t cp = 0, expected = 0, seen = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t b = in[i];
    if (b >= 0xF8) {
      cp = expected = seen = 0;
      if (!invalid(w, mode))
        return w;
      continue;
    }
    if ((b < 0x80 || b >= 0xC0) && expected) {
      cp = expected = seen = 0;
      if (!invalid(w, mode))
        return w;
    }
    if (!expected) {
      if (b < 0x80) {
        w.cps.push_back(b);
      } else if (b < 0xC0) {
        if (!invalid(w, mode))
          return w;
      } else {
        expected = b < 0xE0 ? 1 : b < 0xF0 ? 2 : 3;
        cp = b & (b < 0xE0 ? 0x1F : b < 0xF0 ? 0x0F : 0x07);
        seen = 1;
      }
      continue;
    }
    cp = (cp << 6) | (b & 0x3F);
    ++seen;
    if (--expected)
      continue;
    uint32_t v = cp, length = seen;
    cp = seen = 0;
    if ((v >= 0xD800 && v <= 0xDFFF) || v == 0xFFFE || v == 0xFFFF || v > 0x10FFFF) {
      if (!invalid(w, mode))
        return w;
      continue;
    }
    bool overlong = v < 0x80 || (v < 0x800 && length >= 3) || (v < 0x10000 && length == 4);
    if (overlong && mode == PSP_CONV_STRICT) {
      w.status = PSP_ERR_BADCHAR;
      return w;
    }
    w.cps.push_back(v);
  }
  if (expected)
    invalid(w, mode);
  return w;
}

inline Walk utf16(const uint16_t *in, size_t n, int mode) {
  Walk w;
  uint32_t pending = 0;
  for (size_t i = 0; i < n; ++i) {
    uint32_t u = in[i];
    bool low = u >= 0xDC00 && u <= 0xDFFF, high = u >= 0xD800 && u <= 0xDBFF;
    if (low && !pending) {
      if (!invalid(w, mode))
        return w;
      continue;
    }
    if (pending && !low) {
      pending = 0;
      if (!invalid(w, mode))
        return w;
    }
    if (high) {
      pending = 0x10000 + ((u & 0x3FF) << 10);
    } else if (low) {
      w.cps.push_back(pending | (u & 0x3FF));
      pending = 0;
    } else {
      w.cps.push_back(u);
    }
  }
  if (pending)
    invalid(w, mode);
  return w;
}

inline void putUtf16(std::vector<uint16_t> &out, uint32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<uint16_t>(cp));
  } else {
    out.push_back(static_cast<uint16_t>(0xD800 + ((cp - 0x10000) >> 10)));
    out.push_back(static_cast<uint16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
  }
}

inline void putUtf8(std::vector<uint8_t> &out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<uint8_t>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<uint8_t>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<uint8_t>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<uint8_t>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<uint8_t>(0x80 | (cp & 0x3F)));
  }
}

// What a bounded conversion into `size` units stores: characters that do not
// fit are skipped, later ones that fit are still stored, then the terminator.
template <class Unit, class Put>
std::vector<Unit> boundedStore(const std::vector<uint32_t> &cps, uint64_t size, Put put) {
  std::vector<Unit> out;
  for (uint32_t cp : cps) {
    std::vector<Unit> one;
    put(one, cp);
    if (out.size() + one.size() <= size - 1)
      out.insert(out.end(), one.begin(), one.end());
  }
  out.push_back(0);
  return out;
}

inline void check(bool ok) {
  if (!ok)
    abort();
}

} // namespace ref
