// An opt-in trace of what a call did, for the people who deploy the control: the methods
// report only refusals, so without it a failed handshake, a 404 catalog or a library that
// cannot be loaded all look alike.
//
// Enabled when the environment variable CORVANE_INSTALLER_LOG names a file. Each line is
// appended with one write to a file opened for shared append, so several hosts can log to
// one file. A log that cannot be written is ignored: logging never changes what a call does.
#pragma once

namespace corvane {

constexpr char kDiagnosticLogVariable[] = "CORVANE_INSTALLER_LOG";

bool diagnosticLogEnabled() noexcept;

// printf-style text of one line, without its end; the timestamp (UTC), process and thread
// ids are put in front of it.
void logStep(const char* format, ...) noexcept
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;

}  // namespace corvane
