// Decodes arbitrary bytes as a stream of variable-length integers; every value
// that decodes must re-encode to the bytes it came from, except the nine-byte
// non-canonical forms, which must decode to a value below the nine-byte range.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "psp.h"

namespace {

struct Reader {
  const uint8_t *data;
  size_t size;
  size_t pos;
};

PSP_STATUS next(void *ctx, uint8_t *byte) {
  auto *r = static_cast<Reader *>(ctx);
  if (r->pos >= r->size)
    return PSP_ERR_ENDOFDATA;
  *byte = r->data[r->pos++];
  return PSP_OKAY;
}

struct Writer {
  uint8_t bytes[16];
  size_t used;
};

int put(void *sink, int ch) {
  auto *w = static_cast<Writer *>(sink);
  if (w->used >= sizeof w->bytes)
    abort();
  w->bytes[w->used++] = static_cast<uint8_t>(ch);
  return 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Reader r{data, size, 0};
  while (r.pos < r.size) {
    size_t start = r.pos;
    uint64_t value = 0;
    PSP_STATUS st = psp_vintDecodeUIntmax(next, &r, &value);
    if (st == PSP_ERR_VINT) {
      if (r.pos != start + 1 || data[start] < 0xFB)
        abort();
      continue;
    }
    if (st != PSP_OKAY)
      break;
    Writer w{{0}, 0};
    if (psp_vintEncodeUIntmax(value, put, &w) != PSP_OKAY)
      abort();
    size_t length = r.pos - start;
    bool same = w.used == length && std::memcmp(w.bytes, data + start, length) == 0;
    if (!same && !(length == 9 && data[start] == 0xFA && value < 0x101080808204080ull))
      abort();
  }
  return 0;
}
