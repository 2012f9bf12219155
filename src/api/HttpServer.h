#pragma once

// The HTTP and WebSocket transport of the API, on Boost.Beast, run by one thread of its own
// (Run). It holds the hard limits; what a request means is the ApiService's business.
//
// Limits (see Request.h): request headers 8 KiB (413), body 64 KiB (413) unless the service
// allows a route more (at most maxUploadBytes, one such upload at a time, 503 for another),
// 10 s from the start of a request until its headers are in (then the connection is closed),
// 64 connections (more are answered 503 and closed at once), 32 WebSocket clients (503).
//
// Threads: Listen before Run, on any thread; Run on the server's thread until Stop (any thread).
// The ApiService is called on the server's thread only, and must outlive the server (sessions
// still open when it is destroyed close their feed clients through it). A response's `later`
// work runs on the server's worker thread, one job at a time: never on the server's thread.

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "api/LiveFeed.h"

namespace trelvane::api {

struct HttpRequest {
    std::string method;
    std::string target;
    std::string host;
    std::optional<std::string> origin;
    std::string authorization;
    std::string body;
    bool upgrade = false;  // a WebSocket upgrade request
};

struct HttpResponse {
    HttpResponse() = default;
    HttpResponse(int s, std::string type, std::string text,
                 std::vector<std::pair<std::string, std::string>> more = {})
        : status(s),
          contentType(std::move(type)),
          body(std::move(text)),
          headers(std::move(more)) {}

    int status = 200;
    std::string contentType = "application/json";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    // Work too slow for the server's thread (it would hold every other connection): when set,
    // the server runs it on its worker thread and sends the response it returns instead.
    // `stopping` turns true when the server stops; long work gives up then.
    std::function<HttpResponse(const std::atomic<bool>& stopping)> later;
};

// What the service makes of a request before its body is read.
struct HeadVerdict {
    std::optional<HttpResponse> refusal;  // sent at once, the body unread, the connection closed
    std::size_t bodyLimit = 0;            // 0: the server's maxBodyBytes
};

// What a WebSocket client of the feed starts with.
struct StreamStart {
    std::shared_ptr<FeedClient> client;
    std::vector<std::string> replay;  // messages from the history, sent first
    Sequence replayedUpTo = 0;        // live events up to this number were in the replay
    bool tooFarBehind = false;        // the replay would exceed the client's bound: close 1013
};

class ApiService {
  public:
    virtual ~ApiService() = default;
    // The request's head (no body yet): a refusal, or how large a body this route takes.
    virtual HeadVerdict CheckHead(const HttpRequest& /*head*/) { return {}; }
    // Any request but an accepted WebSocket upgrade.
    virtual HttpResponse Handle(HttpRequest request) = 0;
    // An upgrade on the stream's path: nullopt accepts it, a response refuses it.
    virtual std::optional<HttpResponse> CheckStream(const HttpRequest& request) = 0;
    virtual StreamStart OpenStream(const HttpRequest& request) = 0;
    virtual void CloseStream(const std::shared_ptr<FeedClient>& client) = 0;
};

struct HttpServerLimits {
    std::size_t maxHeaderBytes;
    std::size_t maxBodyBytes;
    int headerTimeoutMs;
    std::size_t maxConnections;
    std::size_t maxWebSocketClients;
    int webSocketSendBuffer = 64 * 1024;  // bytes of socket buffer before a client counts slow
    int flushIntervalMs = 100;            // the feed's batches: at most 10 a second
    // The most a route may raise its body limit to, and how many bodies over maxBodyBytes may
    // be in (being read, or held by their `later` work) at once: memory stays bounded.
    std::size_t maxUploadBytes = 0;
    std::size_t maxUploads = 1;
    int uploadTimeoutMs = 120'000;  // to read a body over maxBodyBytes
};

HttpServerLimits DefaultLimits();

class HttpServer {
  public:
    HttpServer(ApiService& service, HttpServerLimits limits);
    ~HttpServer();

    // Binds and listens. False with `error` set when the address is not an IP address or the
    // port cannot be had.
    bool Listen(const std::string& address, std::uint16_t port, std::string& error);
    std::uint16_t Port() const;
    void Run();
    // Also tells `later` work under way to give up; the destructor waits for it.
    void Stop();

    struct Counters {
        std::atomic<std::uint64_t> requests{0};
        std::atomic<std::uint64_t> refusedConnections{0};  // over the connection limit
        std::atomic<std::uint64_t> tooLarge{0};            // 413
        std::atomic<std::uint64_t> headerTimeouts{0};
        std::atomic<std::uint64_t> slowClientsClosed{0};  // 1013
        std::atomic<std::uint64_t> openConnections{0};
        std::atomic<std::uint64_t> webSocketClients{0};
        std::atomic<std::uint64_t> uploadsRefused{0};  // 503: another upload was under way
    };
    const Counters& Stats() const;

    struct Impl;  // the Beast side, in HttpServer.cpp

  private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::api
