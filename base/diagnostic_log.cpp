#include "base/diagnostic_log.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <string>

#include "base/unique_resource.h"

namespace corvane {
namespace {

// Long enough for any path the platform's ANSI calls take.
constexpr DWORD kPathCapacity = MAX_PATH + 1;
constexpr size_t kMaxLineBytes = 4096;

bool logPath(char (&path)[kPathCapacity]) noexcept {
  const DWORD length = ::GetEnvironmentVariableA(kDiagnosticLogVariable, path, kPathCapacity);
  return length > 0 && length < kPathCapacity;
}

std::string linePrefix() {
  SYSTEMTIME now;
  ::GetSystemTime(&now);
  char prefix[96];
  std::snprintf(prefix, sizeof prefix, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ pid=%lu tid=%lu ", now.wYear, now.wMonth,
                now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds,
                static_cast<unsigned long>(::GetCurrentProcessId()), static_cast<unsigned long>(::GetCurrentThreadId()));
  return prefix;
}

void append(const char* path, const std::string& line) noexcept {
  // FILE_APPEND_DATA alone makes every write land at the current end, whoever else writes.
  const UniqueHandle file(::CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return;
  DWORD written = 0;
  ::WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace

bool diagnosticLogEnabled() noexcept {
  char path[kPathCapacity];
  return logPath(path);
}

void logStep(const char* format, ...) noexcept {
  try {
    char path[kPathCapacity];
    if (!logPath(path)) return;
    char text[kMaxLineBytes];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(text, sizeof text, format, arguments);
    va_end(arguments);
    // Server text can hold line ends: one step stays one line.
    for (char* c = text; *c != '\0'; ++c) {
      if (*c == '\r' || *c == '\n') *c = ' ';
    }
    append(path, linePrefix() + text + "\r\n");
  } catch (...) {
    // A log that cannot be written is no reason to change the call.
  }
}

}  // namespace corvane
