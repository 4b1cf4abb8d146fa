#include "module_state.h"

namespace corvane {
namespace {
volatile LONG lockCount = 0;
HINSTANCE instance = nullptr;
}  // namespace

void lockModule() noexcept { ::InterlockedIncrement(&lockCount); }
void unlockModule() noexcept { ::InterlockedDecrement(&lockCount); }
LONG moduleLockCount() noexcept { return ::InterlockedCompareExchange(&lockCount, 0, 0); }
HINSTANCE moduleInstance() noexcept { return instance; }
void setModuleInstance(HINSTANCE value) noexcept { instance = value; }

}  // namespace corvane
