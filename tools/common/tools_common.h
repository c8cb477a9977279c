// Shared code of the companion programs.
#pragma once

namespace tavo_tools {}  // namespace tavo_tools
