#include "api/HttpServer.h"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <pthread.h>

#include "api/Json.h"
#include "api/Request.h"

namespace trelvane::api {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

HttpServerLimits DefaultLimits() {
    HttpServerLimits limits{kMaxHeaderBytes, kMaxBodyBytes, kHeaderTimeoutSeconds * 1000,
                            kMaxConnections, kMaxWebSocketClients};
    limits.maxUploadBytes = kMaxUploadBytes;
    return limits;
}

namespace {

std::string Text(beast::string_view view) {
    return std::string(view.data(), view.size());
}

// Beast's reason phrases cover every status used here.
http::response<http::string_body> MakeResponse(const HttpResponse& r, unsigned version,
                                               bool keepAlive) {
    http::response<http::string_body> res{static_cast<http::status>(r.status), version};
    res.set(http::field::server, "trelvane");
    res.set(http::field::content_type, r.contentType);
    res.set(http::field::cache_control, "no-store");
    res.set("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : r.headers) {
        res.set(name, value);
    }
    res.keep_alive(keepAlive);
    res.body() = r.body;
    res.prepare_payload();
    return res;
}

// The request as the service sees it, without its body.
HttpRequest ViewOf(const http::request<http::string_body>& req) {
    HttpRequest view;
    view.method = Text(req.method_string());
    view.target = Text(req.target());
    view.host = Text(req[http::field::host]);
    if (const auto it = req.find(http::field::origin); it != req.end()) {
        view.origin = Text(it->value());
    }
    view.authorization = Text(req[http::field::authorization]);
    view.upgrade = websocket::is_upgrade(req);
    return view;
}

}  // namespace

struct HttpServer::Impl {
    Impl(ApiService& s, HttpServerLimits l) : service(s), limits(l), acceptor(ioc) {}

    ApiService& service;
    const HttpServerLimits limits;
    Counters counters;
    std::atomic<bool> stopped{false};
    // Bodies over maxBodyBytes being read or held; the server's thread only (or after it ended).
    std::size_t uploads = 0;

    // The worker for responses' `later` work: one thread, made at the first job, jobs in order.
    // Jobs are bounded by the connections (each waits for its own).
    void Defer(std::function<void()> job) {
        {
            std::lock_guard lock(jobsMutex);
            if (!worker.joinable()) {
                worker = std::thread([this] { Work(); });
            }
            jobs.push_back(std::move(job));
        }
        jobsChanged.notify_one();
    }
    void Work() {
        pthread_setname_np(pthread_self(), "trelvane-api-w");
        std::unique_lock lock(jobsMutex);
        for (;;) {
            jobsChanged.wait(lock, [this] { return workerStop || !jobs.empty(); });
            if (workerStop) {
                return;  // jobs not begun are dropped with their sessions
            }
            std::function<void()> job = std::move(jobs.front());
            jobs.pop_front();
            lock.unlock();
            job();
            lock.lock();
        }
    }
    // After the server's thread has ended: waits for the job under way.
    void StopWorker() {
        stopped = true;
        std::deque<std::function<void()>> dropped;
        {
            std::lock_guard lock(jobsMutex);
            workerStop = true;
            dropped.swap(jobs);
        }
        jobsChanged.notify_all();
        if (worker.joinable()) {
            worker.join();
        }
    }
    std::mutex jobsMutex;
    std::condition_variable jobsChanged;
    std::deque<std::function<void()>> jobs;  // guarded by jobsMutex
    bool workerStop = false;                 // guarded by jobsMutex
    std::thread worker;
    // Last, so they go first: destroying the context destroys the sessions its handlers hold,
    // and they still count themselves off and close their feed clients.
    net::io_context ioc{1};
    tcp::acceptor acceptor;

    void Accept();
};

namespace {

// Counts itself among the open connections while it lives.
class ConnectionSlot {
  public:
    explicit ConnectionSlot(HttpServer::Counters& c) : counters_(c) { ++counters_.openConnections; }
    ~ConnectionSlot() { --counters_.openConnections; }
    ConnectionSlot(const ConnectionSlot&) = delete;
    ConnectionSlot& operator=(const ConnectionSlot&) = delete;

  private:
    HttpServer::Counters& counters_;
};

class WebSocketSession : public std::enable_shared_from_this<WebSocketSession> {
  public:
    WebSocketSession(HttpServer::Impl* server, beast::tcp_stream&& stream)
        : server_(server), slot_(server_->counters), ws_(std::move(stream)), timer_(server_->ioc) {
        ++server_->counters.webSocketClients;
    }
    ~WebSocketSession() {
        --server_->counters.webSocketClients;
        if (client_) {
            server_->service.CloseStream(client_);
        }
    }

