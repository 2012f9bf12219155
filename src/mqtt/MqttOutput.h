#pragma once

// The MQTT publisher as a part of a front end (trelvaned, the desktop program): it subscribes
// to the engine's event stream once, and with every start of the service reads the [Mqtt]
// section of the settings file the service read and starts a Publisher when it is enabled;
// with every stop it stops it (the history keeps what was not published yet).
//
// MQTT needs the history (its outbox): with the history off, failed, or without reads, it
// does not start and says why (Problem); the rest of the service runs.
//
// Threading: made, used and destroyed on the engine's thread (the event loop). The stream
// reaches the publisher through a sink thread of the engine; CurrentState may be called from
// the event loop at any time.

#include <QObject>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "mqtt/Publisher.h"

namespace trelvane {

class ServiceEngine;

namespace mqtt {

class MqttOutput final : public QObject {
    Q_OBJECT

  public:
    explicit MqttOutput(ServiceEngine& engine, std::string hostName = LocalHostName(),
                        QObject* parent = nullptr);
    ~MqttOutput() override;

    struct State {
        bool enabled = false;  // [Mqtt] Enabled=1 in the running service's settings
        std::string problem;   // why it does not run although enabled (empty: it runs)
        std::optional<PublisherStatus> publisher;  // while it runs
        std::string target;                        // "host:port"
    };
    State CurrentState() const;

    // The status line's fields: "mqtt=off", "mqtt=unavailable", or
    // "mqtt=connected|connecting|down mqtt_backlog=N mqtt_published=N mqtt_lost=N".
    std::string StatusFields() const;

    // One line for a person (the desktop's status bar): "" while MQTT is off, else e.g.
    // "MQTT 127.0.0.1:1883: connected, all published" or "MQTT …: down (reason), 1200 waiting".
    std::string BrokerStateText() const;

    // Tests shorten the reconnection back-off.
    void SetRetryBounds(std::chrono::milliseconds first, std::chrono::milliseconds last) {
        firstRetry_ = first;
        lastRetry_ = last;
    }

  private:
    class Feeder;
    void OnStarted();
    void OnStopped();

    ServiceEngine& engine_;
    const std::string hostName_;
    std::shared_ptr<Feeder> feeder_;
    std::shared_ptr<Publisher> publisher_;
    bool enabled_ = false;
    std::string problem_;
    std::string target_;
    std::chrono::milliseconds firstRetry_{1000};
    std::chrono::milliseconds lastRetry_{60000};
};

}  // namespace mqtt
}  // namespace trelvane
