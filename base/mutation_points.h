// Kill points for the crash-consistency runs of test builds. With CORVANE_CRASH_POINTS
// defined (never in the product), the environment variable CORVANE_CRASH_AT ("before:N"
// or "after:N") ends the process with TerminateProcess right before or right after the
// N-th file-system mutation it makes, and CORVANE_CRASH_LOG names a file that receives
// one line per mutation, so a runner can count them. Without the definition every hook
// is empty and the mutation simply runs.
#pragma once

#include <utility>

#if defined(CORVANE_CRASH_POINTS)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#endif

namespace corvane {

enum class MutationEdge { Before, After };

#if defined(CORVANE_CRASH_POINTS)
namespace crash_points_detail {

struct KillPoint {
  MutationEdge edge = MutationEdge::Before;
  unsigned long number = 0;  // 0: never
};

inline KillPoint killPointFromEnvironment() {
  KillPoint point;
  char text[64] = {};
  const DWORD length = ::GetEnvironmentVariableA("CORVANE_CRASH_AT", text, sizeof text);
  if (length == 0 || length >= sizeof text) return point;
  const char* colon = std::strchr(text, ':');
  if (colon == nullptr) return point;
  point.edge = std::strncmp(text, "after", 5) == 0 ? MutationEdge::After : MutationEdge::Before;
  point.number = std::strtoul(colon + 1, nullptr, 10);
  return point;
}

// The log is opened for each line, so that what a killed process wrote is on disk.
inline void logMutation(unsigned long number, const char* what) {
  char path[MAX_PATH] = {};
  const DWORD length = ::GetEnvironmentVariableA("CORVANE_CRASH_LOG", path, sizeof path);
  if (length == 0 || length >= sizeof path) return;
  if (FILE* log = std::fopen(path, "ab")) {
    std::fprintf(log, "%lu %s\n", number, what);
    std::fclose(log);
  }
}

inline void crashPoint(unsigned long number, const char* what, MutationEdge edge) {
  static const KillPoint killAt = killPointFromEnvironment();
  if (edge == MutationEdge::Before) logMutation(number, what);
  if (killAt.number == number && killAt.edge == edge) ::TerminateProcess(::GetCurrentProcess(), 86);
}

inline unsigned long nextMutationNumber() {
  static unsigned long counter = 0;
  return ++counter;
}

}  // namespace crash_points_detail

// For a mutation whose two sides lie in different callbacks (a cabinet's extraction).
inline unsigned long beginMutation(const char* what) {
  const unsigned long number = crash_points_detail::nextMutationNumber();
  crash_points_detail::crashPoint(number, what, MutationEdge::Before);
  return number;
}
inline void endMutation(unsigned long number, const char* what) {
  crash_points_detail::crashPoint(number, what, MutationEdge::After);
}

// Brackets one mutation; the process may end on either side of it.
template <typename Mutation>
auto mutateFileSystem(const char* what, Mutation&& mutation) {
  const unsigned long number = beginMutation(what);
  auto result = std::forward<Mutation>(mutation)();
  endMutation(number, what);
  return result;
}

#else

inline unsigned long beginMutation(const char*) { return 0; }
inline void endMutation(unsigned long, const char*) {}

template <typename Mutation>
auto mutateFileSystem(const char*, Mutation&& mutation) {
  return std::forward<Mutation>(mutation)();
}

#endif

}  // namespace corvane
