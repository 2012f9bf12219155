#include "mqtt/BrokerLink.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace trelvane::mqtt {
namespace {

using std::chrono::milliseconds;

// How long the stop waits for "offline" to leave the socket.
constexpr milliseconds kStopFlushTimeout{1000};

constexpr std::string_view kOnline = "online";
constexpr std::string_view kOffline = "offline";

std::string ErrorText(int rc) {
    return rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc);
}

}  // namespace

BrokerLink::BrokerLink(const MqttConfig& config, const std::string& statusTopic,
                       milliseconds firstRetry, milliseconds lastRetry, Log& log,
                       std::function<void()> welcomed)
    : config_(config),
      statusTopic_(statusTopic),
      firstRetry_(firstRetry),
      lastRetry_(lastRetry),
      log_(log),
      welcomed_(std::move(welcomed)) {}

BrokerLink::~BrokerLink() {
    if (mosq_ != nullptr) {
        mosquitto_destroy(mosq_);
    }
}

void BrokerLink::StartFrom(std::uint64_t cursor) {
    cursor_ = sent_ = cursor;
}

void BrokerLink::OnConnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<BrokerLink*>(self);
    if (rc != 0) {
        link->broken_ =
            std::string("the broker refused the connection: ") +
            (link->config_.protocol == MqttProtocol::kV5 ? mosquitto_reason_string(rc)
                                                         : mosquitto_connack_string(rc));
        return;
    }
    // Publishing is left to Welcome, outside the library's callback (which holds its locks).
    link->connackPending_ = true;
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<BrokerLink*>(self);
    if (!link->broken_) {
        link->broken_ = rc == 0 ? std::string("disconnected")
                                : std::string("connection lost: ") + mosquitto_strerror(rc);
    }
}

void BrokerLink::OnPublish(mosquitto*, void* self, int mid) {
    auto* link = static_cast<BrokerLink*>(self);
    for (InFlightMessage& f : link->inflight_) {
        if (f.mid == mid) {
            f.acked = true;
            break;
        }
    }
    link->PopAcked();
}

void BrokerLink::Drop() {
    if (mosq_ != nullptr) {
        // Whatever the library still holds (at most the messages in flight) goes with it: the
        // next connection sends again from the cursor.
        mosquitto_destroy(mosq_);
        mosq_ = nullptr;
    }
    connected_ = false;
    connackPending_ = false;
    broken_.reset();
    inflight_.clear();
    sent_ = cursor_;
}

void BrokerLink::Fail(std::string why) {
    Drop();  // `why` may have come from `broken_`, which this clears
    state_ = LinkState::kDown;
    error_ = why;
    backoff_ = backoff_.count() == 0 ? firstRetry_ : std::min(backoff_ * 2, lastRetry_);
    nextAttempt_ = SteadyClock::now() + backoff_;
    // Said once per reason, not at every retry of a broker that stays away.
    log_.Say(config_.host + ":" + std::to_string(config_.port) + ": " + why +
                 " - retrying with back-off (" + std::to_string(firstRetry_.count()) + " ms to " +
                 std::to_string(lastRetry_.count()) + " ms)",
             true);
}

void BrokerLink::FailIfBroken() {
    if (broken_) {
        Fail(*broken_);
    }
}

