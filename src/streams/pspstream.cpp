// pspstream.cpp - text streams: buffered sequential text over a file handle
// or a standard stream.
//
// A stream owns one StreamBuf, a window of `cap` bytes onto the file at
// `start`: 64 KiB for a file on disk, so that a system call moves more than a
// line or two, and 1024 for everything else (standard streams, terminals,
// pipes, devices), whose readers and writers see each 1024 bytes as they go.
// Readers use [start, start + count), writers [start, start + cap); when
// `pos` leaves the window the one refill step hands the dirty bytes to the
// handle and reads the next window. The stream never seeks: every transfer
// goes to the handle's current position. Written bytes stay in the buffer
// until a refill, a flush or the close; a write the handle refuses keeps
// them there, so a later flush can try again.
//
// UTF-16 streams hold 16-bit units in the file while the caller reads and
// writes UTF-8: reading converts a unit (or a surrogate pair) and hands out
// the UTF-8 bytes one call at a time through the push-back stack; writing
// collects the bytes of one character in u8Code / u8Pending.
//
// Allocation: the stream, its buffer and its scratch from PSP_TAG_DEFAULT.
// Paths that may run under a log sink's mutex never take the tag's jump
// (mayJump false); the exported forms take it only where nothing is held
// and nothing is half made.
#include "streams/stream.h"

#include "platform/os.h"
#include "text/format.h"
#include "text/unicode.h"

#include <bit>
#include <cstring>

