#pragma once

// The signature of a delivery: "sha256=" and the lowercase hex HMAC-SHA256 of the exact body
// bytes, keyed with the endpoint's secret (X-Trelvane-Signature). A receiver computes the same
// over the bytes it received and compares in constant time.

#include <string>
#include <string_view>

namespace trelvane::webhooks {

std::string Signature(std::string_view secret, std::string_view body);

}  // namespace trelvane::webhooks
