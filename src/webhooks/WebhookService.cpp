#include "webhooks/WebhookService.h"

#include <QLoggingCategory>
#include <atomic>

#include "service/ServiceEngine.h"

Q_LOGGING_CATEGORY(lcWebhooks, "trelvane.webhooks")

namespace trelvane::webhooks {

// The engine's sink of the stream: passes each batch's last number to the running output
// (Notify never waits), and is not woken while no endpoint runs.
class WebhookService::Notifier final : public EventSink {
  public:
    void Set(std::shared_ptr<WebhookOutput> output) {
        std::lock_guard lock(mutex_);
        output_ = std::move(output);
        wanted_.store(output_ != nullptr && !output_->Empty(), std::memory_order_relaxed);
    }
    bool Wanted() const override { return wanted_.load(std::memory_order_relaxed); }
    void Consume(const EventBatch& batch) override {
        std::shared_ptr<WebhookOutput> output;
        {
            std::lock_guard lock(mutex_);
            output = output_;
        }
        if (output && batch.nextSeq > 0) {
            output->Notify(batch.nextSeq - 1);
        }
    }

  private:
    std::mutex mutex_;
    std::shared_ptr<WebhookOutput> output_;
    std::atomic<bool> wanted_{false};
};

WebhookService::WebhookService(ServiceEngine& engine, Options options, QObject* parent)
    : QObject(parent),
      engine_(engine),
      options_(std::move(options)),
      notifier_(std::make_shared<Notifier>()) {
    if (!options_.log) {
        options_.log = [](LogLevel level, const std::string& line) {
            if (level == LogLevel::kWarning) {
                qCWarning(lcWebhooks).noquote() << QString::fromStdString(line);
            } else {
                qCInfo(lcWebhooks).noquote() << QString::fromStdString(line);
            }
        };
    }
    engine_.AttachSink("trelvane-hooks", notifier_);
    connect(&engine_, &ServiceEngine::ServiceStarted, this, &WebhookService::OnStarted);
    connect(&engine_, &ServiceEngine::ServiceStopped, this, &WebhookService::OnStopped);
    if (engine_.IsRunning()) {
        OnStarted();
    }
}

WebhookService::~WebhookService() {
    OnStopped();
}

void WebhookService::OnStarted() {
    OnStopped();
    const auto history = engine_.History();
    std::lock_guard lock(mutex_);
    problem_.clear();
    if (!history) {
        problem_ =
            "webhooks need the history ([History] Enabled=1, and a database that opens): "
            "not started";
        if (!hooks_.empty()) {
            qCWarning(lcWebhooks).noquote() << QString::fromStdString(problem_);
        }
        return;
    }
    std::string error;
    std::unique_ptr<WebhookOutput> output =
        WebhookOutput::Start(history->path, engine_.Labels(), options_, error);
    if (!output) {
        problem_ = "webhooks cannot start: " + error;
        qCWarning(lcWebhooks).noquote() << QString::fromStdString(problem_);
        return;
    }
    if (std::string refused = output->Apply(hooks_); !refused.empty()) {
        problem_ = refused;  // checked when applied: only a failing libcurl gets here
        qCWarning(lcWebhooks).noquote() << QString::fromStdString(problem_);
    }
    output_ = std::move(output);
    notifier_->Set(output_);
}

void WebhookService::OnStopped() {
    std::shared_ptr<WebhookOutput> output;
    {
        std::lock_guard lock(mutex_);
        output = std::move(output_);
        output_.reset();
    }
    notifier_->Set(nullptr);
    output.reset();  // stops the endpoints, outside the lock
}

std::string WebhookService::Apply(std::vector<Webhook> hooks) {
    std::lock_guard lock(mutex_);
    if (output_) {
        if (std::string refused = output_->Apply(hooks); !refused.empty()) {
            return refused;
        }
    } else if (std::string problem = CheckList(hooks); !problem.empty()) {
        return problem;
    }
    hooks_ = std::move(hooks);
    notifier_->Set(output_);
    return {};
}

std::string WebhookService::Forget(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (!output_) {
        return "the history is not open (the service is stopped): try again while it runs";
    }
    return output_->Forget(name);
}

WebhookService::State WebhookService::CurrentState() const {
    std::lock_guard lock(mutex_);
    State state;
    state.hooks = hooks_;
    state.problem = problem_;
    if (output_) {
        state.endpoints = output_->Statuses();
    }
    return state;
}

}  // namespace trelvane::webhooks
