#pragma once

// The local HTTP API of the service: REST under /api/v1, the live feed (WebSocket), /metrics,
// /healthz and the status page. A peer of the window over the same ServiceEngine facade: the
// desktop program and trelvaned both make one beside their engine.
//
// Threads: made, started and stopped on the engine's thread. The HTTP server runs on a thread
// of its own ("trelvane-api") and reaches the engine only through queued calls onto this
// object's thread (see EngineGate); the live feed is a sink of the engine's event stream.

#include <QObject>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "api/HttpServer.h"
#include "settings/ApiConfig.h"

namespace trelvane {

class ServiceEngine;

namespace api {
class ApiRouter;
class LiveFeed;
}  // namespace api

class ApiServer final : public QObject {
    Q_OBJECT

  public:
    struct Options {
        // A live feed client that falls this many events behind is closed (1013).
        std::size_t maxClientEvents = 50'000;
        std::chrono::milliseconds engineTimeout{3000};
        api::HttpServerLimits limits = api::DefaultLimits();
    };

    // Attaches the live feed to `engine`: make the server before the service starts, so the
    // feed sees every run.
    explicit ApiServer(ServiceEngine& engine, QObject* parent = nullptr);
    ApiServer(ServiceEngine& engine, Options options, QObject* parent = nullptr);
    ~ApiServer() override;

    enum class StartResult {
        kStarted,
        kDisabled,      // Enabled=0: nothing listens
        kNoToken,       // a non-loopback address without a token
        kListenFailed,  // Problem() says why
    };
    StartResult Start(const ApiConfig& config);
    void Stop();
    bool IsRunning() const { return http_ != nullptr; }
    // Why the last Start did not start, in words for the log.
    const std::string& Problem() const { return problem_; }
    std::uint16_t Port() const { return port_; }
    // "http://127.0.0.1:7089/" (brackets for IPv6).
    std::string Url() const;

  private:
    ServiceEngine& engine_;
    const Options options_;
    std::shared_ptr<api::LiveFeed> feed_;
    ApiConfig config_;
    std::string problem_;
    std::uint16_t port_ = 0;
    // The router outlives the server: sessions closing at its end still call it.
    std::unique_ptr<api::ApiRouter> router_;
    std::unique_ptr<api::HttpServer> http_;
    std::thread thread_;
};

}  // namespace trelvane
