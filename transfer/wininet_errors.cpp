#include "transfer/wininet_errors.h"

namespace corvane {
namespace {

struct KnownError {
  unsigned long number;
  const char* name;
  const char* words;  // null: the name says enough
};

const KnownError kKnownErrors[] = {
    {12002, "ERROR_INTERNET_TIMEOUT", "the server did not answer within the time-out"},
    {12004, "ERROR_INTERNET_INTERNAL_ERROR", nullptr},
    {12005, "ERROR_INTERNET_INVALID_URL", nullptr},
    {12007, "ERROR_INTERNET_NAME_NOT_RESOLVED", "the server's name could not be resolved"},
    {12017, "ERROR_INTERNET_OPERATION_CANCELLED", nullptr},
    {12029, "ERROR_INTERNET_CANNOT_CONNECT", "connection refused: nothing listens at that address and port, or a "
                                             "firewall drops it"},
    {12030, "ERROR_INTERNET_CONNECTION_ABORTED", "the connection was closed before the answer was complete"},
    {12031, "ERROR_INTERNET_CONNECTION_RESET", "the server reset the connection"},
    {12037, "ERROR_INTERNET_SEC_CERT_DATE_INVALID", "the server's certificate has expired or is not yet valid"},
    {12038, "ERROR_INTERNET_SEC_CERT_CN_INVALID", "the server's certificate is for another name than BaseURL's host"},
    {12044, "ERROR_INTERNET_CLIENT_AUTH_CERT_NEEDED", "the server asks for a client certificate"},
    {12045, "ERROR_INTERNET_INVALID_CA", "the server's certificate chain ends in a root this machine does not trust"},
    {12055, "ERROR_INTERNET_SEC_CERT_ERRORS", "the server's certificate has errors"},
    {12056, "ERROR_INTERNET_SEC_CERT_NO_REV", "the certificate's revocation status could not be checked"},
    {12057, "ERROR_INTERNET_SEC_CERT_REV_FAILED",
     "the revocation check of the server's certificate failed; Wine also reports a chain that ends in an "
     "untrusted root this way"},
    {12152, "ERROR_HTTP_INVALID_SERVER_RESPONSE", "the server's answer is not HTTP"},
    {12157, "ERROR_INTERNET_SECURITY_CHANNEL_ERROR", "the TLS handshake failed"},
    {12163, "ERROR_INTERNET_DISCONNECTED", "this machine has no network connection"},
    {12164, "ERROR_INTERNET_SERVER_UNREACHABLE", nullptr},
    {12165, "ERROR_INTERNET_PROXY_SERVER_UNREACHABLE", nullptr},
    {12169, "ERROR_INTERNET_SEC_INVALID_CERT", "the server's certificate is invalid"},
    {12170, "ERROR_INTERNET_SEC_CERT_REVOKED", "the server's certificate was revoked"},
};

}  // namespace

std::string winInetErrorText(unsigned long error) {
  for (const KnownError& known : kKnownErrors) {
    if (known.number != error) continue;
    std::string text = std::to_string(error) + " " + known.name;
    if (known.words) text += std::string(" (") + known.words + ")";
    return text;
  }
  return "error " + std::to_string(error);
}

}  // namespace corvane
