#include "webhooks/WebhookOutput.h"

#include <utility>

#include "history/Outbox.h"

namespace trelvane::webhooks {

WebhookOutput::WebhookOutput(std::shared_ptr<const EndpointContext> context)
    : context_(std::move(context)) {}

std::unique_ptr<WebhookOutput> WebhookOutput::Start(std::filesystem::path historyPath,
                                                    events::LabelSource labels, Options options,
                                                    std::string& error) {
    auto context = std::make_shared<EndpointContext>();
    if (!options.caFile.empty()) {
        context->cas = TrustedCas::Load(options.caFile, error);
        if (!context->cas) {
            return nullptr;
        }
    }
    context->historyPath = std::move(historyPath);
    context->labels = std::move(labels);
    context->options = std::move(options);
    return std::unique_ptr<WebhookOutput>(new WebhookOutput(std::move(context)));
}

WebhookOutput::~WebhookOutput() {
    std::map<std::string, std::shared_ptr<Endpoint>> endpoints;
    {
        std::lock_guard lock(mutex_);
        endpoints.swap(endpoints_);
    }
    endpoints.clear();  // each stops its thread, outside the lock Notify takes
}

std::string WebhookOutput::Apply(std::vector<Webhook> hooks) {
    if (std::string problem = CheckList(hooks); !problem.empty()) {
        return problem;
    }
    std::lock_guard applying(applyMutex_);
    std::map<std::string, std::shared_ptr<Endpoint>> current;
    {
        std::lock_guard lock(mutex_);
        current = endpoints_;
    }
    std::map<std::string, std::shared_ptr<Endpoint>> next;
    for (const Webhook& hook : hooks) {
        if (current.count(hook.name) != 0) {
            continue;
        }
        std::string error;
        std::unique_ptr<Endpoint> started = Endpoint::Start(hook, context_, error);
        if (!started) {
            // Those started so far stop again as `next` goes; the running list is unchanged.
            return "webhook \"" + hook.name + "\": cannot start: " + error;
        }
        next.emplace(hook.name, std::move(started));
    }
    for (Webhook& hook : hooks) {
        if (const auto found = current.find(hook.name); found != current.end()) {
            found->second->Change(hook);
            next.emplace(hook.name, found->second);
        }
    }
    {
        std::lock_guard lock(mutex_);
        endpoints_.swap(next);
    }
    // `next` now holds the previous list: the endpoints no longer listed stop as it goes.
    next.clear();
    return {};
}

std::string WebhookOutput::Forget(const std::string& name) {
    std::lock_guard applying(applyMutex_);
    {
        std::lock_guard lock(mutex_);
        if (endpoints_.count(name) != 0) {
            return "webhook \"" + name + "\" is running: remove it first";
        }
    }
    if (const history::Status st = history::Outbox::Remove(context_->historyPath, OutboxName(name));
        !st) {
        return st.error().text;
    }
    return {};
}

void WebhookOutput::Notify(Sequence newest) {
    std::lock_guard lock(mutex_);
    for (const auto& [name, endpoint] : endpoints_) {
        endpoint->Notify(newest);
    }
}

std::vector<EndpointStatus> WebhookOutput::Statuses() const {
    std::vector<EndpointStatus> statuses;
    std::lock_guard lock(mutex_);
    statuses.reserve(endpoints_.size());
    for (const auto& [name, endpoint] : endpoints_) {
        statuses.push_back(endpoint->Status());
    }
    return statuses;
}

bool WebhookOutput::Empty() const {
    std::lock_guard lock(mutex_);
    return endpoints_.empty();
}

}  // namespace trelvane::webhooks