namespace psp {

namespace {

constexpr uint32_t kModeAppend = 0x8; // "a": no truncation; the file layer ignores the bit

inline bool writable(PSP_FH fh) { return (fh->mode & (PSP_FILE_WRONLY | PSP_FILE_RDWR)) != 0; }
inline bool writeOnly(PSP_FH fh) { return (fh->mode & PSP_FILE_WRONLY) != 0; }

void *allocDefault(uint32_t size, bool mayJump) {
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return nullptr;
  void *block = mayJump ? tagAlloc(tag, size) : tagTryAlloc(tag, size);
  if (block != nullptr)
    std::memset(block, 0, size);
  return block;
}

// The record and its data in one block; only the record is zeroed.
StreamBuf *allocBuf(uint32_t cap) {
  psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
  if (tag == nullptr)
    return nullptr;
  auto *b = static_cast<StreamBuf *>(tagTryAlloc(tag, sizeof(StreamBuf) + cap));
  if (b == nullptr)
    return nullptr;
  std::memset(b, 0, sizeof(StreamBuf));
  b->cap = cap;
  b->data = reinterpret_cast<uint8_t *>(b + 1);
  return b;
}

void freeDefault(void *block) {
  if (block == nullptr)
    return;
  if (psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT))
    tagFree(tag, block);
}

// Hands the dirty bytes to the handle. False when the handle refused them:
// they stay, and so does `start`.
bool writeOut(StreamBuf *b) {
  if (b->dirty == 0)
    return true;
  const auto n = static_cast<uint32_t>(b->pos - b->start);
  if (writable(b->fh) && n != 0 && psp_fileWrite(b->fh, b->data, n) != n)
    return false;
  b->start = b->pos;
  b->dirty = 0;
  return true;
}

bool refill(StreamBuf *b) {
  if (!writeOut(b))
    return false;
  b->start = b->pos;
  if ((b->size != 0 && b->pos >= b->size) || writeOnly(b->fh)) {
    b->count = 0;
    return true;
  }
  const uint32_t got = psp_fileRead(b->fh, b->data, b->cap);
  b->count = got == 0xFFFFFFFFu ? 0 : got;
  return true;
}

// The next raw byte, or -1 at end of file or on error.
inline int readByte(StreamBuf *b) {
  if (b->pos < b->start || b->pos >= b->start + b->count)
    if (!refill(b) || b->count == 0)
      return -1;
  return b->data[b->pos++ - b->start];
}

inline bool putRaw(StreamBuf *b, uint8_t c) {
  if (b->pos < b->start || b->pos >= b->start + b->cap)
    if (!refill(b))
      return false;
  b->data[b->pos - b->start] = c;
  b->dirty = 1;
  if (++b->pos > b->size)
    b->size = b->pos;
  return true;
}

inline bool putUnit(StreamBuf *b, uint32_t unit) {
  return putRaw(b, static_cast<uint8_t>(unit)) && putRaw(b, static_cast<uint8_t>(unit >> 8));
}

// The writer under every output function: 1 when the byte was taken.
int putByte(PSP_STREAM s, uint8_t c) {
  StreamBuf *b = s->buf;
  if (s->encoding != PSP_ENC_UTF16)
    return putRaw(b, c) ? 1 : 0;
  if (s->u8Pending == 0) {
    if (c < 0x80)
      return putUnit(b, c) ? 1 : 0;
    if (c < 0xC2 || c > 0xF4)
      return 0;
    s->u8Pending = c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
    s->u8Code = c & (c < 0xE0 ? 0x1Fu : c < 0xF0 ? 0x0Fu : 0x07u);
    return 1;
  }
  if ((c & 0xC0) != 0x80)
    return 0;
  s->u8Code = (s->u8Code << 6) | (c & 0x3Fu);
  if (--s->u8Pending != 0)
    return 1;
  const uint32_t code = s->u8Code;
  if (code >= 0x10000) {
    if (!putUnit(b, 0xD800 | (((code - 0x10000) >> 10) & 0x3FF)))
      return 0;
    return putUnit(b, 0xDC00 | (code & 0x3FF)) ? 1 : 0;
  }
  return putUnit(b, code) ? 1 : 0;
}

inline void push(PSP_STREAM s, int32_t value) {
  if (s->pushCount < kPushbackDepth)
    s->pushback[s->pushCount++] = value;
}

// One UTF-16 unit in the file's byte order; -1 when fewer than two bytes are
// left (a lone last byte is dropped).
int readUnit(PSP_STREAM s) {
  const int first = readByte(s->buf);
  if (first < 0)
    return -1;
  const int second = readByte(s->buf);
  if (second < 0)
    return -1;
  return s->bigEndian != 0 ? (first << 8) | second : (second << 8) | first;
}

// Looks for a byte-order mark at the start of a stream opened for reading.
void detectMark(PSP_STREAM s) {
  StreamBuf *b = s->buf;
  b->pos = 0;
  const uint8_t *mark = nullptr;
  uint32_t length = 0;
  const int first = readByte(b);
  static const uint8_t kUtf8[] = {0xEF, 0xBB, 0xBF}, kLittle[] = {0xFF, 0xFE},
                       kBig[] = {0xFE, 0xFF};
  if (first == 0xEF) {
    mark = kUtf8;
    length = 3;
  } else if (first == 0xFF) {
    mark = kLittle;
    length = 2;
  } else if (first == 0xFE) {
    mark = kBig;
    length = 2;
  }
  for (uint32_t i = 1; i < length; ++i) {
    const int next = readByte(b);
    if (next < 0) {
      // The file ends inside a mark: the caller's encoding stands, and a
      // stream with none reads bytes.
      if (s->encoding == 0)
        s->encoding = PSP_ENC_UTF8;
      // Meeting the end moved the window past the bytes read; they are
      // still in data, and the handle cannot give them again.
      b->count = static_cast<uint32_t>(b->pos);
      b->start = 0;
      b->pos = 0;
      return;
    }
    if (next != mark[i])
      mark = nullptr;
    if (mark == nullptr)
      break;
  }
  if (mark == nullptr) {
    s->encoding = PSP_ENC_UTF8;
    s->bomLen = 0;
    b->pos = 0;
    return;
  }
  s->encoding = mark == kUtf8 ? PSP_ENC_UTF8 : PSP_ENC_UTF16;
  s->bigEndian = mark == kBig ? 1 : 0;
  s->bomLen = length;
}

int32_t getSlow(PSP_STREAM s) {
  if (s->pushCount != 0)
    return s->pushback[--s->pushCount];
  uint32_t byte;
  if (s->encoding == PSP_ENC_UTF8) {
    const int c = readByte(s->buf);
    if (c < 0)
      return -1;
    byte = static_cast<uint32_t>(c);
  } else if (s->encoding == PSP_ENC_UTF16) {
    const int unit = readUnit(s);
    if (unit < 0)
      return -1;
    uint32_t code = static_cast<uint32_t>(unit);
    if (code >= 0xDC00 && code <= 0xDFFF) {
      code = '.';
    } else if (code >= 0xD800 && code <= 0xDBFF) {
      const int low = readUnit(s);
      if (low < 0)
        return -1;
      code = 0x10000 + ((code & 0x3FF) << 10) + (static_cast<uint32_t>(low) & 0x3FF);
    }
    char bytes[4] = {};
    const int n = unicode::encodeUtf8(code, bytes);
    for (int i = n - 1; i >= 1; --i)
      push(s, static_cast<uint8_t>(bytes[i]));
    byte = static_cast<uint8_t>(bytes[0]);
  } else {
    return 0;
  }
  if (byte == 0x0D) {
    const int32_t next = getSlow(s);
    if (next == 0x0A)
      return 0x0A;
    push(s, next);
    return 0x0D;
  }
  return static_cast<int8_t>(byte);
}

// psp_fgetc with the common case (a plain byte in the window) inline.
inline int32_t getChar(PSP_STREAM s) {
  StreamBuf *b = s->buf;
  if (s->pushCount == 0 && s->encoding == PSP_ENC_UTF8 && b->pos >= b->start &&
      b->pos < b->start + b->count) {
    const uint8_t c = b->data[b->pos - b->start];
    if (c != 0x0D) {
      ++b->pos;
      return static_cast<int8_t>(c);
    }
  }
  return getSlow(s);
}

// The index of the first LF, CR or 0xFF in p[0, n), or n: the bytes before
// it pass through psp_fgets unchanged. Eight bytes at a time where the
// lowest address is the low byte of a word.
uint64_t findLineStop(const uint8_t *p, uint64_t n) {
  uint64_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr uint64_t kOnes = 0x0101010101010101u, kHigh = 0x8080808080808080u;
    for (; i + 8 <= n; i += 8) {
      uint64_t word;
      std::memcpy(&word, p + i, 8);
      // (x - ones) & ~x & high marks the zero bytes of x; the lowest mark is
      // always a true zero, which is all the search needs.
      const uint64_t lf = word ^ (kOnes * 0x0A), cr = word ^ (kOnes * 0x0D), ff = ~word;
      const uint64_t hit =
          (((lf - kOnes) & ~lf) | ((cr - kOnes) & ~cr) | ((ff - kOnes) & ~ff)) & kHigh;
      if (hit != 0)
        return i + (static_cast<uint64_t>(std::countr_zero(hit)) >> 3);
    }
  }
  while (i < n && p[i] != 0x0A && p[i] != 0x0D && p[i] != 0xFF)
    ++i;
  return i;
}

