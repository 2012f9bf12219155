#include "webhooks/HttpClient.h"

#include <curl/curl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "trelvane/BuildInfo.h"

namespace trelvane::webhooks {
namespace {

std::once_flag g_curlInit;

// What of a receiver's answer is kept for the error text.
constexpr std::size_t kAnswerKept = 200;
constexpr std::size_t kAnswerShown = 120;

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

// The first line of `text`, printable ASCII only, at most kAnswerShown bytes.
std::string FirstLine(const std::string& text) {
    std::string line;
    for (const char c : text) {
        if (c == '\r' || c == '\n' || line.size() == kAnswerShown) {
            break;
        }
        line.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    while (!line.empty() && line.back() == ' ') {
        line.pop_back();
    }
    return line;
}

}  // namespace

std::shared_ptr<const TrustedCas> TrustedCas::Load(const std::filesystem::path& file,
                                                   std::string& error) {
    BIO* in = BIO_new_file(file.c_str(), "r");
    if (in == nullptr) {
        error = "cannot read the CA file " + file.string() + ": " + std::strerror(errno);
        ERR_clear_error();
        return nullptr;
    }
    std::shared_ptr<TrustedCas> cas(new TrustedCas());
    while (X509* certificate = PEM_read_bio_X509(in, nullptr, nullptr, nullptr)) {
        cas->certificates_.push_back(certificate);
    }
    ERR_clear_error();  // the end of the file reads as an error
    BIO_free(in);
    if (cas->certificates_.empty()) {
        error = "the CA file " + file.string() + " holds no PEM certificate";
        return nullptr;
    }
    return cas;
}

TrustedCas::~TrustedCas() {
    for (void* certificate : certificates_) {
        X509_free(static_cast<X509*>(certificate));
    }
}

void TrustedCas::AddTo(void* sslContext) const {
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
    for (void* certificate : certificates_) {
        // A certificate the store holds already is not an error.
        X509_STORE_add_cert(store, static_cast<X509*>(certificate));
    }
    ERR_clear_error();
}

struct HttpClient::Impl {
    CURLM* multi = nullptr;
    CURL* easy = nullptr;
    std::shared_ptr<const TrustedCas> cas;
    char errorText[CURL_ERROR_SIZE] = {};
    std::string statusLine;  // of the last answer
    std::string answer;      // its body's first kAnswerKept bytes

    ~Impl() {
        if (easy != nullptr) {
            curl_easy_cleanup(easy);
        }
        if (multi != nullptr) {
            curl_multi_cleanup(multi);
        }
    }

    static size_t OnBody(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const std::size_t n = size * count;
        const std::size_t room = kAnswerKept - std::min(kAnswerKept, impl->answer.size());
        impl->answer.append(data, std::min(n, room));
        return n;
    }
    static size_t OnHeader(char* data, size_t size, size_t count, void* self) {
        auto* impl = static_cast<Impl*>(self);
        const std::size_t n = size * count;
        if (n > 5 && std::memcmp(data, "HTTP/", 5) == 0) {
            impl->statusLine.assign(data, std::min<std::size_t>(n, kAnswerKept));
        }
        return n;
    }
    static CURLcode OnSslContext(CURL*, void* sslContext, void* self) {
        static_cast<Impl*>(self)->cas->AddTo(sslContext);
        return CURLE_OK;
    }

