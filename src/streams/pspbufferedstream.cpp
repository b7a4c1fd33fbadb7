// pspbufferedstream.cpp - typed values through buffers over caller callbacks.
//
// An input buffer pulls bytes through its read callback into a fixed 4096-byte
// area and hands them out value by value. An output buffer collects values in
// an area that grows by 1024 bytes from 4096 to 32768 before anything is
// written, then hands the whole area to its write callback each time it
// fills. Values lie end to end in host byte order, reversed when the buffer
// was made with swap set; both ends of a stream must agree on it.
//
// Invariants: pos <= filled <= capacity (input); used <= capacity <= maxSize
// (output). A failing callback leaves them intact, so the next call resumes
// where the failed one stopped: nothing is rolled back and nothing is lost.
// The typed gets and puts test for room inline and leave every loop, refill
// and growth to out-of-line slow paths. No lock: one thread per buffer.
#include "internal.h"

#include <bit>
#include <cstring>

// Both records start with data: destroying either is one operation.
struct psp_input_buff_rec {
  uint8_t *data;
  uint32_t pos;    // bytes of data already handed out
  uint32_t filled; // bytes the last callback delivered
  uint32_t capacity;
  uint16_t swap;
  PSP_BUFF_READ_FN readFn;
  void *ctx;
};

struct psp_output_buff_rec {
  uint8_t *data;
  uint32_t used; // bytes buffered and not yet written
  uint32_t capacity;
  uint32_t maxSize; // lowered to capacity once growing fails
  uint16_t swap;
  PSP_BUFF_WRITE_FN writeFn;
  void *ctx;
};