// The line-end rule on output: a CR before each LF where the platform wants it.
inline int putWithLineEnd(PSP_STREAM s, uint8_t c) {
  if (os::kTextCrLf && c == 0x0A)
    putByte(s, 0x0D);
  return putByte(s, c);
}

// `standard`: the size is not asked for. `marks` false: no byte-order mark
// is written or looked for. The status tells a failed allocation
// (PSP_ERR_NOMEMORY) from a handle that cannot be opened (PSP_ERR_NOFILE).
PSP_STATUS openWithBits(const char *path, uint32_t bits, bool writing, bool standard, bool marks,
                        uint32_t encoding, uint16_t options, bool mayJump, PSP_STREAM *out) {
  *out = nullptr;
  auto *s = static_cast<PSP_STREAM>(allocDefault(sizeof(psp_stream_rec), mayJump));
  if (s == nullptr)
    return PSP_ERR_NOMEMORY;
  PSP_MEMTAG fileTagged = fileTag();
  PSP_FH fh = nullptr;
  PSP_STATUS status = fileTagged == nullptr
                          ? PSP_ERR_NOMEMORY
                          : openFileHandle(path, bits & ~kFileExclusive, options, fileTagged, &fh);
  if (status != PSP_OKAY) {
    freeDefault(s);
    // The file layer refuses a name without a UTF-16 form as if memory ran
    // out; to a stream that is a file that cannot be opened.
    const bool named = path != nullptr && unicode::utf8ToUtf16(nullptr, 0, path, std::strlen(path),
                                                               PSP_CONV_STRICT) != unicode::kFailed;
    return status == PSP_ERR_NOMEMORY && named ? PSP_ERR_NOMEMORY : PSP_ERR_NOFILE;
  }
  const uint32_t cap = !standard && fh->backend == &os::diskBackend && os::fileIsOnDisk(fh->native)
                           ? kStreamIoSize
                           : kStreamBufSize;
  StreamBuf *b = allocBuf(cap);
  if (b == nullptr) {
    psp_fileClose(fh);
    freeDefault(s);
    if (mayJump)
      if (psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT))
        tagJumpIfArmed(tag); // nothing of this call is left
    return PSP_ERR_NOMEMORY;
  }
  b->fh = fh;
  if (!standard)
    b->size = psp_fileLength(b->fh);
  s->buf = b;
  s->encoding = encoding;
  *out = s;
  if (!marks)
    return PSP_OKAY;
  if (!writing) {
    detectMark(s);
  } else if (encoding == PSP_ENC_UTF16) {
    putRaw(b, 0xFF);
    putRaw(b, 0xFE);
    s->bomLen = 2;
  }
  return PSP_OKAY;
}

} // namespace

