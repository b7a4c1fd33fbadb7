// stream.h - the text stream records and the entry points that logging uses
// beneath the exported stream functions.
#pragma once

#include "internal.h"

#include <cstdarg>

namespace psp {

// The window the stream logic works in. Standard streams and terminals move
// it one window per system call, so console output shows as soon as before;
// other handles move kStreamIoSize bytes per call behind the same logic.
constexpr uint32_t kStreamBufSize = 1024;
constexpr uint32_t kStreamIoSize = 64 * 1024;
constexpr uint32_t kPushbackDepth = 20;

struct StreamBuf {
  uint64_t start; // file offset of data[0]
  uint64_t pos;   // file offset of the next byte read or written
  uint64_t size;  // known end of the file; 0: not known
  PSP_FH fh;      // owned
  uint32_t count; // valid bytes in data after the last read
  uint32_t dirty; // data[0 .. pos - start) not yet handed to the handle
  uint32_t cap;   // bytes in data: kStreamBufSize or kStreamIoSize
  uint8_t *data;  // follows the record in the same block
};

} // namespace psp

struct psp_stream_rec {
  psp::StreamBuf *buf;
  uint32_t encoding; // 0 not given, PSP_ENC_UTF8, PSP_ENC_UTF16
  uint8_t bigEndian;
  uint32_t bomLen;
  int32_t pushback[psp::kPushbackDepth];
  uint32_t pushCount;
  char *scratch; // psp_vfprintf's buffer, PSP_TAG_DEFAULT
  uint32_t scratchSize;
  uint32_t u8Code;   // code point assembled from UTF-8 written to a UTF-16 stream
  uint8_t u8Pending; // continuation bytes still expected
};

namespace psp {

// psp_fopenEx. With `mayJump` false a failed allocation never takes the
// default tag's jump, so a caller holding a lock can open a stream. The
// status: PSP_ERR_NOMEMORY, PSP_ERR_NOFILE (the handle), PSP_ERR_SYSTEM
// (not initialised) or PSP_ERR_INVALIDPARAM (the mode).
PSP_STATUS streamOpen(const char *path, const char *mode, uint32_t encoding, uint16_t options,
                      bool mayJump, PSP_STREAM *out);
// Writes n bytes with the line-end rule; the bytes written (added CRs not
// counted), or -1 at the first refused byte.
int64_t streamWrite(PSP_STREAM s, const char *bytes, uint64_t n);
// psp_vfprintf; with `mayJump` false a scratch buffer that cannot grow gives
// -1 without the tag's jump.
int32_t streamVPrintf(PSP_STREAM s, const char *format, va_list args, bool mayJump);
// psp_fflush: false when the handle refused the bytes (they stay buffered).
bool streamFlush(PSP_STREAM s);

} // namespace psp
