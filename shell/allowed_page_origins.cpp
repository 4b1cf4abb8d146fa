// The build's ALLOWED_PAGE_ORIGINS setting, kept in its own unit so that only this file
// is rebuilt when it changes, and a test can link the same objects with a list of its own.
#include "generated/allowed_page_origins.h"
#include "shell/page_lock.h"

namespace corvane {
const char kAllowedPageOrigins[] = CORVANE_ALLOWED_PAGE_ORIGINS;
}  // namespace corvane
