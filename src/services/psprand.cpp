// psprand.cpp - pseudo-random generators (MT19937).
//
// Each generator holds the 624-word Mersenne Twister state and a cursor into
// it. Seeding regenerates the whole state at once, so the first draw after a
// seeding uses the regenerated word 0, as the published reference generator
// does; a given seed therefore yields the published output sequence. A
// generator from psp_randCreate carries a mutex held around every state
// update; tempering runs outside it. A generator lives in PSP_TAG_DEFAULT, so
// destroying one after the last psp_term does nothing: it is gone already.
#include "internal.h"

#include <cstddef>

namespace {

constexpr uint32_t kWords = 624;
constexpr uint32_t kShift = 397;
constexpr uint32_t kMatrix = 0x9908B0DFu;
constexpr uint32_t kUpper = 0x80000000u;
constexpr uint32_t kLower = 0x7FFFFFFFu;
constexpr uint32_t kDefaultSeed = 0x8DF1337Cu;

} // namespace

struct psp_rand_rec {
  uint32_t *next; // the word the next draw uses
  uint32_t *end;  // one past the state
  PSP_SEM mutex;
  uint32_t state[kWords];
};

namespace {

inline uint32_t twist(uint32_t current, uint32_t following, uint32_t far) {
  uint32_t y = (current & kUpper) | (following & kLower);
  return far ^ (y >> 1) ^ ((y & 1u) ? kMatrix : 0u);
}

// One generation step over all words, in word order. Split so no index wraps.
void regenerate(uint32_t *mt) {
  uint32_t i = 0;
  for (; i < kWords - kShift; ++i)
    mt[i] = twist(mt[i], mt[i + 1], mt[i + kShift]);
  for (; i < kWords - 1; ++i)
    mt[i] = twist(mt[i], mt[i + 1], mt[i + kShift - kWords]);
  mt[kWords - 1] = twist(mt[kWords - 1], mt[0], mt[kShift - 1]);
}

inline uint32_t temper(uint32_t y) {
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

void seed(PSP_RAND rand, uint32_t s) {
  psp::SemGuard guard(rand->mutex);
  uint32_t *mt = rand->state;
  mt[0] = s;
  for (uint32_t i = 1; i < kWords; ++i)
    mt[i] = 1812433253u * (mt[i - 1] ^ (mt[i - 1] >> 30)) + i;
  regenerate(mt);
  rand->next = mt;
}

inline uint32_t draw(PSP_RAND rand) {
  uint32_t word;
  {
    psp::SemGuard guard(rand->mutex);
    if (rand->next == rand->end) {
      regenerate(rand->state);
      rand->next = rand->state;
    }
    word = *rand->next++;
  }
  return temper(word);
}

PSP_RAND create(uint32_t s, bool withMutex) {
  if (!psp::initialised())
    return nullptr;
  auto *rand = static_cast<PSP_RAND>(
      psp_getMem(sizeof(psp_rand_rec), PSP_TAG_DEFAULT, PSP_MEM_NORMAL, nullptr, "psp", 3120));
  if (rand == nullptr)
    return nullptr;
  rand->mutex = PSP_SEM_NONE;
  if (withMutex) {
    rand->mutex = psp_syncCreate_check(PSP_SYNC_MUTEX, "psp", 3131);
    if (rand->mutex == PSP_SEM_NONE) {
      psp_freeMem(rand, PSP_TAG_DEFAULT, "psp", 3134);
      return nullptr;
    }
  }
  rand->end = rand->state + kWords;
  seed(rand, s != 0 ? s : kDefaultSeed);
  return rand;
}

} // namespace

PSP_API PSP_RAND psp_randCreate(uint32_t seed) { return create(seed, true); }

PSP_API PSP_RAND psp_randCreateNoSem(uint32_t seed) { return create(seed, false); }

PSP_API void psp_randDestroy(PSP_RAND rand) {
  if (rand == nullptr || !psp::initialised())
    return;
  if (rand->mutex != PSP_SEM_NONE)
    psp_syncDelete(rand->mutex);
  psp_freeMem(rand, PSP_TAG_DEFAULT, "psp", 3170);
}

PSP_API void psp_randResetSeed(PSP_RAND rand, uint32_t s) { seed(rand, s); }

PSP_API uint32_t psp_randGet(PSP_RAND rand) { return draw(rand) & 0x7FFFu; }

PSP_API uint32_t psp_randGetUInt32(PSP_RAND rand) { return draw(rand); }

PSP_API uint64_t psp_randGetUInt64(PSP_RAND rand) {
  uint64_t high = draw(rand);
  return (high << 32) | draw(rand);
}

PSP_API double psp_randGetDouble(PSP_RAND rand) {
  return draw(rand) * 2.3283064365386963e-10; // 2^-32
}
