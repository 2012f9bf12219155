#pragma once

// The answers the site register's endpoints share (zones, assets, rules, alerts).

#include <atomic>
#include <cstdint>
#include <functional>
#include <string_view>

#include "api/HttpServer.h"
#include "site/Register.h"

namespace trelvane::api {

// Work to run on the server's worker, off the connection's thread.
HttpResponse Later(std::function<HttpResponse(const std::atomic<bool>&)> work);
// {"error":…[,"field":…][,"line":N]}
HttpResponse FieldError(int status, std::string_view message, std::string_view field,
                        std::uint64_t line = 0);
// A register's fault as its status: 400, 409, 404, or 500.
HttpResponse FaultResponse(const site::Fault& fault);

}  // namespace trelvane::api
