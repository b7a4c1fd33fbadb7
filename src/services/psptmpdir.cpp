// psptmpdir.cpp - the chosen temporary directory (placeholder: none is chosen yet).
#include "internal.h"

namespace psp {

void tmpDirRelease() {}

} // namespace psp
