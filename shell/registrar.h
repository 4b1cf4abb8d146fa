// Self-registration: the registry script resource run by the Registrar, and the type
// library carried in the module file.
#pragma once

#include <windows.h>

#include <string>

#include "shell/registry_script.h"

namespace corvane {

inline constexpr UINT kRegistryScriptId = 101;

// Runs script resource (id, type) of the module file at modulePath in the register or
// the removal pass, after replacing the variables of `map`.
HRESULT runRegistrar(const std::wstring& modulePath, UINT resourceId, const char* resourceType,
                     const ReplacementMap& map, bool registering) noexcept;

// Script text (resource bytes) preprocessed with `map` and walked against the real
// registry in the register or the removal pass.
ScriptResult runScriptText(const std::string& script, const ReplacementMap& map, bool registering);

// The module's full file name as wide text; empty when it cannot be read whole.
std::wstring moduleFilePath(HMODULE module);
// Whether the path converts exactly into the ANSI code page in at most 260 bytes.
bool pathFitsAnsiCodePage(const std::wstring& path);
// Doubles every apostrophe, so the text may stand inside a quoted script token.
std::wstring doubleApostrophes(const std::wstring& text);

// The registry update of the Installer entry: script 101 with "Module" = module path.
HRESULT updateInstallerRegistry(bool registering) noexcept;

// Loads from the module file, else from the ".tlb" beside it, and (un)registers.
HRESULT registerTypeLibrary(HMODULE module) noexcept;
HRESULT unregisterTypeLibrary(HMODULE module) noexcept;
// The path the fallback uses: the extension (from the last ".") replaced by ".tlb".
std::wstring typeLibraryFallbackPath(const std::wstring& modulePath);

}  // namespace corvane
