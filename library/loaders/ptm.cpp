// Not built yet: every file of this format is refused.

#include "loaders/loaders.h"

namespace tunepak {

int LoadPtm(void*) { return ResultBadFile; }

}  // namespace tunepak