    void Start(http::request<http::string_body> request, HttpRequest view) {
        view_ = std::move(view);
        beast::get_lowest_layer(ws_).expires_never();
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().set_option(
            net::socket_base::send_buffer_size(server_->limits.webSocketSendBuffer), ignored);
        ws_.set_option(websocket::stream_base::timeout::suggested(beast::role_type::server));
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& res) { res.set(http::field::server, "trelvane"); }));
        // Clients send nothing but control frames and the odd short message.
        ws_.read_message_max(4096);
        ws_.async_accept(request,
                         [self = shared_from_this()](beast::error_code ec) { self->OnAccept(ec); });
    }

  private:
    void OnAccept(beast::error_code ec) {
        if (ec) {
            return;
        }
        StreamStart start = server_->service.OpenStream(view_);
        client_ = std::move(start.client);
        replayedUpTo_ = start.replayedUpTo;
        for (std::string& message : start.replay) {
            outbox_.push_back(std::move(message));
        }
        ReadLoop();
        if (start.tooFarBehind) {
            Close(websocket::close_code::try_again_later, "too far behind: page the history");
            return;
        }
        Write();
        Tick();
    }

    // Reads (and drops) what the client sends; Beast answers pings and closes meanwhile.
    void ReadLoop() {
        ws_.async_read(in_, [self = shared_from_this()](beast::error_code ec, std::size_t) {
            if (ec) {
                self->closed_ = true;
                self->timer_.cancel();
                return;
            }
            self->in_.consume(self->in_.size());
            self->ReadLoop();
        });
    }

    void Tick() {
        if (closed_ || closing_) {
            return;
        }
        timer_.expires_after(std::chrono::milliseconds(server_->limits.flushIntervalMs));
        timer_.async_wait([self = shared_from_this()](beast::error_code ec) {
            if (!ec) {
                self->Flush();
                self->Tick();
            }
        });
    }

    void Flush() {
        if (closed_ || closing_ || !client_) {
            return;
        }
        if (client_->Overflowed()) {
            ++server_->counters.slowClientsClosed;
            Close(websocket::close_code::try_again_later, "client too slow");
            return;
        }
        if (writing_) {
            return;  // what arrives meanwhile waits in the client's bounded queue
        }
        constexpr std::size_t kKinds = std::size(events::kAllKinds);
        std::string lists[kKinds];
        for (const FeedEvent& e : client_->Take()) {
            if (e.seq <= replayedUpTo_) {
                continue;  // sent from the history already
            }
            std::string& list = lists[static_cast<std::size_t>(e.kind)];
            list += list.empty() ? "" : ",";
            list += e.json;
        }
        // Device events first: a read's reader is known before its read arrives.
        for (std::size_t k = kKinds; k-- > 0;) {
            if (!lists[k].empty()) {
                outbox_.push_back(FeedMessage(events::kAllKinds[k], lists[k], false));
            }
        }
        Write();
    }

    void Write() {
        if (writing_ || outbox_.empty() || closed_) {
            return;
        }
        writing_ = true;
        ws_.text(true);
        ws_.async_write(net::buffer(outbox_.front()),
                        [self = shared_from_this()](beast::error_code ec, std::size_t) {
                            self->writing_ = false;
                            if (ec) {
                                self->closed_ = true;
                                return;
                            }
                            self->outbox_.pop_front();
                            self->Write();
                        });
    }

    void Close(websocket::close_code code, const char* reason) {
        if (closing_ || closed_) {
            return;
        }
        closing_ = true;
        // A write under way still reads the front message: only what waits behind it goes.
        outbox_.erase(writing_ && !outbox_.empty() ? outbox_.begin() + 1 : outbox_.begin(),
                      outbox_.end());
        if (client_) {
            server_->service.CloseStream(client_);
        }
        // The close frame waits for a write under way; a client that never reads again is
        // dropped when the deadline passes.
        timer_.cancel();
        auto deadline = std::make_shared<net::steady_timer>(server_->ioc);
        deadline->expires_after(std::chrono::seconds(5));
        deadline->async_wait([self = shared_from_this(), deadline](beast::error_code ec) {
            if (!ec) {
                beast::error_code ignored;
                beast::get_lowest_layer(self->ws_).socket().close(ignored);
            }
        });
        ws_.async_close(
            websocket::close_reason(code, reason),
            [self = shared_from_this(), deadline](beast::error_code) { deadline->cancel(); });
    }

    HttpServer::Impl* server_;
    ConnectionSlot slot_;
    websocket::stream<beast::tcp_stream> ws_;
    net::steady_timer timer_;
    beast::flat_buffer in_;
    HttpRequest view_;
    std::shared_ptr<FeedClient> client_;
    Sequence replayedUpTo_ = 0;
    std::deque<std::string> outbox_;
    bool writing_ = false;
    bool closing_ = false;
    bool closed_ = false;
};

