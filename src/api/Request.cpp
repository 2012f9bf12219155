#include "api/Request.h"

#include <array>

namespace trelvane::api {
namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// Percent-decodes; '+' is a space in the query only.
std::optional<std::string> Decode(std::string_view text, bool query) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size()) {
                return std::nullopt;
            }
            const int hi = HexDigit(text[i + 1]);
            const int lo = HexDigit(text[i + 2]);
            if (hi < 0 || lo < 0 || (hi == 0 && lo == 0)) {
                return std::nullopt;
            }
            out += static_cast<char>(hi * 16 + lo);
            i += 2;
        } else if (c == '+' && query) {
            out += ' ';
        } else {
            out += c;
        }
    }
    return out;
}

std::string_view HostPart(std::string_view host) {
    if (!host.empty() && host.front() == '[') {
        const std::size_t close = host.find(']');
        return close == std::string_view::npos ? std::string_view() : host.substr(1, close - 1);
    }
    const std::size_t colon = host.find(':');
    return colon == std::string_view::npos ? host : host.substr(0, colon);
}

bool IsIpv4Literal(std::string_view s) {
    int parts = 0;
    std::size_t i = 0;
    while (i <= s.size()) {
        std::size_t j = i;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
            ++j;
        }
        if (j == i || j - i > 3) {
            return false;
        }
        ++parts;
        if (j == s.size()) {
            break;
        }
        if (s[j] != '.') {
            return false;
        }
        i = j + 1;
    }
    return parts == 4;
}

bool IsIpv6Literal(std::string_view s) {
    if (s.empty() || s.find(':') == std::string_view::npos) {
        return false;
    }
    for (const char c : s) {
        if (!(HexDigit(c) >= 0 || c == ':' || c == '.')) {
            return false;
        }
    }
    return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string_view> Target::Value(std::string_view key) const {
    for (const auto& [k, v] : query) {
        if (k == key) {
            return std::string_view(v);
        }
    }
    return std::nullopt;
}

std::optional<Target> ParseTarget(std::string_view target) {
    if (target.empty() || target.front() != '/') {
        return std::nullopt;
    }
    Target out;
    const std::size_t q = target.find('?');
    std::optional<std::string> path = Decode(target.substr(0, q), false);
    if (!path) {
        return std::nullopt;
    }
    out.path = std::move(*path);
    if (q == std::string_view::npos) {
        return out;
    }
    std::string_view rest = target.substr(q + 1);
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        const std::size_t eq = pair.find('=');
        auto key = Decode(pair.substr(0, eq), true);
        auto value =
            Decode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1), true);
        if (!key || !value) {
            return std::nullopt;
        }
        out.query.emplace_back(std::move(*key), std::move(*value));
    }
    return out;
}

std::optional<std::uint64_t> ParseUnsigned(std::string_view text) {
    if (text.empty() || text.size() > 20) {
        return std::nullopt;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return std::nullopt;
        }
        value = value * 10 + digit;
    }
    return value;
}

std::optional<std::int64_t> ParseSigned(std::string_view text) {
    const bool negative = !text.empty() && text.front() == '-';
    if (negative) {
        text.remove_prefix(1);
    }
    const std::optional<std::uint64_t> magnitude = ParseUnsigned(text);
    if (!magnitude || *magnitude > static_cast<std::uint64_t>(INT64_MAX)) {
        return std::nullopt;
    }
    const auto value = static_cast<std::int64_t>(*magnitude);
    return negative ? -value : value;
}

