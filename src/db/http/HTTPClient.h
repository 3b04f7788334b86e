// The HTTP client of the multi-tier login exchange.
#pragma once

#include <string>

#include "common/SysUtils.h"

namespace orvo {

// A request that did not end in a success status. ErrorCode() is the HTTP status, or 0 when
// no response arrived.
ORVO_DECLARE_EXCEPTION(EHTTPError, ECodedError);

// Posts `body` as an HTTP/1.0 form to an http URL, directly (never through a proxy), and
// returns the response body of a 2xx status unchanged. EHTTPError for anything else,
// redirects included.
std::string PostForm(const std::string& url, const std::string& body);

}  // namespace orvo