class HttpSession : public std::enable_shared_from_this<HttpSession> {
  public:
    HttpSession(HttpServer::Impl* server, tcp::socket&& socket)
        : server_(server),
          slot_(server_->counters),
          stream_(std::move(socket)),
          buffer_(server_->limits.maxHeaderBytes + server_->limits.maxBodyBytes) {}

    ~HttpSession() { ReleaseUpload(); }

    void Start() { ReadHeader(); }

  private:
    void ReadHeader() {
        parser_.emplace();
        parser_->header_limit(static_cast<std::uint32_t>(server_->limits.maxHeaderBytes));
        // The route's own limit is set once the head is in (OnHeader); Beast checks a
        // Content-Length against this one while it parses the head.
        parser_->body_limit(std::max(server_->limits.maxBodyBytes, server_->limits.maxUploadBytes));
        // The whole header must be in within the limit, however slowly it trickles.
        stream_.expires_after(std::chrono::milliseconds(server_->limits.headerTimeoutMs));
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code ec, std::size_t) { self->OnHeader(ec); });
    }

    void OnHeader(beast::error_code ec) {
        if (ec == beast::error::timeout) {
            ++server_->counters.headerTimeouts;
            return;  // the stream closed the socket
        }
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow) {
            RefuseTooLarge("request headers too large");
            return;
        }
        if (ec == http::error::body_limit) {
            RefuseTooLarge("request body too large");
            return;
        }
        if (ec) {
            if (ec != http::error::end_of_stream && ec != net::error::eof &&
                ec != net::error::connection_reset && ec != net::error::operation_aborted) {
                Respond(HttpResponse{400, "application/json", ErrorJson("bad request"), {}}, false);
            }
            return;
        }
        const HttpServerLimits& limits = server_->limits;
        HeadVerdict verdict = server_->service.CheckHead(ViewOf(parser_->get()));
        if (verdict.refusal) {
            Respond(*verdict.refusal, false);  // the body is never read
            return;
        }
        const std::size_t limit = verdict.bodyLimit == 0
                                      ? limits.maxBodyBytes
                                      : std::min(verdict.bodyLimit, limits.maxUploadBytes);
        const auto length = parser_->content_length();
        if (length && *length > limit) {
            RefuseTooLarge("request body too large");
            return;
        }
        parser_->body_limit(limit);  // a chunked body is counted as it comes
        const bool upload =
            limit > limits.maxBodyBytes && (!length || *length > limits.maxBodyBytes);
        if (upload) {
            if (server_->uploads >= limits.maxUploads) {
                ++server_->counters.uploadsRefused;
                HttpResponse busy{503,
                                  "application/json",
                                  ErrorJson("another upload is under way: try again later"),
                                  {}};
                busy.headers.emplace_back("Retry-After", "10");
                Respond(busy, false);
                return;
            }
            ++server_->uploads;
            uploading_ = true;
        }
        stream_.expires_after(upload ? std::chrono::milliseconds(limits.uploadTimeoutMs)
                                     : std::chrono::milliseconds(30'000));
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code e, std::size_t) { self->OnRequest(e); });
    }

    void OnRequest(beast::error_code ec) {
        if (ec == http::error::body_limit || ec == http::error::buffer_overflow) {
            RefuseTooLarge("request body too large");
            return;
        }
        if (ec) {
            return;
        }
        ++server_->counters.requests;
        http::request<http::string_body> req = parser_->release();
        HttpRequest view = ViewOf(req);
        view.body = std::move(req.body());
        if (view.upgrade) {
            if (std::optional<HttpResponse> refusal = server_->service.CheckStream(view)) {
                Respond(*refusal, false);
                return;
            }
            if (server_->counters.webSocketClients.load() >= server_->limits.maxWebSocketClients) {
                Respond(
                    HttpResponse{
                        503, "application/json", ErrorJson("too many live feed clients"), {}},
                    false);
                return;
            }
            req.body().clear();
            std::make_shared<WebSocketSession>(server_, std::move(stream_))
                ->Start(std::move(req), std::move(view));
            return;
        }
        version_ = req.version();
        const bool keepAlive = req.keep_alive();
        HttpResponse response = server_->service.Handle(std::move(view));
        if (response.later) {
            RespondLater(std::move(response.later), keepAlive);
            return;
        }
        Respond(response, keepAlive);
    }

    // The work runs on the worker; its response is written from the server's thread.
    void RespondLater(std::function<HttpResponse(const std::atomic<bool>&)> work, bool keepAlive) {
        server_->Defer([self = shared_from_this(), work = std::move(work), keepAlive]() mutable {
            auto response = std::make_shared<HttpResponse>(work(self->server_->stopped));
            HttpServer::Impl* server = self->server_;
            // The worker keeps no reference: the session ends on the server's thread.
            net::post(server->ioc, [self = std::move(self), response, keepAlive] {
                self->Respond(*response, keepAlive);
            });
        });
    }

    void ReleaseUpload() {
        if (uploading_) {
            uploading_ = false;
            --server_->uploads;
        }
    }

    void RefuseTooLarge(const char* what) {
        ++server_->counters.tooLarge;
        // The rest of the request is not read: the connection closes after the answer.
        Respond(HttpResponse{413, "application/json", ErrorJson(what), {}}, false);
    }

    void Respond(const HttpResponse& response, bool keepAlive) {
        ReleaseUpload();  // the body and the work that held it are done with
        auto res = std::make_shared<http::response<http::string_body>>(
            MakeResponse(response, version_, keepAlive));
        stream_.expires_after(std::chrono::seconds(30));
        http::async_write(
            stream_, *res, [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                if (ec || !res->keep_alive()) {
                    beast::error_code ignored;
                    self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                    return;
                }
                self->ReadHeader();
            });
    }

    HttpServer::Impl* server_;
    ConnectionSlot slot_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    unsigned version_ = 11;
    bool uploading_ = false;  // counted in the server's uploads
};

}  // namespace