PSP_STATUS streamOpen(const char *path, const char *mode, uint32_t encoding, uint16_t options,
                      bool mayJump, PSP_STREAM *out) {
  *out = nullptr;
  if (!initialised())
    return PSP_ERR_SYSTEM;
  uint32_t bits = PSP_FILE_RDONLY;
  bool writing = false;
  const char *letters = mode != nullptr ? mode : "r";
  for (int i = 0; i < 3 && letters[i] != '\0'; ++i) {
    switch (letters[i]) {
    case 'r':
      bits = PSP_FILE_RDONLY;
      break;
    case 'w':
      bits = PSP_FILE_TRUNCATE | PSP_FILE_CREATE | PSP_FILE_WRONLY;
      writing = true;
      break;
    case 'a':
      bits = PSP_FILE_CREATE | PSP_FILE_WRONLY | kModeAppend;
      writing = true;
      break;
    case '+':
      bits = (bits & ~PSP_FILE_WRONLY) | PSP_FILE_RDWR;
      break;
    default:
      return PSP_ERR_INVALIDPARAM;
    }
  }
  if (writing && encoding == 0)
    encoding = PSP_ENC_UTF8;
  const bool standard =
      path != nullptr && (std::strcmp(path, "stdout") == 0 || std::strcmp(path, "stderr") == 0);
  return openWithBits(path, bits, writing, standard, true, encoding, options, mayJump, out);
}

int64_t streamWrite(PSP_STREAM s, const char *bytes, uint64_t n) {
  StreamBuf *b = s->buf;
  if (s->encoding != PSP_ENC_UTF16 && !os::kTextCrLf) {
    // Bytes pass unchanged: copy whole runs into the window.
    for (uint64_t done = 0; done < n;) {
      if (b->pos < b->start || b->pos >= b->start + b->cap)
        if (!refill(b))
          return -1;
      const uint64_t room = b->start + b->cap - b->pos;
      const uint64_t k = n - done < room ? n - done : room;
      std::memcpy(b->data + (b->pos - b->start), bytes + done, k);
      b->dirty = 1;
      b->pos += k;
      if (b->pos > b->size)
        b->size = b->pos;
      done += k;
    }
    return static_cast<int64_t>(n);
  }
  for (uint64_t i = 0; i < n; ++i)
    if (putWithLineEnd(s, static_cast<uint8_t>(bytes[i])) == 0)
      return -1;
  return static_cast<int64_t>(n);
}

