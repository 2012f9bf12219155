#pragma once

// What an operator configures for the webhook output: each endpoint (Webhook) and the options
// all of them share (Options). Check says, in words an operator can act on, why an endpoint
// cannot be used; the REST layer answers 400 with that text.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "events/Event.h"

namespace trelvane::webhooks {

// The bit of a kind in Webhook::kinds.
constexpr std::uint32_t KindBit(events::Kind kind) {
    return std::uint32_t{1} << static_cast<unsigned>(kind);
}
// Every kind an endpoint can take.
inline constexpr std::uint32_t kAllKindBits =
    KindBit(events::Kind::kReads) | KindBit(events::Kind::kPresence) |
    KindBit(events::Kind::kDevices) | KindBit(events::Kind::kZones) |
    KindBit(events::Kind::kAlerts);

struct Webhook {
    std::string name;    // names its cursor in the history ("webhook:<name>") and its log lines
    std::string url;     // http:// or https://, with a host
    std::string secret;  // signs every body (HMAC-SHA256); never empty
    std::uint32_t kinds = kAllKindBits;  // a bit per events::Kind (KindBit)
    friend bool operator==(const Webhook&, const Webhook&) = default;
};

// Empty when `hook` can be used; otherwise why not, e.g.
//   webhook "erp": the URL "ftp://erp.local/in" is not http:// or https://
std::string Check(const Webhook& hook);

// Check of each hook, and no name twice: "" when the list can be run.
std::string CheckList(const std::vector<Webhook>& hooks);

// "reads,presence" for the kinds' bits, in the order of events::kAllKinds.
std::string KindNames(std::uint32_t kinds);

enum class LogLevel { kInfo, kWarning };
// Where the output's lines go (any thread calls it; null: stderr).
using LogFunction = std::function<void(LogLevel level, const std::string& line)>;

struct Options {
    // A PEM file of one or more CA certificates trusted besides the system's (a private CA);
    // empty: the system's CAs alone. Certificates are always verified.
    std::filesystem::path caFile;
    // One delivery attempt: connecting, sending, and the receiver's answer.
    std::chrono::milliseconds timeout{10'000};
    // The wait before retrying a failed batch, doubling from first to last.
    std::chrono::milliseconds firstRetry{1'000};
    std::chrono::milliseconds lastRetry{300'000};
    // How often an idle endpoint looks for new events without being told (Notify).
    std::chrono::milliseconds poll{100};
    // How often a moving cursor is stored: a kill sends again at most what was delivered since.
    std::chrono::milliseconds cursorStore{1'000};
    // One body's bounds.
    std::size_t maxEvents = 1000;
    std::size_t maxBytes = std::size_t{1} << 20;
    LogFunction log;
};

// The URL as logs and statuses show it: scheme, host, port and path, without a user, password
// or query that may hold a credential ("" when it cannot be read).
std::string ShownUrl(const std::string& url);

// The name of an endpoint's cursor in the history's outbox.
std::string OutboxName(std::string_view hookName);

}  // namespace trelvane::webhooks
