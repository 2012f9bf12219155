#pragma once

// What the API makes of a request before it touches the engine: the target split into path and
// query, the route, the numbers of the query, and the access rules (Host, Origin, token).
// Pure C++ so the request path can be fuzzed and tested without a server.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace trelvane::api {

// The server's hard limits. A peer can fill nothing beyond them.
inline constexpr std::size_t kMaxHeaderBytes = 8 * 1024;
inline constexpr std::size_t kMaxBodyBytes = 64 * 1024;
// The asset import's body: a million assets of ordinary lengths are about 40 MB.
inline constexpr std::size_t kMaxUploadBytes = 128 * 1024 * 1024;
inline constexpr int kHeaderTimeoutSeconds = 10;
inline constexpr std::size_t kMaxConnections = 64;
inline constexpr std::size_t kMaxWebSocketClients = 32;
// History pages.
inline constexpr std::size_t kDefaultPageLimit = 1000;
inline constexpr std::size_t kMaxPageLimit = 10000;

struct Target {
    std::string path;                                        // percent-decoded
    std::vector<std::pair<std::string, std::string>> query;  // decoded, in order

    // The first value of `key`; nullopt when absent.
    std::optional<std::string_view> Value(std::string_view key) const;
};

// Splits an origin-form target ("/a/b?x=1&y=2"). nullopt for anything else: no leading '/',
// a malformed or NUL-producing percent escape.
std::optional<Target> ParseTarget(std::string_view target);

// Decimal digits only, no sign, no overflow.
std::optional<std::uint64_t> ParseUnsigned(std::string_view text);
// Optional minus sign and decimal digits, no overflow.
std::optional<std::int64_t> ParseSigned(std::string_view text);

enum class Endpoint {
    kNotFound,
    kMethodNotAllowed,
    kPage,          // GET /
    kAsset,         // GET /app.js, /style.css
    kHealthz,       // GET /healthz
    kMetrics,       // GET /metrics
    kStatus,        // GET /api/v1/status
    kReaders,       // GET /api/v1/readers
    kReader,        // GET /api/v1/readers/{key}
    kTags,          // GET /api/v1/tags
    kTagsExport,    // GET /api/v1/tags/export
    kClearTags,     // DELETE /api/v1/tags
    kReads,         // GET /api/v1/reads
    kPresence,      // GET /api/v1/presence
    kStream,        // GET /api/v1/stream (WebSocket)
    kStartRead,     // POST /api/v1/readers/{key}/start-read
    kStopRead,      // POST .../stop-read
    kQueryInfo,     // POST .../query-info
    kAtten,         // POST .../atten
    kCarrier,       // POST .../carrier
    kDisconnect,    // DELETE /api/v1/readers/{key}
    kZones,         // GET /api/v1/zones
    kZoneEvents,    // GET /api/v1/zones/events
    kZoneTags,      // GET /api/v1/zones/{name}/tags
    kSetZone,       // PUT /api/v1/zones/{name}
    kRemoveZone,    // DELETE /api/v1/zones/{name}
    kAssets,        // GET /api/v1/assets
    kSetAsset,      // PUT /api/v1/assets/{tag}
    kRemoveAsset,   // DELETE /api/v1/assets/{tag}
    kImportAssets,  // POST /api/v1/assets/import
    kWhere,         // GET /api/v1/where/{tag or label}
    kAlertEvents,   // GET /api/v1/alerts/events
    kAlerts,        // GET /api/v1/alerts
    kAckAlert,      // POST /api/v1/alerts/{seq}/ack
    kRules,         // GET /api/v1/rules
    kSetRule,       // PUT /api/v1/rules/{name}
    kRemoveRule,    // DELETE /api/v1/rules/{name}
};

struct Route {
    Endpoint endpoint = Endpoint::kNotFound;
    // The reader's key for the per-reader endpoints; the zone's name, the asset's tag (as
    // sent), or the tag or label asked for by kWhere.
    std::string key;
    std::string asset;  // the file name for kAsset
};

// `method` as sent ("GET", "PUT", "POST", "DELETE", ...). Any other method is not allowed.
// The path is decoded already, so a zone's name or a label may hold '/': everything after
// "zones/" is the name (less a trailing "/tags" on a GET), everything after "where/" the
// subject. A zone named "events" is set and removed by name; GET zones/events is the events.
Route RouteRequest(std::string_view method, std::string_view path);

// Endpoints that send a command to one reader (or drop it): the per-reader POSTs and DELETE.
bool IsReaderCommand(Endpoint endpoint);

// Endpoints that change the site register (zones and assets).
bool ChangesSite(Endpoint endpoint);

// Endpoints that change something (reader commands, Clear All Record, the site register).
bool ChangesState(Endpoint endpoint);

// 127.0.0.0/8, ::1, "localhost".
bool IsLoopbackAddress(std::string_view address);

// The Host header names this server: its host part (port stripped, brackets kept off) is
// "localhost", "127.0.0.1", "[::1]" or the configured address, or, when the server listens on
// every address (0.0.0.0, ::), any IP literal. A name that is none of these is what a DNS
// rebinding page sends: refused. An absent or empty Host is refused too.
bool HostAllowed(std::string_view host, std::string_view configuredAddress);

// A browser's Origin ("http://host[:port]") whose host passes HostAllowed. An absent Origin
// (a client that is not a browser) is allowed by the caller; "null" and anything else is not.
bool OriginAllowed(std::string_view origin, std::string_view configuredAddress);

// The Authorization header is exactly "Bearer <token>" with the configured token. The
// comparison takes the same time wherever the first difference is. An empty token never
// matches.
bool BearerMatches(std::string_view authorization, std::string_view token);

enum class Access { kAllowed, kUnauthorized };
// Loopback: reads are open, changes need the token. Otherwise everything but /healthz needs it.
Access CheckAccess(Endpoint endpoint, bool loopback, std::string_view authorization,
                   std::string_view token);

}  // namespace trelvane::api