int32_t streamVPrintf(PSP_STREAM s, const char *format, va_list args, bool mayJump) {
  if (format == nullptr)
    return -1;
  // Short output is formatted once, into the stack; longer output, measured
  // by that pass, is formatted again into the scratch buffer grown to fit.
  char local[256];
  fmt::BoundedSink<char> quick(local, sizeof local);
  if (fmt::formatTo(quick, format, args) != PSP_OKAY || quick.total >= fmt::kMaxLength)
    return -1;
  if (quick.total < sizeof local) {
    if (quick.total == 0)
      return 0;
    return streamWrite(s, local, quick.total) < 0 ? -1 : static_cast<int32_t>(quick.total);
  }
  const uint64_t length = quick.total; // that pass measured it
  if (s->scratchSize < length + 1) {
    psp_memtag_rec *tag = resolveTag(PSP_TAG_DEFAULT);
    if (tag == nullptr)
      return -1;
    const auto size = static_cast<uint32_t>(length + 1);
    void *grown;
    if (s->scratch == nullptr)
      grown = mayJump ? tagAlloc(tag, size) : tagTryAlloc(tag, size);
    else
      grown =
          mayJump ? tagRealloc(tag, s->scratch, size, 1) : tagTryRealloc(tag, s->scratch, size, 1);
    if (grown == nullptr)
      return -1;
    s->scratch = static_cast<char *>(grown);
    s->scratchSize = size;
  }
  const int32_t n = fmt::formatBounded(s->scratch, s->scratchSize, format, args);
  if (n < 1)
    return n;
  return streamWrite(s, s->scratch, static_cast<uint64_t>(n)) < 0 ? -1 : n;
}

bool streamFlush(PSP_STREAM s) { return writeOut(s->buf); }

} // namespace psp

using namespace psp;

PSP_API PSP_STREAM psp_fopen(const char *path, const char *mode, uint32_t encoding) {
  return psp_fopenEx(path, mode, encoding, 0);
}

PSP_API PSP_STREAM psp_fopenEx(const char *path, const char *mode, uint32_t encoding,
                               uint16_t options) {
  PSP_STREAM s;
  streamOpen(path, mode, encoding, options, true, &s);
  return s;
}

PSP_API PSP_STREAM psp_fopenStd(const char *name) {
  if (!initialised() || name == nullptr)
    return nullptr;
  const bool output = std::strcmp(name, "stdout") == 0 || std::strcmp(name, "stderr") == 0;
  PSP_STREAM s;
  openWithBits(name, output ? PSP_FILE_WRONLY : PSP_FILE_RDONLY, output, true, false, PSP_ENC_UTF8,
               0, true, &s);
  return s;
}

PSP_API void psp_fclose(PSP_STREAM s) {
  if (s == nullptr)
    return;
  writeOut(s->buf);
  psp_fileClose(s->buf->fh);
  freeDefault(s->buf);
  freeDefault(s->scratch);
  freeDefault(s);
}

PSP_API int32_t psp_fgetc(PSP_STREAM s) { return getSlow(s); }

PSP_API int32_t psp_fungetc(int32_t value, PSP_STREAM s) {
  if (s->pushCount >= kPushbackDepth)
    return -1;
  s->pushback[s->pushCount++] = value;
  return value;
}

PSP_API char *psp_fgets(char *buf, int32_t size, PSP_STREAM s) {
  if (buf == nullptr || size < 1)
    return nullptr;
  int32_t stored = 0;
  bool ended = false;
  StreamBuf *b = s->buf;
  while (stored < size - 1) {
    if (s->pushCount == 0 && s->encoding == PSP_ENC_UTF8 && b->pos >= b->start &&
        b->pos < b->start + b->count) {
      // Plain bytes straight from the window, up to the first one that needs
      // the character reader: CR (line ends) and FF (reads as end of file).
      const uint8_t *from = b->data + (b->pos - b->start);
      uint64_t room = b->start + b->count - b->pos;
      if (room > static_cast<uint64_t>(size - 1 - stored))
        room = static_cast<uint64_t>(size - 1 - stored);
      uint64_t k = findLineStop(from, room);
      const bool lineEnd = k < room && from[k] == 0x0A;
      if (lineEnd)
        ++k;
      std::memcpy(buf + stored, from, k);
      b->pos += k;
      stored += static_cast<int32_t>(k);
      if (lineEnd)
        break;
      if (k == room)
        continue;
    }
    const int32_t c = getChar(s);
    if (c == -1) {
      ended = true;
      break;
    }
    buf[stored++] = static_cast<char>(c);
    if (c == 0x0A)
      break;
  }
  buf[stored] = '\0';
  return ended && stored == 0 ? nullptr : buf;
}

