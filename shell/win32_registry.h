// The script walk's view of the real registry, through the ANSI registry calls.
#pragma once

#include <windows.h>

#include "shell/registry_script.h"

namespace corvane {

class Win32Registry final : public RegistryAccess {
 public:
  Key root(RootKey which) override;
  long openKey(Key parent, const std::string& name, Access access, Key* out) override;
  long createKey(Key parent, const std::string& name, Key* out) override;
  long closeKey(Key key) override;
  long setValue(Key key, const std::string* name, std::uint32_t type,
                const std::vector<unsigned char>& data) override;
  long deleteValue(Key key, const std::string& name) override;
  long deleteKey(Key parent, const std::string& name) override;
  long enumerateKey(Key key, std::uint32_t index, std::string* name) override;
  long countSubkeys(Key key, std::uint32_t* count) override;
};

// The process's ANSI code page: its lead bytes and its conversion from wide text.
CodePage ansiCodePage();

}  // namespace corvane
