// The build's request time-outs, kept in their own unit: a test build links a copy made
// with shorter ones, so that a stalled server costs a test seconds, not minutes.
#include "transfer/http_request.h"

namespace corvane {
const DWORD kConnectTimeoutMs = CORVANE_TRANSFER_TIMEOUT_SECONDS * 1000;
const DWORD kSendTimeoutMs = CORVANE_TRANSFER_TIMEOUT_SECONDS * 1000;
const DWORD kReceiveTimeoutMs = CORVANE_TRANSFER_TIMEOUT_SECONDS * 1000;
const DWORD kRequestDeadlineMs = CORVANE_REQUEST_DEADLINE_SECONDS * 1000;
const DWORD kPackageSpeedWindowMs = CORVANE_PACKAGE_SPEED_WINDOW_SECONDS * 1000;
}  // namespace corvane
