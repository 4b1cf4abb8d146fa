#include "shell/registrar.h"

#include "shell/com_base.h"
#include "shell/module_state.h"
#include "base/unique_resource.h"
#include "shell/com_owners.h"
#include "shell/text.h"
#include "shell/win32_registry.h"

namespace corvane {
namespace {

std::u16string toUtf16(const std::wstring& text) { return std::u16string(text.begin(), text.end()); }

using UnRegisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);


HRESULT loadModuleTypeLibrary(HMODULE module, ComPtr<ITypeLib>& library, std::wstring* loadedFrom) {
  const std::wstring path = moduleFilePath(module);
  HRESULT result = ::LoadTypeLib(path.c_str(), library.put());
  if (SUCCEEDED(result)) {
    *loadedFrom = path;
    return result;
  }
  const std::wstring fallback = typeLibraryFallbackPath(path);
  result = ::LoadTypeLib(fallback.c_str(), library.put());
  if (SUCCEEDED(result)) *loadedFrom = fallback;
  return result;
}

}  // namespace

// Read as wide text: the ANSI form of the name would carry a look-alike or '?' for a
// character the code page lacks, and name another file.
std::wstring moduleFilePath(HMODULE module) {
  wchar_t path[MAX_PATH + 1] = {};
  const DWORD length = ::GetModuleFileNameW(module, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return std::wstring();  // none, or cut short
  return std::wstring(path, length);
}

bool pathFitsAnsiCodePage(const std::wstring& path) {
  if (path.empty()) return false;
  const std::optional<std::string> ansi = wideToAnsi(path.c_str(), ::GetACP());
  return ansi && ansi->size() <= MAX_PATH;
}

std::wstring doubleApostrophes(const std::wstring& text) {
  std::wstring doubled;
  for (wchar_t c : text) {
    doubled.push_back(c);
    if (c == L'\'') doubled.push_back(c);
  }
  return doubled;
}

std::wstring typeLibraryFallbackPath(const std::wstring& modulePath) {
  const size_t dot = modulePath.rfind(L'.');
  return (dot == std::wstring::npos ? modulePath : modulePath.substr(0, dot)) + L".tlb";
}

HRESULT runRegistrar(const std::wstring& modulePath, UINT resourceId, const char* resourceType,
                     const ReplacementMap& map, bool registering) noexcept {
  return guardedCall([&]() -> HRESULT {
    // By its wide name: an 8-bit form could name another file.
    UniqueModule module(::LoadLibraryExW(modulePath.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!module) return resultFromSystemError(::GetLastError());
    HRSRC resource = ::FindResourceA(module.get(), MAKEINTRESOURCEA(resourceId), resourceType);
    if (resource == nullptr) return resultFromSystemError(::GetLastError());
    HGLOBAL loaded = ::LoadResource(module.get(), resource);
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    if (bytes == nullptr) return resultFromSystemError(::GetLastError());
    const std::string script(static_cast<const char*>(bytes), ::SizeofResource(module.get(), resource));
    return runScriptText(script, map, registering);
  });
}

ScriptResult runScriptText(const std::string& script, const ReplacementMap& map, bool registering) {
  const CodePage codePage = ansiCodePage();
  std::string text;
  const ScriptResult preprocessed = preprocessScript(script, map, codePage, &text);
  if (preprocessed != kScriptOk) return preprocessed;
  Win32Registry registry;
  return walkScript(text, registry, registering, codePage);
}

HRESULT updateInstallerRegistry(bool registering) noexcept {
  return guardedCall([&]() -> HRESULT {
    const std::wstring path = moduleFilePath(moduleInstance());
    // The script writes the path as 8-bit text: a path that text cannot carry exactly is
    // refused rather than registered as the name of another file.
    if (!pathFitsAnsiCodePage(path)) return HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION);
    ReplacementMap map;
    map.add(u"Module", toUtf16(doubleApostrophes(path)));
    return runRegistrar(path, kRegistryScriptId, "REGISTRY", map, registering);
  });
}

HRESULT registerTypeLibrary(HMODULE module) noexcept {
  return guardedCall([&]() -> HRESULT {
    ComPtr<ITypeLib> library;
    std::wstring path;
    const HRESULT loaded = loadModuleTypeLibrary(module, library, &path);
    if (FAILED(loaded)) return loaded;
    std::wstring helpDirectory = path;
    const size_t cut = helpDirectory.find_last_of(L"\\/:");
    if (cut != std::wstring::npos) helpDirectory.resize(cut + 1);
    return ::RegisterTypeLib(library.get(), &path[0], &helpDirectory[0]);
  });
}

HRESULT unregisterTypeLibrary(HMODULE module) noexcept {
  return guardedCall([&]() -> HRESULT {
    ComPtr<ITypeLib> library;
    std::wstring path;
    const HRESULT loaded = loadModuleTypeLibrary(module, library, &path);
    if (FAILED(loaded)) return loaded;
    const auto attributes = libraryAttributesOf(library.get());
    if (attributes.get() == nullptr) return loaded;
    // Looked up by name: older runtimes lacked the export.
    UniqueModule automation(::LoadLibraryA("oleaut32.dll"));
    if (!automation) return loaded;
    auto unregister = reinterpret_cast<UnRegisterTypeLibFunction>(
        reinterpret_cast<void*>(::GetProcAddress(automation.get(), "UnRegisterTypeLib")));
    if (unregister != nullptr) {
      const TLIBATTR* a = attributes.get();
      unregister(a->guid, a->wMajorVerNum, a->wMinorVerNum, a->lcid, a->syskind);
    }
    return loaded;
  });
}

}  // namespace corvane
