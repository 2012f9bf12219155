#include "api/ApiServer.h"

#include <pthread.h>
#include <QFile>

#include "api/ApiRouter.h"
#include "api/LiveFeed.h"
#include "service/ServiceEngine.h"

static void InitApiResources() {
    Q_INIT_RESOURCE(api);
}

namespace trelvane {
namespace {

std::string Resource(const char* path) {
    QFile file(QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    const QByteArray bytes = file.readAll();
    return std::string(bytes.constData(), static_cast<std::size_t>(bytes.size()));
}

}  // namespace

ApiServer::ApiServer(ServiceEngine& engine, QObject* parent)
    : ApiServer(engine, Options{}, parent) {}

ApiServer::ApiServer(ServiceEngine& engine, Options options, QObject* parent)
    : QObject(parent),
      engine_(engine),
      options_(options),
      feed_(std::make_shared<api::LiveFeed>()) {
    // The feed only copies into its clients' bounded queues, so it needs little room itself.
    engine_.AttachSink("api-feed", feed_, 1 << 16);
    // Names in the feed are converted with the code page of the run.
    connect(&engine_, &ServiceEngine::ServiceStarted, this,
            [this] { feed_->SetCodePage(engine_.Config().codePage); });
}

ApiServer::~ApiServer() {
    Stop();
}

std::string ApiServer::Url() const {
    const bool v6 = config_.address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + config_.address + "]" : config_.address) + ":" +
           std::to_string(port_) + "/";
}

ApiServer::StartResult ApiServer::Start(const ApiConfig& config) {
    if (http_) {
        return StartResult::kStarted;
    }
    problem_.clear();
    config_ = config;
    if (!config.enabled) {
        return StartResult::kDisabled;
    }
    if (!api::IsLoopbackAddress(config.address) && config.token.empty()) {
        problem_ = "the API listens beyond this machine (Address=" + config.address +
                   ") but [Api] Token is empty: the API is not started";
        return StartResult::kNoToken;
    }
    InitApiResources();
    api::PageAssets assets{Resource(":/trelvane/api/index.html"), Resource(":/trelvane/api/app.js"),
                           Resource(":/trelvane/api/style.css")};
    feed_->SetCodePage(engine_.Config().codePage);
    feed_->SetLabels(engine_.Labels());
    router_ = std::make_unique<api::ApiRouter>(engine_, this, feed_, config, std::move(assets),
                                               options_.maxClientEvents, options_.engineTimeout);
    http_ = std::make_unique<api::HttpServer>(*router_, options_.limits);
    if (!http_->Listen(config.address, static_cast<std::uint16_t>(config.port), problem_)) {
        http_.reset();
        router_.reset();
        return StartResult::kListenFailed;
    }
    port_ = http_->Port();
    router_->SetServer(http_.get(), port_);
    feed_->SetActive(true);
    thread_ = std::thread([server = http_.get()] {
        pthread_setname_np(pthread_self(), "trelvane-api");
        server->Run();
    });
    return StartResult::kStarted;
}

void ApiServer::Stop() {
    if (!http_) {
        return;
    }
    feed_->SetActive(false);
    // A request waiting for this thread must not hold the join up.
    router_->Gate().Cancel();
    http_->Stop();
    if (thread_.joinable()) {
        thread_.join();
    }
    http_.reset();
    router_.reset();
    port_ = 0;
}

}  // namespace trelvane
