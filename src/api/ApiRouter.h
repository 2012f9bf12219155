#pragma once

// What each request means: the access rules, then the endpoint, which reads the engine's
// tables or sends its commands through the EngineGate (on the engine's thread), or queries the
// history (on the server's thread, with a Reader of its own). The site register's file is
// touched only by `later` work on the server's worker (SiteRoutes.cpp): an import holds the
// register for seconds, and nothing on the server's thread waits for it.
//
// Threads: every method runs on the server's thread; only the gate's functions run on the
// engine's, and the responses' `later` work on the server's worker.

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "api/EngineGate.h"
#include "api/HttpServer.h"
#include "api/LiveFeed.h"
#include "api/Metrics.h"
#include "api/Request.h"
#include "history/Reader.h"
#include "settings/ApiConfig.h"

namespace trelvane {
class ServiceEngine;
}

namespace trelvane::api {

struct PageAssets {
    std::string page;
    std::string script;
    std::string style;
};

class ApiRouter final : public ApiService {
  public:
    ApiRouter(ServiceEngine& engine, QObject* engineContext, std::shared_ptr<LiveFeed> feed,
              ApiConfig config, PageAssets assets, std::size_t maxClientEvents,
              std::chrono::milliseconds engineTimeout);

    // Before the server's thread runs.
    void SetServer(const HttpServer* server, std::uint16_t port) {
        server_ = server;
        port_ = port;
    }
    EngineGate& Gate() { return gate_; }

    HeadVerdict CheckHead(const HttpRequest& head) override;
    HttpResponse Handle(HttpRequest request) override;
    std::optional<HttpResponse> CheckStream(const HttpRequest& request) override;
    StreamStart OpenStream(const HttpRequest& request) override;
    void CloseStream(const std::shared_ptr<FeedClient>& client) override;

  private:
    // Host, then token: the refusal, or nothing when the request may go on.
    std::optional<HttpResponse> Screen(const HttpRequest& request, const Route& route) const;
    HttpResponse Dispatch(const Route& route, const Target& target, HttpRequest& request);

    HttpResponse Healthz();
    HttpResponse Status();
    HttpResponse Readers(const std::optional<std::string>& key);
    HttpResponse Tags(const Target& target);
    HttpResponse Export();
    HttpResponse ClearTags();
    HttpResponse Command(const Route& route, const std::string& body);
    HttpResponse HistoryPage(Endpoint endpoint, const Target& target);
    HttpResponse Metrics();

    // ---- the site register: zones, assets, where a tag is (SiteRoutes.cpp) ----
    HttpResponse Zones();
    HttpResponse ZoneTags(const std::string& zone, const Target& target);
    HttpResponse SetZone(const std::string& zone, const std::string& body);
    HttpResponse RemoveZone(const std::string& zone);
    HttpResponse Assets(const Target& target);
    HttpResponse SetAsset(const std::string& tag, const std::string& body);
    HttpResponse RemoveAsset(const std::string& tag);
    HttpResponse ImportAssets(const Target& target, std::string body);
    HttpResponse Where(const std::string& subject, const Target& target);
    // ---- rules and alerts (AlertRoutes.cpp) ----
    HttpResponse Rules();
    HttpResponse SetRule(const std::string& name, const std::string& body);
    HttpResponse RemoveRule(const std::string& name);
    HttpResponse OpenAlerts(const Target& target);
    HttpResponse AcknowledgeAlert(const std::string& seq, const std::string& body);
    // The metrics of the register and the zones, appended to /metrics.
    void SiteMetrics(MetricsText& m);
    // The register's labels now, for the event encoder (null: none).
    std::shared_ptr<const events::Labels> CurrentLabels() const;

    // The history of the running service and the code page of its names; nullopt when it is
    // off (or the engine did not answer). Opens or reopens the Reader as needed.
    struct HistoryAccess {
        history::Reader* reader = nullptr;
        int codePage = 936;
        std::string problem;
    };
    HistoryAccess OpenHistory();

    ServiceEngine& engine_;
    std::shared_ptr<LiveFeed> feed_;
    const ApiConfig config_;
    const bool loopback_;
    const PageAssets assets_;
    const std::size_t maxClientEvents_;
    const std::chrono::steady_clock::time_point started_;
    EngineGate gate_;
    const HttpServer* server_ = nullptr;
    std::uint16_t port_ = 0;
    std::optional<history::Reader> history_;
    std::filesystem::path historyPath_;
};

HttpResponse JsonResponse(int status, std::string body);
HttpResponse ErrorResponse(int status, std::string_view message);

}  // namespace trelvane::api
