// What the control can learn about the page that drives it, read from its site.
#pragma once

#include <unknwn.h>

#include "shell/page_lock.h"

namespace corvane {

// The URL of the document that hosts the control, through the client site's container
// or through the site's services, and whether a browser or container stands behind the
// site. Never the top-level browser's location: a listed page that frames a foreign one
// must not lend it its origin.
PageEvidence pageEvidenceOf(IUnknown* site) noexcept;

}  // namespace corvane
