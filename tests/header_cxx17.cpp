// The public header compiles as C++17 and its types keep their C shapes.
#include "psp.h"

#include <type_traits>

static_assert(std::is_same_v<PSP_WCHAR, char16_t>);
static_assert(sizeof(PSP_STATUS) == 4);

int main() {
  uint16_t major = 0;
  psp_version(&major, nullptr, nullptr);
  return major == PSP_VERSION_MAJOR ? 0 : 1;
}
