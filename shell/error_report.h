// Refusals reach the caller as rich error information plus DISP_E_EXCEPTION.
#pragma once

#include <windows.h>

namespace corvane {

// Sets the calling thread's error information (description, GUID and, when the class
// is registered, its ProgID as source) and returns DISP_E_EXCEPTION.
HRESULT reportError(REFCLSID classId, const char* message, REFIID interfaceId) noexcept;

}  // namespace corvane
