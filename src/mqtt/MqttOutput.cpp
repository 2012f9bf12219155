#include "mqtt/MqttOutput.h"

#include <atomic>
#include <mutex>

#include "mqtt/Log.h"
#include "records/TextCodec.h"
#include "service/ServiceEngine.h"
#include "settings/HistoryConfig.h"

namespace trelvane::mqtt {

// The engine's sink of the stream: hands each batch to the running publisher (Offer never
// waits, so this sink never holds the parse thread back).
class MqttOutput::Feeder final : public EventSink {
  public:
    void Set(std::shared_ptr<Publisher> publisher) {
        std::lock_guard lock(mutex_);
        running_.store(publisher != nullptr, std::memory_order_relaxed);
        publisher_ = std::move(publisher);
    }
    bool Wanted() const override { return running_.load(std::memory_order_relaxed); }
    void Consume(const EventBatch& batch) override {
        std::shared_ptr<Publisher> publisher;
        {
            std::lock_guard lock(mutex_);
            publisher = publisher_;
        }
        if (publisher) {
            publisher->Offer(batch);
        }
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<Publisher> publisher_;
    std::atomic<bool> running_{false};
};

MqttOutput::MqttOutput(ServiceEngine& engine, std::string hostName, QObject* parent)
    : QObject(parent),
      engine_(engine),
      hostName_(std::move(hostName)),
      feeder_(std::make_shared<Feeder>()) {
    engine_.AttachSink("trelvane-mqtt", feeder_);
    connect(&engine_, &ServiceEngine::ServiceStarted, this, &MqttOutput::OnStarted);
    connect(&engine_, &ServiceEngine::ServiceStopped, this, &MqttOutput::OnStopped);
    if (engine_.IsRunning()) {
        OnStarted();  // batches reach it from the next start; the history has the rest
    }
}

MqttOutput::~MqttOutput() {
    OnStopped();
}

void MqttOutput::OnStarted() {
    OnStopped();
    problem_.clear();
    const std::filesystem::path source = engine_.ConfigSource();
    const MqttConfig config = ReadMqttConfig(source, hostName_).value_or(MqttConfig{});
    enabled_ = config.enabled;
    if (!enabled_) {
        return;
    }
    target_ = config.host + ":" + std::to_string(config.port);
    const auto history = engine_.History();
    const HistoryConfig historyConfig = ReadHistoryConfig(source).value_or(HistoryConfig{});
    if (!config.problems.empty()) {
        for (const std::string& problem : config.problems) {
            qCWarning(lcMqtt).noquote() << "mqtt:" << QString::fromStdString(problem);
        }
        problem_ = config.problems.front();
    } else if (!history) {
        problem_ =
            "MQTT needs the history ([History] Enabled=1, and a database that opens): "
            "not started";
    } else if (!historyConfig.reads) {
        problem_ = "MQTT needs the history to keep the reads ([History] Reads=1): not started";
    }
    if (!problem_.empty()) {
        qCWarning(lcMqtt).noquote() << "mqtt:" << QString::fromStdString(problem_);
        engine_.PipelineStatsForOutputs().mqttState = 4;
        return;
    }
    PublisherOptions options;
    options.config = config;
    options.historyPath = history->path;
    options.historyId = history->historyId;
    options.outboxName = ServiceEngine::kMqttOutbox;
    options.codePage = engine_.Config().codePage;
    options.stats = &engine_.PipelineStatsForOutputs();
    options.labels = engine_.Labels();
    options.firstRetry = firstRetry_;
    options.lastRetry = lastRetry_;
    ServiceEngine* engine = &engine_;
    const TextCodec codec = TextCodec::Usable(engine_.Config().codePage);
    options.identity = [engine, codec](const std::string& key) {
        ReaderIdentity identity;
        if (const DeviceRecord device = engine->FindDevice(key)) {
            identity.productType = codec.ToUtf8(device->Text(DeviceText::kProductType));
            identity.serialNo = codec.ToUtf8(device->Text(DeviceText::kSerialNo));
        }
        return identity;
    };
    std::string error;
    std::unique_ptr<Publisher> publisher = Publisher::Start(std::move(options), error);
    if (!publisher) {
        problem_ = "cannot start: " + error;
        qCWarning(lcMqtt).noquote() << "mqtt:" << QString::fromStdString(problem_);
        engine_.PipelineStatsForOutputs().mqttState = 4;
        return;
    }
    qCInfo(lcMqtt).noquote() << "mqtt: publishing to" << QString::fromStdString(target_) << "as"
                             << QString::fromStdString(config.clientId) << "under"
                             << QString::fromStdString(config.topicPrefix);
    publisher_ = std::move(publisher);
    feeder_->Set(publisher_);
}

void MqttOutput::OnStopped() {
    feeder_->Set(nullptr);
    publisher_.reset();
    engine_.PipelineStatsForOutputs().mqttState = 0;
}

MqttOutput::State MqttOutput::CurrentState() const {
    State state;
    state.enabled = enabled_;
    state.problem = problem_;
    state.target = target_;
    if (publisher_) {
        state.publisher = publisher_->CurrentStatus();
    }
    return state;
}

std::string MqttOutput::StatusFields() const {
    const State state = CurrentState();
    if (!state.enabled) {
        return "mqtt=off";
    }
    if (!state.publisher) {
        return "mqtt=unavailable";
    }
    const auto history = engine_.History();
    return std::string("mqtt=") + LinkStateName(state.publisher->state) +
           " mqtt_backlog=" + std::to_string(state.publisher->backlog) +
           " mqtt_published=" + std::to_string(state.publisher->published) +
           " mqtt_lost=" + std::to_string(history ? history->lostToOutput : 0);
}

std::string MqttOutput::BrokerStateText() const {
    const State state = CurrentState();
    if (!state.enabled) {
        return {};
    }
    const std::string head = "MQTT " + state.target + ": ";
    if (!state.publisher) {
        return head + "not running (" + state.problem + ")";
    }
    const PublisherStatus& p = *state.publisher;
    std::string text = head + LinkStateName(p.state);
    if (p.state != LinkState::kConnected && !p.error.empty()) {
        text += " (" + p.error + ")";
    }
    text += p.backlog == 0 ? std::string(", all published")
                           : ", " + std::to_string(p.backlog) + " waiting";
    return text;
}

}  // namespace trelvane::mqtt
