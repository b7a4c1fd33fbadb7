// Decodes arbitrary bytes through an input buffer's gets, each get chosen by
// the byte before it, and checks every result against a plain reading of the
// same bytes. Everything that decodes is put again through an output buffer,
// whose bytes must be the input up to the last whole value. The first byte
// picks the byte order and how many bytes the read callback delivers at once.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

#include "psp.h"

namespace {

void check(bool ok) {
  if (!ok)
    abort();
}

struct Feed {
  const uint8_t *data;
  size_t size, pos;
  uint32_t chunk;
};

PSP_STATUS feed(void *ctx, uint8_t *buf, uint32_t capacity, uint32_t *filled, uint32_t) {
  auto *f = static_cast<Feed *>(ctx);
  size_t n = std::min<size_t>({f->size - f->pos, f->chunk, capacity});
  if (n == 0)
    return PSP_ERR_ENDOFDATA;
  std::memcpy(buf, f->data + f->pos, n);
  f->pos += n;
  *filled = static_cast<uint32_t>(n);
  return PSP_OKAY;
}

std::vector<uint8_t> g_out;

PSP_STATUS collect(void *, const uint8_t *bytes, uint32_t length) {
  g_out.insert(g_out.end(), bytes, bytes + length);
  return PSP_OKAY;
}

constexpr uint32_t kNull = 0xFFFFFFFFu;

// The reference reading, straight from memory.
struct Ref {
  const uint8_t *data;
  size_t size, pos;
  bool swap;
  size_t left() const { return size - pos; }
  template <typename U> bool number(U *v) {
    if (left() < sizeof *v)
      return false;
    std::memcpy(v, data + pos, sizeof *v);
    pos += sizeof *v;
    auto *b = reinterpret_cast<uint8_t *>(v);
    for (size_t i = 0; swap && i < sizeof *v / 2; ++i)
      std::swap(b[i], b[sizeof *v - 1 - i]);
    return true;
  }
};

struct Run {
  PSP_INPUT_BUFF in;
  PSP_OUTPUT_BUFF out;
  Ref ref;
  void putRaw(size_t start) {
    check(psp_outputBuffPutBytes(out, ref.data + start, ref.pos - start) == PSP_OKAY);
  }
};

PSP_STATUS putAgain(PSP_OUTPUT_BUFF b, uint8_t v) { return psp_outputBuffPutChar(b, v); }
PSP_STATUS putAgain(PSP_OUTPUT_BUFF b, uint16_t v) { return psp_outputBuffPutInt16(b, v); }
PSP_STATUS putAgain(PSP_OUTPUT_BUFF b, uint32_t v) {
  return psp_outputBuffPutFloat32(b, std::bit_cast<float>(v));
}
PSP_STATUS putAgain(PSP_OUTPUT_BUFF b, uint64_t v) { return psp_outputBuffPutInt64(b, v); }

// One number, got into a variable or dropped; false once the input ends.
template <typename U>
bool number(Run &r, PSP_STATUS (*get)(PSP_INPUT_BUFF, void *), bool drop, U *value = nullptr) {
  size_t start = r.ref.pos;
  U got = 0, want = 0;
  PSP_STATUS st = get(r.in, drop ? nullptr : &got);
  bool ok = r.ref.number(&want);
  check(ok ? st == PSP_OKAY : st == PSP_ERR_ENDOFDATA);
  if (!ok)
    return false;
  if (drop) {
    r.putRaw(start);
    return true;
  }
  check(got == want);
  check(putAgain(r.out, got) == PSP_OKAY);
  if (value != nullptr)
    *value = got;
  return true;
}

// A string with its length: into a buffer of `size` (how 0), into new memory
// (how 1) or dropped (how 2).
bool string(Run &r, unsigned how, uint32_t size) {
  size_t start = r.ref.pos;
  Ref after = r.ref;
  uint32_t length = 0;
  bool haveLength = after.number(&length);
  bool isNull = haveLength && length == kNull;
  bool whole = haveLength && (isNull || after.left() >= length);
  if (how == 1 && haveLength && !isNull && length >= 0xFFFFFFFDu) {
    char *text = nullptr;
    check(psp_inputBuffGetString(r.in, &text, PSP_TAG_DEFAULT) == PSP_ERR_NOMEMORY);
    return false; // only the length was taken
  }
  if (how == 1 && haveLength && !isNull && length > after.left())
    how = 2; // no allocation for a length far past the input
  char buf[32];
  std::memset(buf, 'x', sizeof buf);
  char *text = buf;
  PSP_STATUS st = how == 0   ? psp_inputBuffGetStringWithLength(r.in, buf, size)
                  : how == 1 ? psp_inputBuffGetString(r.in, &text, PSP_TAG_DEFAULT)
                             : psp_inputBuffGetString(r.in, nullptr, PSP_TAG_DEFAULT);
  const uint8_t *bytes = after.data + after.pos;
  if (!whole) {
    check(st == PSP_ERR_ENDOFDATA);
    return false;
  }
  if (how == 0 && isNull) {
    check(st == PSP_OKAY && buf[0] == (size != 0 ? 0 : 'x'));
  } else if (how == 0) {
    uint32_t fit = size == 0 ? 0 : std::min(length, size - 1);
    check(st == (fit == length ? PSP_OKAY : PSP_ERR_TRUNCATED));
    check(size == 0 ? buf[0] == 'x' : std::memcmp(buf, bytes, fit) == 0 && buf[fit] == 0);
  } else if (how == 1) {
    check(st == PSP_OKAY);
    check(isNull ? text == nullptr : std::memcmp(text, bytes, length) == 0 && text[length] == 0);
    psp_freeMem(text, PSP_TAG_DEFAULT, "fuzz", __LINE__);
  } else {
    check(st == PSP_OKAY);
  }
  r.ref = after;
  r.ref.pos += isNull ? 0 : length;
  r.putRaw(start);
  return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const bool ready = psp_init() == PSP_OKAY;
  if (!ready || size == 0)
    return 0;
  const uint16_t swap = data[0] & 1;
  const uint32_t chunk = (data[0] >> 1) == 127 ? 4096u : (data[0] >> 1) + 1u;
  Feed f{data + 1, size - 1, 0, chunk};
  Run r{nullptr, nullptr, {data + 1, size - 1, 0, swap != 0}};
  check(psp_inputBuffCreate(feed, &f, swap, &r.in) == PSP_OKAY);
  check(psp_outputBuffCreate(collect, nullptr, swap, &r.out) == PSP_OKAY);
  g_out.clear();
  uint8_t op;
  size_t good = 0; // input bytes up to the end of the last whole value
  while (number(r, psp_inputBuffGetChar, false, &op)) {
    bool ok = false;
    switch (op % 8) {
    case 0:
      ok = number<uint16_t>(r, psp_inputBuffGetInt16, false);
      break;
    case 1:
      ok = number<uint32_t>(r, psp_inputBuffGetInt32, false);
      break;
    case 2:
      ok = number<uint64_t>(r, psp_inputBuffGetFloat64, false);
      break;
    case 3:
      ok = number<uint64_t>(r, psp_inputBuffGetInt64, true);
      break;
    case 4: {
      size_t n = (op >> 3) * 37u, start = r.ref.pos;
      std::vector<uint8_t> got(n);
      PSP_STATUS st = psp_inputBuffGetBytes(r.in, (op & 8) ? nullptr : got.data(), n);
      ok = r.ref.left() >= n;
      check(st == (ok ? PSP_OKAY : PSP_ERR_ENDOFDATA));
      if (ok) {
        r.ref.pos += n;
        check((op & 8) != 0 || n == 0 || std::memcmp(got.data(), r.ref.data + start, n) == 0);
        r.putRaw(start);
      }
      break;
    }
    case 5:
      ok = string(r, 0, op >> 3);
      break;
    case 6:
      ok = string(r, 1 + ((op >> 3) & 1), 0);
      break;
    default:
      ok = number<uint16_t>(r, psp_inputBuffGetInt16, true);
      break;
    }
    if (!ok)
      break;
    good = r.ref.pos;
  }
  check(psp_outputBuffFlush(r.out) == PSP_OKAY);
  // The op byte of a value that did not decode was put already.
  check(g_out.size() == good || g_out.size() == good + 1);
  check(g_out.empty() || std::memcmp(g_out.data(), data + 1, g_out.size()) == 0);
  psp_inputBuffDestroy(r.in);
  psp_outputBuffDestroy(r.out);
  return 0;
}
