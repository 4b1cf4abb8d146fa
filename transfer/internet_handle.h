// WinINet handles: sessions, connections and requests.
#pragma once

#include <windows.h>
#include <wininet.h>

#include "base/unique_resource.h"

namespace corvane {

inline void closeInternetHandle(HINTERNET handle) noexcept { ::InternetCloseHandle(handle); }
using UniqueInternetHandle = UniqueResource<NullIsNoneTraits<HINTERNET, closeInternetHandle>>;

}  // namespace corvane