PSP_API int32_t psp_fputc(int32_t ch, PSP_STREAM s) {
  return putWithLineEnd(s, static_cast<uint8_t>(ch));
}

PSP_API int32_t psp_fputs(const char *text, PSP_STREAM s) {
  if (text == nullptr)
    return -1;
  const int64_t n = streamWrite(s, text, std::strlen(text));
  return n < 0 || n > INT32_MAX ? -1 : static_cast<int32_t>(n);
}

PSP_API int32_t psp_vfprintf(PSP_STREAM s, const char *format, va_list args) {
  return streamVPrintf(s, format, args, true);
}

PSP_API int32_t psp_fprintf(PSP_STREAM s, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t n = streamVPrintf(s, format, args, true);
  va_end(args);
  return n;
}

PSP_API int32_t psp_fflush(PSP_STREAM s) {
  writeOut(s->buf);
  return 0;
}

PSP_API int32_t psp_fsync(PSP_STREAM s) {
  const bool flushed = writeOut(s->buf);
  const PSP_STATUS synced = psp_fileSync(s->buf->fh);
  // A character still half written to a UTF-16 file counts as a failure too.
  return flushed && synced == PSP_OKAY && s->u8Pending == 0 ? 0 : -1;
}

PSP_API PSP_STATUS psp_fIsATTY(PSP_STREAM s, uint32_t *isTerminal) {
  PSP_FH fh = s->buf->fh;
  if (fh->backend->isATTY == nullptr)
    return PSP_ERR_NOTSUPPORTED;
  return fh->backend->isATTY(fh->native, isTerminal);
}

PSP_API PSP_STATUS psp_fSetEcho(PSP_STREAM s, uint32_t on) {
  PSP_FH fh = s->buf->fh;
  if (fh->backend->setEcho == nullptr)
    return PSP_OKAY;
  return fh->backend->setEcho(fh->native, on);
}

PSP_API char *psp_fGetLine(PSP_STREAM s, char **line, uint32_t *size, PSP_MEMTAG tag) {
  constexpr uint32_t kStep = 100;
  if (s == nullptr || line == nullptr || size == nullptr)
    return nullptr;
  char *buf = *line;
  uint32_t capacity = *size != 0 ? *size : kStep;
  if (buf == nullptr) {
    buf = static_cast<char *>(psp_getMem(kStep, tag, PSP_MEM_ZERO, nullptr, "pspstream", __LINE__));
    if (buf == nullptr)
      return nullptr;
    capacity = kStep; // what was allocated, whatever *size claimed
    *line = buf;
    *size = capacity;
  }
  if (capacity > INT32_MAX)
    capacity = INT32_MAX;
  if (psp_fgets(buf, static_cast<int32_t>(capacity), s) == nullptr)
    return nullptr;
  buf[capacity - 1] = '\0';
  uint32_t searchFrom = 0;
  while (std::strchr(buf + searchFrom, '\n') == nullptr && capacity <= INT32_MAX - kStep) {
    // Stored before growing: a jump out of the resize leaves the caller a
    // valid buffer and its true size.
    *line = buf;
    *size = capacity;
    auto *grown = static_cast<char *>(
        psp_extendMem(buf, capacity + kStep, tag, PSP_MEM_NORMAL, 0, nullptr, "pspstream", 0));
    if (grown == nullptr)
      break; // the line so far stays with the caller
    buf = grown;
    capacity += kStep;
    searchFrom = capacity - kStep - 1;
    if (psp_fgets(buf + searchFrom, kStep + 1, s) == nullptr)
      break;
  }
  *line = buf;
  *size = capacity;
  return buf;
}
