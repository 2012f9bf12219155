#pragma once

// The webhook output as a part of a front end (trelvaned, the desktop program): it keeps the
// endpoint list it was given (Apply), and with every start of the service runs a WebhookOutput
// over the service's history with the register's labels; with every stop it stops it (the
// history keeps what was not delivered). A sink of the engine's stream tells the endpoints
// when new numbers pass, so they look at the history at once.
//
// Webhooks need the history (their cursors and backlog live there): without it they do not
// run and Problem says why; the rest of the service runs.
//
// Threading: made and destroyed on the engine's thread (the event loop), which also delivers
// the start and stop; Apply, Forget and CurrentState from any thread (the API's).

#include <QObject>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "webhooks/WebhookOutput.h"

namespace trelvane {

class ServiceEngine;

namespace webhooks {

class WebhookService final : public QObject {
    Q_OBJECT

  public:
    // Options::log is set here (the "trelvane.webhooks" category) unless the caller set one.
    explicit WebhookService(ServiceEngine& engine, Options options = {}, QObject* parent = nullptr);
    ~WebhookService() override;

    // The endpoints to run, now and at every later start (WebhookOutput::Apply): "" when
    // taken, else why not (nothing changed).
    std::string Apply(std::vector<Webhook> hooks);
    // Drops the cursor of an endpoint no longer listed (WebhookOutput::Forget); refused while
    // the service, and so its history, is not running.
    std::string Forget(const std::string& name);

    struct State {
        std::vector<Webhook> hooks;             // as applied
        std::string problem;                    // why they do not run (empty: they run, or none)
        std::vector<EndpointStatus> endpoints;  // while they run
    };
    State CurrentState() const;

  private:
    class Notifier;
    void OnStarted();
    void OnStopped();

    ServiceEngine& engine_;
    Options options_;
    std::shared_ptr<Notifier> notifier_;
    mutable std::mutex mutex_;
    std::vector<Webhook> hooks_;             // under mutex_
    std::string problem_;                    // under mutex_
    std::shared_ptr<WebhookOutput> output_;  // under mutex_
};

}  // namespace webhooks
}  // namespace trelvane
