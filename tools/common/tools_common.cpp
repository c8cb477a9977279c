// Shared code of the companion programs.
#include "tools_common.h"
