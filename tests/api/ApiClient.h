#pragma once

// An HTTP and WebSocket client for the API's tests, on Boost.Beast, over loopback. Requests
// block, so a test runs them on a thread of their own while its event loop (which the engine
// needs to answer) keeps turning: see ApiFixture::Request.

#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket.hpp>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace trelvane::test {

namespace beast = boost::beast;
namespace http = beast::http;
namespace websocket = beast::websocket;
namespace net = boost::asio;
using tcp = net::ip::tcp;

struct Reply {
    int status = 0;  // 0: no answer (closed, refused, timed out)
    std::string body;
    std::map<std::string, std::string> headers;
    std::string error;
};

struct RequestParts {
    std::string method = "GET";
    std::string target = "/";
    std::string host = "127.0.0.1";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
};

inline Reply Fetch(std::uint16_t port, const RequestParts& parts) {
    Reply reply;
    try {
        net::io_context ioc;
        beast::tcp_stream stream(ioc);
        stream.expires_after(std::chrono::seconds(15));
        stream.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
        http::request<http::string_body> req{http::string_to_verb(parts.method), parts.target, 11};
        if (req.method() == http::verb::unknown) {
            req.method_string(parts.method);
        }
        req.set(http::field::host, parts.host);
        for (const auto& [name, value] : parts.headers) {
            req.set(name, value);
        }
        req.body() = parts.body;
        if (!parts.body.empty() || parts.method == "POST") {
            req.prepare_payload();
        }
        http::write(stream, req);
        beast::flat_buffer buffer;
        http::response_parser<http::string_body> parser;
        parser.body_limit(64 * 1024 * 1024);
        http::read(stream, buffer, parser);
        const auto& res = parser.get();
        reply.status = static_cast<int>(res.result_int());
        reply.body = res.body();
        for (const auto& field : res) {
            reply.headers[std::string(field.name_string())] = std::string(field.value());
        }
        beast::error_code ignored;
        stream.socket().shutdown(tcp::socket::shutdown_both, ignored);
    } catch (const std::exception& e) {
        reply.error = e.what();
    }
    return reply;
}

// A live feed client on a thread of its own: collects every text message until the server
// closes (CloseCode then holds the code) or Stop. While Paused, it reads nothing, so the
// server's writes back up (its receive buffer is made small to let that happen soon).
class FeedReader {
  public:
    FeedReader(std::uint16_t port, std::string target, std::string origin = {},
               int receiveBuffer = 0)
        : thread_([this, port, target = std::move(target), origin = std::move(origin),
                   receiveBuffer] { Run(port, target, origin, receiveBuffer); }) {}
    ~FeedReader() {
        Stop();
        thread_.join();
    }

    void Pause(bool paused) { paused_ = paused; }
    void Stop() {
        stop_ = true;
        std::lock_guard lock(mutex_);
        if (ws_) {
            beast::error_code ignored;
            beast::get_lowest_layer(*ws_).shutdown(tcp::socket::shutdown_both, ignored);
        }
    }

    bool Open() const { return open_; }
    bool Finished() const { return finished_; }
    // The HTTP status of a refused handshake, 101 once accepted.
    int HandshakeStatus() const { return handshakeStatus_; }
    std::optional<int> CloseCode() const {
        std::lock_guard lock(mutex_);
        return closeCode_;
    }
    std::vector<std::string> Messages() const {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    void Run(std::uint16_t port, const std::string& target, const std::string& origin,
             int receiveBuffer) {
        net::io_context ioc;  // outlives the stream: Release runs before it goes
        try {
            tcp::socket socket(ioc);
            socket.open(tcp::v4());
            if (receiveBuffer > 0) {
                socket.set_option(net::socket_base::receive_buffer_size(receiveBuffer));
            }
            socket.connect(tcp::endpoint(net::ip::make_address("127.0.0.1"), port));
            {
                std::lock_guard lock(mutex_);
                ws_.emplace(std::move(socket));
            }
            ws_->set_option(
                websocket::stream_base::decorator([origin](websocket::request_type& req) {
                    if (!origin.empty()) {
                        req.set(http::field::origin, origin);
                    }
                }));
            websocket::response_type res;
            beast::error_code ec;
            ws_->handshake(res, "127.0.0.1", target, ec);
            handshakeStatus_ = static_cast<int>(res.result_int());
            if (ec) {
                Release();
                return;
            }
            open_ = true;
            beast::flat_buffer buffer;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
            while (!stop_ && std::chrono::steady_clock::now() < deadline) {
                if (paused_) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(5));
                    continue;
                }
                ws_->read(buffer, ec);
                if (ec) {
                    std::lock_guard lock(mutex_);
                    if (ec == websocket::error::closed) {
                        closeCode_ = static_cast<int>(ws_->reason().code);
                    }
                    break;
                }
                std::lock_guard lock(mutex_);
                messages_.push_back(beast::buffers_to_string(buffer.data()));
                buffer.consume(buffer.size());
            }
        } catch (const std::exception&) {
        }
        Release();
    }

    // The stream goes with the context it was made on, which is local to Run.
    void Release() {
        std::lock_guard lock(mutex_);
        ws_.reset();
        open_ = false;
        finished_ = true;
    }

    mutable std::mutex mutex_;
    std::optional<websocket::stream<tcp::socket>> ws_;
    std::vector<std::string> messages_;
    std::optional<int> closeCode_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> paused_{false};
    std::atomic<bool> open_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> handshakeStatus_{0};
    std::thread thread_;
};

}  // namespace trelvane::test
