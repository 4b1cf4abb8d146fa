// Holds a library loaded in a process of its own, as another program using a component
// would: library_holder PATH READY RELEASE loads PATH, signals the named event READY, and
// waits (a minute at most) for the named event RELEASE before it ends. Exit code 0 when
// the library loaded.
#include <windows.h>

#include "base/unique_resource.h"

int main(int argc, char** argv) {
  using corvane::UniqueHandle;
  if (argc != 4) return 2;
  const corvane::UniqueModule library(::LoadLibraryA(argv[1]));
  if (!library) return 3;
  const UniqueHandle ready(::OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[2]));
  const UniqueHandle release(::OpenEventA(SYNCHRONIZE, FALSE, argv[3]));
  if (!ready || !release) return 4;
  ::SetEvent(ready.get());
  ::WaitForSingleObject(release.get(), 60000);
  return 0;
}