namespace {

constexpr uint32_t kInitialSize = 4096;
constexpr uint32_t kGrowStep = 1024;
constexpr uint32_t kMaxSize = 32768;
constexpr uint32_t kNullLength = 0xFFFFFFFFu; // the length of a NULL string
// writeFn takes a u32 length; a direct send of more goes in pieces this big.
constexpr uint64_t kDirectPiece = 0x80000000u;

template <typename U> inline U byteReversed(U v) {
  if constexpr (sizeof(U) == 1)
    return v;
  else if constexpr (sizeof(U) == 2)
    return __builtin_bswap16(v);
  else if constexpr (sizeof(U) == 4)
    return __builtin_bswap32(v);
  else
    return __builtin_bswap64(v);
}

// The value in the buffer's byte order. Chosen without a branch: a taken
// branch per value costs the hot paths more than the reversal itself.
template <typename U> inline U inOrder(U v, uint16_t swap) {
  U mask = static_cast<U>(0) - static_cast<U>(swap != 0);
  return static_cast<U>(v ^ ((v ^ byteReversed(v)) & mask));
}

// ---- creation ----

void attach(PSP_INPUT_BUFF b, PSP_BUFF_READ_FN read) { b->readFn = read; }

void attach(PSP_OUTPUT_BUFF b, PSP_BUFF_WRITE_FN write) {
  b->writeFn = write;
  b->maxSize = kMaxSize;
}

// Both records are made zeroed with their data area from PSP_TAG_DEFAULT. On
// failure nothing stays allocated and *out is not written.
template <typename Rec, typename Fn>
PSP_STATUS create(Fn callback, void *ctx, uint16_t swap, Rec **out) {
  if (!psp::initialised())
    return PSP_ERR_NOMEMORY;
  if (callback == nullptr || out == nullptr)
    return PSP_ERR_INVALIDPARAM;
  psp_memtag_rec *tag = psp::resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return PSP_ERR_NOMEMORY;
  auto *rec = static_cast<Rec *>(psp::tagTryAlloc(tag, sizeof(Rec)));
  auto *data =
      rec != nullptr ? static_cast<uint8_t *>(psp::tagTryAlloc(tag, kInitialSize)) : nullptr;
  if (data == nullptr) {
    if (rec != nullptr)
      psp::tagFree(tag, rec);
    // The record is gone again and nothing else was touched, so the tag's
    // jump, if it has one, leaves no trace behind.
    psp::tagJumpIfArmed(tag);
    return PSP_ERR_NOMEMORY;
  }
  std::memset(rec, 0, sizeof(Rec));
  rec->data = data;
  rec->capacity = kInitialSize;
  rec->ctx = ctx;
  rec->swap = swap;
  attach(rec, callback);
  *out = rec;
  return PSP_OKAY;
}

// After the last psp_term the record went with PSP_TAG_DEFAULT: nothing to do.
template <typename Rec> void destroyRecord(Rec *rec) {
  if (rec == nullptr || !psp::initialised())
    return;
  psp_freeMem(rec->data, PSP_TAG_DEFAULT, "pspbufferedstream", __LINE__);
  psp_freeMem(rec, PSP_TAG_DEFAULT, "pspbufferedstream", __LINE__);
}

// ---- input ----

// Takes n bytes into dst (NULL: dropped), calling readFn whenever the buffer
// is used up. *taken, when given, receives how many were taken, all of them
// unless a callback failed.
__attribute__((noinline)) PSP_STATUS takeSlow(PSP_INPUT_BUFF b, uint8_t *dst, uint64_t n,
                                              uint64_t *taken = nullptr) {
  uint64_t done = 0;
  PSP_STATUS status = PSP_OKAY;
  while (done < n) {
    if (b->pos == b->filled) {
      // The count goes through a local: a failing callback cannot leave a
      // fill count behind, and one that claims more than the area holds is
      // held to the area.
      uint32_t filled = 0;
      status = b->readFn(b->ctx, b->data, b->capacity, &filled, 0);
      if (status != PSP_OKAY)
        break;
      b->filled = filled < b->capacity ? filled : b->capacity;
      b->pos = 0;
      continue;
    }
    uint64_t chunk = b->filled - b->pos;
    if (chunk > n - done)
      chunk = n - done;
    if (dst != nullptr)
      std::memcpy(dst + done, b->data + b->pos, chunk);
    b->pos += static_cast<uint32_t>(chunk);
    done += chunk;
  }
  if (taken != nullptr)
    *taken = done;
  return status;
}

inline PSP_STATUS take(PSP_INPUT_BUFF b, void *dst, uint64_t n) {
  if (b->filled - b->pos >= n) [[likely]] {
    if (dst != nullptr)
      std::memcpy(dst, b->data + b->pos, n);
    b->pos += static_cast<uint32_t>(n);
    return PSP_OKAY;
  }
  return takeSlow(b, static_cast<uint8_t *>(dst), n);
}

// Stores a got value, reversed when the buffer swaps.
template <typename U> inline void store(PSP_INPUT_BUFF b, void *dst, U v) {
  if (dst != nullptr) {
    v = inOrder(v, b->swap);
    std::memcpy(dst, &v, sizeof v);
  }
}

template <typename U>
__attribute__((noinline)) PSP_STATUS getNumberSlow(PSP_INPUT_BUFF b, void *dst) {
  U v;
  if (PSP_STATUS status = takeSlow(b, reinterpret_cast<uint8_t *>(&v), sizeof v))
    return status;
  store(b, dst, v);
  return PSP_OKAY;
}

// A number of sizeof(U) bytes. The destination is written only when the
// whole value was got, so a failed get never leaves half a value there.
template <typename U> inline PSP_STATUS getNumber(PSP_INPUT_BUFF b, void *dst) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (b->filled - b->pos < sizeof(U)) [[unlikely]]
    return getNumberSlow<U>(b, dst);
  U v;
  std::memcpy(&v, b->data + b->pos, sizeof v);
  b->pos += sizeof v;
  store(b, dst, v);
  return PSP_OKAY;
}

// ---- output ----

// One growth step. psp_extendMem takes PSP_TAG_DEFAULT's jump, if it has
// one, when the resize fails; the buffer is untouched and consistent then.
void grow(PSP_OUTPUT_BUFF b) {
  uint32_t next = b->capacity + kGrowStep < b->maxSize ? b->capacity + kGrowStep : b->maxSize;
  void *moved = psp_extendMem(b->data, next, PSP_TAG_DEFAULT, PSP_MEM_NORMAL, 0, nullptr,
                              "pspbufferedstream", __LINE__);
  if (moved == nullptr) {
    b->maxSize = b->capacity; // also when the library is not initialised
    return;
  }
  b->data = static_cast<uint8_t *>(moved);
  b->capacity = next;
}

// Places n bytes: fills the buffer, grows it while it may, and writes it
// whole once it may not. A failed write leaves the bytes placed so far
// buffered.
__attribute__((noinline)) PSP_STATUS putSlow(PSP_OUTPUT_BUFF b, const uint8_t *src, uint64_t n) {
  while (n != 0) {
    uint32_t room = b->capacity - b->used;
    if (room != 0) {
      uint32_t chunk = n < room ? static_cast<uint32_t>(n) : room;
      std::memcpy(b->data + b->used, src, chunk);
      b->used += chunk;
      src += chunk;
      n -= chunk;
      continue;
    }
    if (b->capacity < b->maxSize)
      grow(b);
    if (b->capacity >= b->maxSize && b->used != 0) {
      if (PSP_STATUS status = b->writeFn(b->ctx, b->data, b->used))
        return status;
      b->used = 0;
    }
  }
  return PSP_OKAY;
}

