// Not built yet: every file of this format is refused.

#include "loaders/loaders.h"

namespace tunepak {

int LoadIt(void*) { return ResultBadFile; }

}  // namespace tunepak
