// Plain WinINet requests to the reference component server, for what the tests ask of it
// directly (its request log, signatures by the test key).
#pragma once

#include <string>
#include <vector>

namespace corvane::testing {

// Body of a GET (no cache). Throws when the request fails.
std::string httpGet(const std::string& url);
// Body of a form POST. Throws when the request fails.
std::string httpPost(const std::string& url, const std::string& body);
// The server's request lines so far ("METHOD PATH") that contain needle.
std::vector<std::string> serverRequestsContaining(const std::string& needle, bool detailed = false);

}  // namespace corvane::testing