inline PSP_STATUS put(PSP_OUTPUT_BUFF b, const void *src, uint64_t n) {
  if (b->capacity - b->used >= n) [[likely]] {
    std::memcpy(b->data + b->used, src, n);
    b->used += static_cast<uint32_t>(n);
    return PSP_OKAY;
  }
  return putSlow(b, static_cast<const uint8_t *>(src), n);
}

template <typename U> __attribute__((noinline)) PSP_STATUS putNumberSlow(PSP_OUTPUT_BUFF b, U v) {
  return putSlow(b, reinterpret_cast<const uint8_t *>(&v), sizeof v);
}

template <typename U> inline PSP_STATUS putNumber(PSP_OUTPUT_BUFF b, U v) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  v = inOrder(v, b->swap);
  if (b->capacity - b->used < sizeof v) [[unlikely]]
    return putNumberSlow(b, v);
  std::memcpy(b->data + b->used, &v, sizeof v);
  b->used += sizeof v;
  return PSP_OKAY;
}

PSP_STATUS flush(PSP_OUTPUT_BUFF b) {
  if (b->used == 0)
    return PSP_OKAY;
  PSP_STATUS status = b->writeFn(b->ctx, b->data, b->used);
  if (status == PSP_OKAY)
    b->used = 0;
  return status;
}

// ---- alignment ----

constexpr uint16_t kAlignments[8] = {1, 2, 2, 4, 4, 8, 8, 0};

} // namespace

// ---- input buffers ----

PSP_API PSP_STATUS psp_inputBuffCreate(PSP_BUFF_READ_FN read, void *ctx, uint16_t swap,
                                       PSP_INPUT_BUFF *out) {
  return create(read, ctx, swap, out);
}

PSP_API void psp_inputBuffDestroy(PSP_INPUT_BUFF b) { destroyRecord(b); }

