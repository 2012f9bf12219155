// The API's request path on hostile bytes: a header block and body through Beast's parser with
// the server's limits, then the target, the route, the access rules and the command body. The
// JSON writer's output of whatever bytes arrive must stay valid UTF-8 without control bytes.
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "api/Json.h"
#include "api/Request.h"

namespace {

namespace http = boost::beast::http;

bool ValidJsonText(const std::string& s) {
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20) {
            return false;
        }
        std::size_t n = c < 0x80             ? 1
                        : (c & 0xE0) == 0xC0 ? 2
                        : (c & 0xF0) == 0xE0 ? 3
                        : (c & 0xF8) == 0xF0 ? 4
                                             : 0;
        if (n == 0 || i + n > s.size()) {
            return false;
        }
        for (std::size_t k = 1; k < n; ++k) {
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) {
                return false;
            }
        }
        i += n;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace trelvane::api;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    http::request_parser<http::string_body> parser;
    parser.header_limit(static_cast<std::uint32_t>(kMaxHeaderBytes));
    parser.body_limit(kMaxBodyBytes);
    parser.eager(true);
    boost::beast::error_code ec;
    parser.put(boost::asio::buffer(bytes.data(), bytes.size()), ec);
    if (!ec && parser.is_header_done()) {
        const auto& req = parser.get();
        const std::string target(req.target().data(), req.target().size());
        const std::string method(req.method_string().data(), req.method_string().size());
        const std::string host(req[http::field::host].data(), req[http::field::host].size());
        const std::string auth(req[http::field::authorization].data(),
                               req[http::field::authorization].size());
        if (const auto t = ParseTarget(target)) {
            const Route route = RouteRequest(method, t->path);
            for (const auto& [k, v] : t->query) {
                (void)ParseUnsigned(v);
                (void)ParseSigned(v);
            }
            const Access access = CheckAccess(route.endpoint, IsLoopbackAddress(host), auth, "tok");
            // Nothing that changes state passes without the exact token.
            if (ChangesState(route.endpoint) && access == Access::kAllowed &&
                auth != "Bearer tok") {
                std::abort();
            }
        }
        (void)HostAllowed(host, "127.0.0.1");
        (void)OriginAllowed(host, "0.0.0.0");
        if (parser.is_done()) {
            (void)ParseIndexBody(req.body());
        }
    }
    std::string json;
    trelvane::AppendJsonString(json, bytes);
    if (!ValidJsonText(json)) {
        std::abort();
    }
    return 0;
}