    std::string AnswerText(long status) const {
        // "HTTP/1.1 500 Internal Server Error": the part after the protocol.
        std::string line = FirstLine(statusLine);
        const std::size_t space = line.find(' ');
        line = space == std::string::npos ? std::to_string(status) : line.substr(space + 1);
        std::string text = "answered " + line;
        if (const std::string said = FirstLine(answer); !said.empty()) {
            text += ": " + said;
        }
        return text;
    }
};

HttpClient::HttpClient(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HttpClient::~HttpClient() = default;

std::unique_ptr<HttpClient> HttpClient::Make(std::shared_ptr<const TrustedCas> cas,
                                             std::chrono::milliseconds timeout,
                                             std::string& error) {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (cas) {
        const curl_version_info_data* version = curl_version_info(CURLVERSION_NOW);
        if (version->ssl_version == nullptr ||
            std::strncmp(version->ssl_version, "OpenSSL", 7) != 0) {
            error = "a CA file needs libcurl built with OpenSSL (this one has " +
                    std::string(version->ssl_version ? version->ssl_version : "no TLS") + ")";
            return nullptr;
        }
    }
    auto impl = std::make_unique<Impl>();
    impl->cas = std::move(cas);
    impl->multi = curl_multi_init();
    impl->easy = curl_easy_init();
    if (impl->multi == nullptr || impl->easy == nullptr) {
        error = "libcurl cannot make a handle";
        return nullptr;
    }
    CURL* e = impl->easy;
    const long ms = static_cast<long>(std::max<std::int64_t>(timeout.count(), 1));
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);  // a signed body goes where it was meant to
    curl_easy_setopt(e, CURLOPT_TIMEOUT_MS, ms);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, ms);
    curl_easy_setopt(e, CURLOPT_TCP_KEEPALIVE, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    curl_easy_setopt(e, CURLOPT_USERAGENT, (std::string("trelvane/") + kVersion).c_str());
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, impl->errorText);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Impl::OnBody);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, impl.get());
    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Impl::OnHeader);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, impl.get());
    if (impl->cas) {
        curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Impl::OnSslContext);
        curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, impl.get());
    }
    return std::unique_ptr<HttpClient>(new HttpClient(std::move(impl)));
}

PostAnswer HttpClient::Post(const std::string& url, const std::vector<std::string>& headers,
                            const std::string& body, const std::atomic<bool>& cancel) {
    Impl& impl = *impl_;
    PostAnswer result;
    curl_slist* list = nullptr;
    for (const std::string& header : headers) {
        list = curl_slist_append(list, header.c_str());
    }
    list = curl_slist_append(list, "Expect:");  // no 100-continue round trip before the body
    const std::unique_ptr<curl_slist, SlistDeleter> owned(list);
    CURL* e = impl.easy;
    curl_easy_setopt(e, CURLOPT_URL, url.c_str());
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
    curl_easy_setopt(e, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    impl.errorText[0] = '\0';
    impl.statusLine.clear();
    impl.answer.clear();

    CURLcode code = CURLE_OK;
    if (const CURLMcode added = curl_multi_add_handle(impl.multi, e); added != CURLM_OK) {
        result.error = std::string("libcurl: ") + curl_multi_strerror(added);
        return result;
    }
    bool done = false;
    while (!done) {
        int running = 0;
        if (const CURLMcode mc = curl_multi_perform(impl.multi, &running); mc != CURLM_OK) {
            result.error = std::string("libcurl: ") + curl_multi_strerror(mc);
            break;
        }
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(impl.multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == e) {
                code = message->data.result;
                done = true;
            }
        }
        if (done) {
            break;
        }
        if (cancel.load()) {
            result.cancelled = true;
            break;
        }
        curl_multi_poll(impl.multi, nullptr, 0, 1000, nullptr);
    }
    curl_multi_remove_handle(impl.multi, e);  // a post under way is abandoned here
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, nullptr);
    if (!done) {
        if (result.error.empty() && !result.cancelled) {
            result.error = "libcurl: the transfer did not finish";
        }
        return result;
    }
    if (code != CURLE_OK) {
        result.error = impl.errorText[0] != '\0' ? std::string(impl.errorText)
                                                 : std::string(curl_easy_strerror(code));
        return result;
    }
    curl_easy_getinfo(e, CURLINFO_RESPONSE_CODE, &result.status);
    result.delivered = result.status >= 200 && result.status <= 299;
    if (!result.delivered) {
        result.error = impl.AnswerText(result.status);
    }
    return result;
}

void HttpClient::Wait(std::chrono::milliseconds wait) {
    const int ms = static_cast<int>(std::clamp<std::int64_t>(wait.count(), 0, 1'000'000));
    curl_multi_poll(impl_->multi, nullptr, 0, ms, nullptr);
}

void HttpClient::Wake() {
    curl_multi_wakeup(impl_->multi);
}

}  // namespace trelvane::webhooks
