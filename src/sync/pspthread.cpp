// pspthread.cpp - threads started for callers, and the 32-bit atomics.
//
// A started thread runs its body through the trampoline, which destroys the
// thread's own PSP_TAG_THREAD after the body returns, so per-thread memory
// does not outlive the thread. The body's result is the thread's exit code;
// it travels back through the native join, so nothing is allocated per
// thread. The caller's PSP_THREAD record must stay alive until the join; the
// new thread reads only its function and argument, which are written before
// the thread exists.
#include "internal.h"
#include "platform/os.h"

namespace psp {
namespace {

uint32_t trampoline(void *raw) {
  PSP_THREAD *record = static_cast<PSP_THREAD *>(raw);
  uint32_t code = record->function(record->argument);
  threadTagRelease();
  return code;
}

} // namespace
} // namespace psp

using namespace psp;

PSP_API PSP_STATUS psp_threadBeginEx(PSP_THREAD_FN function, uint32_t stackSize, void *argument,
                                     PSP_THREAD *thread) {
  thread->function = function;
  thread->argument = argument;
  void *handle = nullptr;
  bool started = os::threadCreate(trampoline, thread, stackSize, &handle);
  thread->handle = started ? handle : nullptr;
  if (!started) {
    psp_log("Failed to create thread\n");
    return PSP_ERR_SYSTEM;
  }
  return PSP_OKAY;
}

PSP_API PSP_STATUS psp_threadBegin(PSP_THREAD_FN function, uint32_t stackSize, void *argument,
                                   void *, PSP_THREAD *thread) {
  return psp_threadBeginEx(function, stackSize, argument, thread);
}

PSP_API PSP_STATUS psp_threadJoin(PSP_THREAD *thread) {
  if (thread == nullptr || thread->handle == nullptr)
    return PSP_ERR_SYSTEM;
  uint32_t code = 0;
  if (!os::threadJoin(thread->handle, code))
    return PSP_ERR_SYSTEM;
  thread->handle = nullptr; // joined: the native handle is gone
  return static_cast<PSP_STATUS>(code);
}

PSP_API uint32_t psp_threadId(void) { return os::threadId(); }

PSP_API uint32_t psp_atomicSetUInt32(volatile uint32_t *counter, uint32_t expected,
                                     uint32_t value) {
  return __atomic_compare_exchange_n(counter, &expected, value, false, __ATOMIC_SEQ_CST,
                                     __ATOMIC_SEQ_CST)
             ? 1u
             : 0u;
}

PSP_API void psp_atomicIncrUInt32(volatile uint32_t *counter) {
  __atomic_fetch_add(counter, 1u, __ATOMIC_SEQ_CST);
}

PSP_API void psp_atomicDecrUInt32(volatile uint32_t *counter) {
  __atomic_fetch_sub(counter, 1u, __ATOMIC_SEQ_CST);
}
