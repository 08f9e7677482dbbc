#include "platform/Platform.h"

#include <cstdlib>

namespace {
Platform* installed = nullptr;
}

Platform& Os() {
  // A call before installation is a programming error in the entry or a test fixture.
  if (!installed) std::abort();
  return *installed;
}

void InstallPlatform(Platform* platform) {
  installed = platform;
}