Route RouteRequest(std::string_view method, std::string_view path) {
    Route route;
    const bool get = method == "GET";
    const bool post = method == "POST";
    const bool del = method == "DELETE";
    const bool put = method == "PUT";
    const auto only = [&](bool allowed, Endpoint endpoint) {
        route.endpoint = allowed ? endpoint : Endpoint::kMethodNotAllowed;
        return route;
    };
    if (path == "/" || path == "/index.html") {
        return only(get, Endpoint::kPage);
    }
    if (path == "/app.js" || path == "/style.css") {
        route.asset = std::string(path.substr(1));
        return only(get, Endpoint::kAsset);
    }
    if (path == "/healthz") {
        return only(get, Endpoint::kHealthz);
    }
    if (path == "/metrics") {
        return only(get, Endpoint::kMetrics);
    }
    constexpr std::string_view kPrefix = "/api/v1/";
    if (path.substr(0, kPrefix.size()) != kPrefix) {
        return route;
    }
    const std::string_view rest = path.substr(kPrefix.size());
    if (rest == "status") {
        return only(get, Endpoint::kStatus);
    }
    if (rest == "readers") {
        return only(get, Endpoint::kReaders);
    }
    if (rest == "tags") {
        if (del) {
            return only(true, Endpoint::kClearTags);
        }
        return only(get, Endpoint::kTags);
    }
    if (rest == "tags/export") {
        return only(get, Endpoint::kTagsExport);
    }
    if (rest == "reads") {
        return only(get, Endpoint::kReads);
    }
    if (rest == "presence") {
        return only(get, Endpoint::kPresence);
    }
    if (rest == "stream") {
        return only(get, Endpoint::kStream);
    }
    if (rest == "zones") {
        return only(get, Endpoint::kZones);
    }
    if (rest == "assets") {
        return only(get, Endpoint::kAssets);
    }
    if (rest == "alerts/events") {
        return only(get, Endpoint::kAlertEvents);
    }
    if (rest == "alerts") {
        return only(get, Endpoint::kAlerts);
    }
    if (rest == "rules") {
        return only(get, Endpoint::kRules);
    }
    constexpr std::string_view kAlertsSlash = "alerts/";
    constexpr std::string_view kAck = "/ack";
    if (rest.substr(0, kAlertsSlash.size()) == kAlertsSlash &&
        rest.size() > kAlertsSlash.size() + kAck.size() &&
        rest.substr(rest.size() - kAck.size()) == kAck) {
        route.key = std::string(
            rest.substr(kAlertsSlash.size(), rest.size() - kAlertsSlash.size() - kAck.size()));
        return only(post, Endpoint::kAckAlert);
    }
    constexpr std::string_view kRulesSlash = "rules/";
    if (rest.substr(0, kRulesSlash.size()) == kRulesSlash && rest.size() > kRulesSlash.size()) {
        route.key = std::string(rest.substr(kRulesSlash.size()));
        if (put || del) {
            return only(true, put ? Endpoint::kSetRule : Endpoint::kRemoveRule);
        }
        return only(false, Endpoint::kSetRule);
    }
    constexpr std::string_view kZones = "zones/";
    if (rest.substr(0, kZones.size()) == kZones && rest.size() > kZones.size()) {
        std::string_view name = rest.substr(kZones.size());
        constexpr std::string_view kTags = "/tags";
        if (get && name == "events") {
            return only(true, Endpoint::kZoneEvents);
        }
        if (get && name.size() > kTags.size() && name.substr(name.size() - kTags.size()) == kTags) {
            route.key = std::string(name.substr(0, name.size() - kTags.size()));
            return only(true, Endpoint::kZoneTags);
        }
        route.key = std::string(name);
        if (put || del) {
            return only(true, put ? Endpoint::kSetZone : Endpoint::kRemoveZone);
        }
        return only(false, Endpoint::kSetZone);
    }
    constexpr std::string_view kAssets = "assets/";
    if (rest.substr(0, kAssets.size()) == kAssets && rest.size() > kAssets.size()) {
        const std::string_view tag = rest.substr(kAssets.size());
        if (tag == "import") {
            return only(post, Endpoint::kImportAssets);
        }
        route.key = std::string(tag);
        if (put || del) {
            return only(true, put ? Endpoint::kSetAsset : Endpoint::kRemoveAsset);
        }
        return only(false, Endpoint::kSetAsset);
    }
    constexpr std::string_view kWhere = "where/";
    if (rest.substr(0, kWhere.size()) == kWhere && rest.size() > kWhere.size()) {
        route.key = std::string(rest.substr(kWhere.size()));
        return only(get, Endpoint::kWhere);
    }
    constexpr std::string_view kReaders = "readers/";
    if (rest.substr(0, kReaders.size()) != kReaders) {
        return route;
    }
    const std::string_view keyAndAction = rest.substr(kReaders.size());
    const std::size_t slash = keyAndAction.find('/');
    const std::string_view key = keyAndAction.substr(0, slash);
    if (key.empty()) {
        return route;
    }
    route.key = std::string(key);
    if (slash == std::string_view::npos) {
        if (del) {
            return only(true, Endpoint::kDisconnect);
        }
        return only(get, Endpoint::kReader);
    }
    static constexpr std::array<std::pair<std::string_view, Endpoint>, 5> kActions = {{
        {"start-read", Endpoint::kStartRead},
        {"stop-read", Endpoint::kStopRead},
        {"query-info", Endpoint::kQueryInfo},
        {"atten", Endpoint::kAtten},
        {"carrier", Endpoint::kCarrier},
    }};
    const std::string_view action = keyAndAction.substr(slash + 1);
    for (const auto& [name, endpoint] : kActions) {
        if (action == name) {
            return only(post, endpoint);
        }
    }
    route.key.clear();
    return route;
}

