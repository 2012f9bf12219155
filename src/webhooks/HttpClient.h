#pragma once

// The POST of a body to an endpoint, over libcurl (Debian's OpenSSL flavour): the connection is
// kept alive between posts; certificates are always verified, against the system's CAs and
// the CAs of Options::caFile when it is set; a post may be cancelled from another thread at
// any moment (a stop does not wait out a slow receiver), and waiting between posts ends early
// when Wake is called.
//
// Threads: one thread at a time (the endpoint's own) posts and waits; Wake from any thread.

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace trelvane::webhooks {

// The extra CAs of Options::caFile, read once and added to every TLS connection's trust store
// beside the system's.
class TrustedCas {
  public:
    // Every certificate in the PEM file; nothing (and `error` says why) when the file cannot be
    // read or holds none.
    static std::shared_ptr<const TrustedCas> Load(const std::filesystem::path& file,
                                                  std::string& error);
    ~TrustedCas();
    TrustedCas(const TrustedCas&) = delete;
    TrustedCas& operator=(const TrustedCas&) = delete;

    // Adds them to an OpenSSL SSL_CTX's store (libcurl's CURLOPT_SSL_CTX_FUNCTION).
    void AddTo(void* sslContext) const;

  private:
    TrustedCas() = default;
    std::vector<void*> certificates_;  // X509*, owned
};

struct PostAnswer {
    bool delivered = false;  // a 2xx answer
    bool cancelled = false;  // the post was cancelled (it may or may not have arrived)
    long status = 0;         // the HTTP status; 0 without an answer
    std::string error;       // why it was not delivered, for an operator
};

class HttpClient {
  public:
    // `cas` may be null (the system's CAs alone). Nothing (and `error` says why) when libcurl
    // cannot make a handle or is not built with OpenSSL while `cas` is given.
    static std::unique_ptr<HttpClient> Make(std::shared_ptr<const TrustedCas> cas,
                                            std::chrono::milliseconds timeout, std::string& error);
    ~HttpClient();
    HttpClient(const HttpClient&) = delete;
    HttpClient& operator=(const HttpClient&) = delete;

    // POSTs `body` with `headers` ("Name: value"). Returns when the receiver answered, the
    // timeout passed, the connection failed, or `cancel` became true (checked at every wake).
    PostAnswer Post(const std::string& url, const std::vector<std::string>& headers,
                    const std::string& body, const std::atomic<bool>& cancel);
    // Waits up to `wait`; returns sooner when Wake is called meanwhile (or was since the last
    // wait returned).
    void Wait(std::chrono::milliseconds wait);
    void Wake();

    struct Impl;

  private:
    explicit HttpClient(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace trelvane::webhooks