void HttpServer::Impl::Accept() {
    acceptor.async_accept(ioc, [self = this](beast::error_code ec, tcp::socket socket) {
        if (ec) {
            if (ec == net::error::operation_aborted || self->stopped) {
                return;
            }
            self->Accept();  // e.g. out of descriptors: the next connection may fare better
            return;
        }
        if (self->counters.openConnections.load() >= self->limits.maxConnections) {
            ++self->counters.refusedConnections;
            static constexpr std::string_view kBusy =
                "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\n"
                "Content-Length: 32\r\nConnection: close\r\n\r\n"
                "{\"error\":\"too many connections\"}";
            beast::error_code ignored;
            // A fresh socket's buffer takes these bytes at once; nothing waits here.
            socket.non_blocking(true, ignored);
            socket.write_some(net::buffer(kBusy.data(), kBusy.size()), ignored);
            socket.shutdown(tcp::socket::shutdown_both, ignored);
            socket.close(ignored);
        } else {
            std::make_shared<HttpSession>(self, std::move(socket))->Start();
        }
        self->Accept();
    });
}

HttpServer::HttpServer(ApiService& service, HttpServerLimits limits)
    : impl_(std::make_unique<Impl>(service, limits)) {}

HttpServer::~HttpServer() {
    impl_->StopWorker();
}

bool HttpServer::Listen(const std::string& address, std::uint16_t port, std::string& error) {
    beast::error_code ec;
    const net::ip::address ip =
        net::ip::make_address(address == "localhost" ? "127.0.0.1" : address, ec);
    if (ec) {
        error = "not an IP address: " + address;
        return false;
    }
    const tcp::endpoint endpoint(ip, port);
    impl_->acceptor.open(endpoint.protocol(), ec);
    if (!ec) {
        impl_->acceptor.set_option(net::socket_base::reuse_address(true), ec);
        impl_->acceptor.bind(endpoint, ec);
    }
    if (!ec) {
        impl_->acceptor.listen(net::socket_base::max_listen_connections, ec);
    }
    if (ec) {
        error = "cannot listen on " + address + ":" + std::to_string(port) + ": " + ec.message();
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        return false;
    }
    impl_->Accept();
    return true;
}

std::uint16_t HttpServer::Port() const {
    beast::error_code ec;
    const tcp::endpoint endpoint = impl_->acceptor.local_endpoint(ec);
    return ec ? 0 : endpoint.port();
}

void HttpServer::Run() {
    impl_->ioc.run();
}

void HttpServer::Stop() {
    if (impl_->stopped.exchange(true)) {
        return;
    }
    // `later` work under way sees `stopped` and gives up.
    net::post(impl_->ioc, [impl = impl_.get()] {
        beast::error_code ignored;
        impl->acceptor.close(ignored);
        impl->ioc.stop();
    });
}

const HttpServer::Counters& HttpServer::Stats() const {
    return impl_->counters;
}

}  // namespace trelvane::api
