#pragma once

// The engine of the service tests (virtual time, simulated readers on loopback) with an
// ApiServer beside it on a port of the system's choosing. Requests run on a thread of their
// own while the test's event loop turns, since the engine answers the API on that loop.

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <future>

#include "api/ApiClient.h"
#include "api/ApiServer.h"
#include "service/EngineFixture.h"

namespace trelvane::test {

inline constexpr const char* kToken = "s3cret-token";

// A parsed JSON value with string keys (the build forbids Qt's implicit const char* casts).
struct J {
    QJsonValue v;
    J operator[](const char* key) const { return J{v.toObject().value(QLatin1String(key))}; }
    J toObject() const { return *this; }
    std::vector<J> toArray() const {
        std::vector<J> out;
        for (const QJsonValue& item : v.toArray()) {
            out.push_back(J{item});
        }
        return out;
    }
    int toInt() const { return v.toInt(); }
    qint64 toInteger() const { return v.toInteger(); }
    bool toBool() const { return v.toBool(); }
    std::string str() const { return v.toString().toStdString(); }
};

inline J ParseJson(const std::string& text) {
    return J{QJsonDocument::fromJson(QByteArray::fromStdString(text)).object()};
}

class ApiFixture : public EngineFixture {
  protected:
    ~ApiFixture() override {
        if (api) {
            api->Stop();
        }
    }

    // Makes the API (before the engine starts, as the programs do) and starts the service.
    void StartAll(ApiServer::Options options = {}, const EngineSettings& settings = {},
                  std::string token = kToken) {
        api = std::make_unique<ApiServer>(Engine(), options);
        Start(settings);
        ApiConfig config;
        config.enabled = true;
        config.port = 0;
        config.token = std::move(token);
        ASSERT_EQ(api->Start(config), ApiServer::StartResult::kStarted) << api->Problem();
    }

    std::uint16_t Port() const { return api->Port(); }

    Reply Request(RequestParts parts, int timeoutMs = 15000) {
        const std::uint16_t port = Port();
        auto future = std::async(std::launch::async, [port, parts] { return Fetch(port, parts); });
        EXPECT_TRUE(WaitUntil(
            [&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; },
            timeoutMs));
        return future.get();
    }
    Reply Get(const std::string& target) { return Request({"GET", target, "127.0.0.1", {}, {}}); }
    Reply Send(const std::string& method, const std::string& target, std::string body = {},
               const std::string& token = kToken) {
        RequestParts parts{method, target, "127.0.0.1", std::move(body), {}};
        if (!token.empty()) {
            parts.headers.emplace_back("Authorization", "Bearer " + token);
        }
        return Request(parts);
    }

    static J Json(const Reply& reply) { return ParseJson(reply.body); }
    static std::string Str(const J& v) { return v.str(); }

    // Stops every reader's reports (a rate so low nothing more is due) and waits until the
    // engine has taken in everything they sent.
    void Quiesce() {
        for (auto& reader : readers) {
            reader->SetRate(1e-9);
        }
        std::uint64_t sent = 0;
        ASSERT_TRUE(WaitUntil(
            [&] {
                sent = 0;
                for (auto& reader : readers) {
                    sent += reader->Stats().reportsSent;
                }
                return Engine().WaitForParseIdle() && Engine().Tags().TotalReads() == sent;
            },
            10000))
            << "sent " << sent << ", recorded " << Engine().Tags().TotalReads();
    }

    std::uint64_t ReportsSent() const {
        std::uint64_t sent = 0;
        for (const auto& reader : readers) {
            sent += reader->Stats().reportsSent;
        }
        return sent;
    }

    std::unique_ptr<ApiServer> api;
};

}  // namespace trelvane::test