bool IsReaderCommand(Endpoint endpoint) {
    // Every endpoint named, no default: a new one is classified here or the build fails.
    switch (endpoint) {
        case Endpoint::kStartRead:
        case Endpoint::kStopRead:
        case Endpoint::kQueryInfo:
        case Endpoint::kAtten:
        case Endpoint::kCarrier:
        case Endpoint::kDisconnect:
            return true;
        case Endpoint::kNotFound:
        case Endpoint::kMethodNotAllowed:
        case Endpoint::kPage:
        case Endpoint::kAsset:
        case Endpoint::kHealthz:
        case Endpoint::kMetrics:
        case Endpoint::kStatus:
        case Endpoint::kReaders:
        case Endpoint::kReader:
        case Endpoint::kTags:
        case Endpoint::kTagsExport:
        case Endpoint::kClearTags:
        case Endpoint::kReads:
        case Endpoint::kPresence:
        case Endpoint::kStream:
        case Endpoint::kZones:
        case Endpoint::kZoneEvents:
        case Endpoint::kZoneTags:
        case Endpoint::kSetZone:
        case Endpoint::kRemoveZone:
        case Endpoint::kAssets:
        case Endpoint::kSetAsset:
        case Endpoint::kRemoveAsset:
        case Endpoint::kImportAssets:
        case Endpoint::kWhere:
        case Endpoint::kAlertEvents:
        case Endpoint::kAlerts:
        case Endpoint::kAckAlert:
        case Endpoint::kRules:
        case Endpoint::kSetRule:
        case Endpoint::kRemoveRule:
            return false;
    }
    return false;
}

bool ChangesSite(Endpoint endpoint) {
    return endpoint == Endpoint::kSetZone || endpoint == Endpoint::kRemoveZone ||
           endpoint == Endpoint::kSetAsset || endpoint == Endpoint::kRemoveAsset ||
           endpoint == Endpoint::kImportAssets || endpoint == Endpoint::kSetRule ||
           endpoint == Endpoint::kRemoveRule;
}

bool ChangesState(Endpoint endpoint) {
    return endpoint == Endpoint::kClearTags || endpoint == Endpoint::kAckAlert ||
           IsReaderCommand(endpoint) || ChangesSite(endpoint);
}

bool IsLoopbackAddress(std::string_view address) {
    if (EqualsIgnoreCase(address, "localhost") || address == "::1" || address == "[::1]") {
        return true;
    }
    return IsIpv4Literal(address) && address.substr(0, 4) == "127.";
}

bool HostAllowed(std::string_view host, std::string_view configuredAddress) {
    const std::string_view name = HostPart(host);
    if (name.empty()) {
        return false;
    }
    if (EqualsIgnoreCase(name, "localhost") || name == "127.0.0.1" || name == "::1") {
        return true;
    }
    if (EqualsIgnoreCase(name, configuredAddress)) {
        return true;
    }
    const bool wildcard = configuredAddress == "0.0.0.0" || configuredAddress == "::";
    return wildcard && (IsIpv4Literal(name) || IsIpv6Literal(name));
}

bool OriginAllowed(std::string_view origin, std::string_view configuredAddress) {
    for (const std::string_view scheme :
         {std::string_view("http://"), std::string_view("https://")}) {
        if (origin.substr(0, scheme.size()) == scheme) {
            const std::string_view host = origin.substr(scheme.size());
            if (host.find('/') != std::string_view::npos) {
                return false;
            }
            return HostAllowed(host, configuredAddress);
        }
    }
    return false;
}

bool BearerMatches(std::string_view authorization, std::string_view token) {
    constexpr std::string_view kScheme = "Bearer ";
    if (token.empty() || authorization.substr(0, kScheme.size()) != kScheme) {
        return false;
    }
    const std::string_view given = authorization.substr(kScheme.size());
    // Every byte of the configured token is compared, whatever the given length: the time
    // says nothing about where the texts differ.
    unsigned char diff = given.size() == token.size() ? 0 : 1;
    for (std::size_t i = 0; i < token.size(); ++i) {
        const char g = i < given.size() ? given[i] : '\0';
        diff |= static_cast<unsigned char>(g ^ token[i]);
    }
    return diff == 0;
}

Access CheckAccess(Endpoint endpoint, bool loopback, std::string_view authorization,
                   std::string_view token) {
    if (endpoint == Endpoint::kHealthz) {
        return Access::kAllowed;
    }
    const bool needsToken = ChangesState(endpoint) || !loopback;
    if (!needsToken) {
        return Access::kAllowed;
    }
    return BearerMatches(authorization, token) ? Access::kAllowed : Access::kUnauthorized;
}

}  // namespace trelvane::api