PSP_API PSP_STATUS psp_inputBuffReset(PSP_INPUT_BUFF b) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  b->filled = 0;
  b->pos = 0;
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_inputBuffGetChar(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint8_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetInt16(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint16_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetInt32(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint32_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetFloat32(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint32_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetInt64(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint64_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetFloat64(PSP_INPUT_BUFF b, void *dst) {
  return getNumber<uint64_t>(b, dst);
}

PSP_API PSP_STATUS psp_inputBuffGetBytes(PSP_INPUT_BUFF b, void *dst, uint64_t count) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  return take(b, dst, count);
}

PSP_API PSP_STATUS psp_inputBuffGetString(PSP_INPUT_BUFF b, char **out, PSP_MEMTAG tag) {
  uint32_t length;
  if (PSP_STATUS status = getNumber<uint32_t>(b, &length))
    return status;
  if (length == kNullLength) {
    if (out != nullptr)
      *out = nullptr;
    return PSP_OKAY;
  }
  if (out == nullptr)
    return take(b, nullptr, length);
  if (length >= 0xFFFFFFFDu || !psp::initialised())
    return PSP_ERR_NOMEMORY;
  // Nothing of this call is left to undo if the tag's jump is taken here.
  auto *text = static_cast<char *>(psp_getMem(uint64_t{length} + 1, tag, PSP_MEM_NORMAL, nullptr,
                                              "pspbufferedstream", __LINE__));
  if (text == nullptr)
    return PSP_ERR_NOMEMORY;
  uint64_t taken = length;
  PSP_STATUS status = PSP_OKAY;
  if (b->filled - b->pos >= length) {
    std::memcpy(text, b->data + b->pos, length);
    b->pos += length;
  } else {
    status = takeSlow(b, reinterpret_cast<uint8_t *>(text), length, &taken);
  }
  text[taken] = '\0'; // a failed get leaves the caller the part it got
  *out = text;
  return status;
}

PSP_API PSP_STATUS psp_inputBuffGetStringWithLength(PSP_INPUT_BUFF b, char *dst, uint64_t size) {
  uint32_t length;
  if (PSP_STATUS status = getNumber<uint32_t>(b, &length))
    return status;
  if (size == 0)
    dst = nullptr; // no room even for the terminator: the string is only skipped
  if (length == kNullLength) {
    if (dst != nullptr)
      *dst = '\0';
    return PSP_OKAY;
  }
  uint64_t fit = size == 0 ? 0 : (length < size - 1 ? length : size - 1);
  uint64_t taken = fit;
  PSP_STATUS status = takeSlow(b, reinterpret_cast<uint8_t *>(dst), fit, &taken);
  if (dst != nullptr)
    dst[taken] = '\0';
  if (status != PSP_OKAY || fit == length)
    return status;
  // Skip the rest so that the stream stays in step.
  status = take(b, nullptr, length - fit);
  return status != PSP_OKAY ? status : PSP_ERR_TRUNCATED;
}

// ---- output buffers ----

PSP_API PSP_STATUS psp_outputBuffCreate(PSP_BUFF_WRITE_FN write, void *ctx, uint16_t swap,
                                        PSP_OUTPUT_BUFF *out) {
  return create(write, ctx, swap, out);
}

PSP_API void psp_outputBuffDestroy(PSP_OUTPUT_BUFF b) { destroyRecord(b); }

PSP_API PSP_STATUS psp_outputBuffFlush(PSP_OUTPUT_BUFF b) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  return flush(b);
}

PSP_API PSP_STATUS psp_outputBuffPutChar(PSP_OUTPUT_BUFF b, uint8_t value) {
  return putNumber(b, value);
}

PSP_API PSP_STATUS psp_outputBuffPutInt16(PSP_OUTPUT_BUFF b, uint16_t value) {
  return putNumber(b, value);
}

PSP_API PSP_STATUS psp_outputBuffPutInt32(PSP_OUTPUT_BUFF b, uint32_t value) {
  return putNumber(b, value);
}

PSP_API PSP_STATUS psp_outputBuffPutInt64(PSP_OUTPUT_BUFF b, uint64_t value) {
  return putNumber(b, value);
}

PSP_API PSP_STATUS psp_outputBuffPutFloat32(PSP_OUTPUT_BUFF b, float value) {
  return putNumber(b, std::bit_cast<uint32_t>(value));
}

PSP_API PSP_STATUS psp_outputBuffPutFloat64(PSP_OUTPUT_BUFF b, double value) {
  return putNumber(b, std::bit_cast<uint64_t>(value));
}

PSP_API PSP_STATUS psp_outputBuffPutString(PSP_OUTPUT_BUFF b, const char *text) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  if (text == nullptr)
    return PSP_OKAY; // nothing to put, as for ""
  return put(b, text, std::strlen(text));
}

PSP_API PSP_STATUS psp_outputBuffPutStringWithLength(PSP_OUTPUT_BUFF b, const char *text) {
  if (b == nullptr)
    return PSP_ERR_INVALIDPARAM;
  uint64_t length = text != nullptr ? std::strlen(text) : kNullLength;
  if (text != nullptr && length >= kNullLength)
    return PSP_ERR_RANGE; // the length would not fit, or would read as NULL
  if (PSP_STATUS status = putNumber(b, static_cast<uint32_t>(length)))
    return status;
  return text != nullptr ? put(b, text, length) : PSP_OKAY;
}

PSP_API PSP_STATUS psp_outputBuffPutBytes(PSP_OUTPUT_BUFF b, const void *bytes, uint64_t count) {
  if (b == nullptr || (bytes == nullptr && count != 0))
    return PSP_ERR_INVALIDPARAM;
  return count != 0 ? put(b, bytes, count) : PSP_OKAY;
}

PSP_API PSP_STATUS psp_outputBuffSendDirect(PSP_OUTPUT_BUFF b, const void *bytes, uint64_t count) {
  if (b == nullptr || (bytes == nullptr && count != 0))
    return PSP_ERR_INVALIDPARAM;
  if (count == 0)
    return PSP_OKAY;
  if (PSP_STATUS status = flush(b))
    return status;
  auto *src = static_cast<const uint8_t *>(bytes);
  while (count != 0) {
    uint64_t piece = count < kDirectPiece ? count : kDirectPiece;
    if (PSP_STATUS status = b->writeFn(b->ctx, src, static_cast<uint32_t>(piece)))
      return status;
    src += piece;
    count -= piece;
  }
  return PSP_OKAY;
}

// ---- record layout helpers ----

PSP_API uint32_t psp_align(uint32_t value, int32_t kind) {
  if (kind < 0 || kind > 7)
    return value; // no such kind: left as it is, like kind 7
  uint32_t alignment = kAlignments[kind];
  if (alignment <= 1)
    return value;
  return (value + alignment - 1) & ~(alignment - 1); // wraps past 2^32 - alignment
}

PSP_API uint64_t psp_alignBufferSize(uint64_t size) { return (size + 7) & ~uint64_t{7}; }