void BrokerLink::Connect() {
    Drop();
    ++attempts_;
    state_ = LinkState::kConnecting;
    mosq_ = mosquitto_new(config_.clientId.c_str(), true, this);
    if (mosq_ == nullptr) {
        Fail(std::string("cannot make a client: ") + std::strerror(errno));
        return;
    }
    mosquitto_int_option(
        mosq_, MOSQ_OPT_PROTOCOL_VERSION,
        config_.protocol == MqttProtocol::kV5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // Our own bound applies (kMaxInFlight); the library must not hold messages back in a queue.
    mosquitto_max_inflight_messages_set(mosq_, 0);
    mosquitto_connect_callback_set(mosq_, &BrokerLink::OnConnect);
    mosquitto_disconnect_callback_set(mosq_, &BrokerLink::OnDisconnect);
    mosquitto_publish_callback_set(mosq_, &BrokerLink::OnPublish);
    if (!config_.username.empty()) {
        mosquitto_username_pw_set(mosq_, config_.username.c_str(),
                                  config_.password.empty() ? nullptr : config_.password.c_str());
    }
    if (!config_.caFile.empty()) {
        const int rc =
            mosquitto_tls_set(mosq_, config_.caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (rc != MOSQ_ERR_SUCCESS) {
            Fail("TLS with CaFile " + config_.caFile + ": " + mosquitto_strerror(rc));
            return;
        }
    }
    mosquitto_will_set(mosq_, statusTopic_.c_str(), static_cast<int>(kOffline.size()),
                       kOffline.data(), config_.qos, true);
    const int rc =
        mosquitto_connect(mosq_, config_.host.c_str(), config_.port, config_.keepAliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        Fail(std::string("cannot connect: ") + ErrorText(rc));
    }
}

// The broker accepted us: publishing starts again from the cursor.
void BrokerLink::Welcome() {
    connackPending_ = false;
    connected_ = true;
    state_ = LinkState::kConnected;
    error_.clear();
    backoff_ = milliseconds(0);
    sent_ = cursor_;
    inflight_.clear();
    log_.Say("connected to " + config_.host + ":" + std::to_string(config_.port) + " as " +
                 config_.clientId + ", publishing from sequence number " +
                 std::to_string(cursor_ + 1),
             false);
    PublishRetained(statusTopic_, kOnline);
    welcomed_();
}

bool BrokerLink::Poll(int wakeFd, int timeoutMs) {
    pollfd fds[2] = {{mosquitto_socket(mosq_), POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (mosquitto_want_write(mosq_)) {
        fds[0].events |= POLLOUT;
    }
    ::poll(fds, 2, timeoutMs);
    int rc = MOSQ_ERR_SUCCESS;
    if ((fds[0].revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
        rc = mosquitto_loop_read(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_)) {
        rc = mosquitto_loop_write(mosq_, 1);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_misc(mosq_);
    }
    if (rc != MOSQ_ERR_SUCCESS && !broken_) {
        broken_ = std::string("connection lost: ") + ErrorText(rc);
    }
    if (!broken_ && connackPending_) {
        Welcome();
    }
    return (fds[1].revents & POLLIN) != 0;
}

void BrokerLink::PopAcked() {
    while (!inflight_.empty() && inflight_.front().acked) {
        cursor_ = std::max(cursor_, inflight_.front().upTo);
        publishedEvents_ += inflight_.front().events;
        inflight_.pop_front();
    }
}

// The last message carries the range's end, so the cursor passes `upTo` only once every
// message of the range was acknowledged.
bool BrokerLink::Send(const std::vector<Message>& messages, std::uint64_t upTo) {
    if (messages.empty()) {
        inflight_.push_back(InFlightMessage{0, upTo, 0, true});
    }
    for (std::size_t i = 0; i < messages.size(); ++i) {
        int mid = 0;
        const Message& m = messages[i];
        const int rc =
            mosquitto_publish(mosq_, &mid, m.topic->c_str(), static_cast<int>(m.payload.size()),
                              m.payload.data(), config_.qos, false);
        if (rc != MOSQ_ERR_SUCCESS) {
            if (!broken_) {
                broken_ = std::string("cannot publish: ") + mosquitto_strerror(rc);
            }
            return false;
        }
        // At QoS 0 the callback may already have run inside the call (the packet was written):
        // it found no entry, so the entry is made acknowledged.
        inflight_.push_back(
            InFlightMessage{mid, i + 1 == messages.size() ? upTo : sent_, m.events, false});
        if (config_.qos == 0 && mid != 0) {
            // on_publish for QoS 0 runs when the packet has been written, possibly during the
            // call above; mark it here only if the library has no more to write.
            if (!mosquitto_want_write(mosq_)) {
                inflight_.back().acked = true;
            }
        }
    }
    sent_ = upTo;
    PopAcked();
    return true;
}

bool BrokerLink::PublishRetained(const std::string& topic, std::string_view payload) {
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                             payload.empty() ? nullptr : payload.data(), config_.qos,
                             true) == MOSQ_ERR_SUCCESS;
}

void BrokerLink::Close() {
    if (mosq_ == nullptr || !connected_ || broken_) {
        return;
    }
    PublishRetained(statusTopic_, kOffline);
    // Acknowledgements still on the way move the cursor; "offline" leaves the socket.
    const auto deadline = SteadyClock::now() + kStopFlushTimeout;
    while (SteadyClock::now() < deadline && !broken_ &&
           (mosquitto_want_write(mosq_) || !inflight_.empty())) {
        pollfd fd{mosquitto_socket(mosq_), POLLIN, 0};
        if (mosquitto_want_write(mosq_)) {
            fd.events |= POLLOUT;
        }
        ::poll(&fd, 1, 20);
        if (mosquitto_loop_read(mosq_, 1) != MOSQ_ERR_SUCCESS &&
            (fd.revents & (POLLIN | POLLERR | POLLHUP)) != 0) {
            break;
        }
        if (mosquitto_loop_write(mosq_, 1) != MOSQ_ERR_SUCCESS) {
            break;
        }
    }
    mosquitto_disconnect(mosq_);
    mosquitto_loop_write(mosq_, 1);
}

}  // namespace trelvane::mqtt
