#include "webhooks/Webhook.h"

#include <curl/curl.h>

#include <memory>
#include <set>

#include "base/JsonText.h"

namespace trelvane::webhooks {
namespace {

constexpr std::size_t kMaxNameBytes = 100;

std::string Lower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return text;
}

struct UrlDeleter {
    void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct TextDeleter {
    void operator()(char* text) const { curl_free(text); }
};
using UrlText = std::unique_ptr<char, TextDeleter>;

// Why `url` cannot be posted to (empty: it can). The scheme and the host are looked at here
// (libcurl's parser is lenient with "https:///path"), the rest by libcurl.
std::string UrlProblem(const std::string& url) {
    const std::string quoted = "the URL \"" + ValidUtf8(url) + "\"";
    if (url.empty()) {
        return "has no URL: set the receiver's http:// or https:// address";
    }
    const std::size_t mark = url.find("://");
    const std::string scheme =
        mark == std::string::npos ? std::string() : Lower(url.substr(0, mark));
    if (scheme != "http" && scheme != "https") {
        return quoted + " is not http:// or https://";
    }
    const std::size_t authorityEnd = url.find_first_of("/?#", mark + 3);
    std::string authority = url.substr(
        mark + 3, authorityEnd == std::string::npos ? std::string::npos : authorityEnd - mark - 3);
    if (const std::size_t at = authority.rfind('@'); at != std::string::npos) {
        authority.erase(0, at + 1);
    }
    if (authority.empty() || authority[0] == ':') {
        return quoted + " has no host";
    }
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed) {
        return "cannot check " + quoted + ": out of memory";
    }
    const CURLUcode rc = curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0);
    if (rc == CURLUE_NO_HOST) {
        return quoted + " has no host";
    }
    if (rc != CURLUE_OK) {
        return quoted + " cannot be read: " + curl_url_strerror(rc);
    }
    return {};
}

}  // namespace

std::string Check(const Webhook& hook) {
    if (hook.name.empty()) {
        return "a webhook needs a name";
    }
    const std::string head = "webhook \"" + ValidUtf8(hook.name) + "\": ";
    if (hook.name.size() > kMaxNameBytes) {
        return head + "the name is longer than " + std::to_string(kMaxNameBytes) + " bytes";
    }
    for (const char c : hook.name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            return head + "the name holds a control character";
        }
    }
    if (!IsValidUtf8(hook.name)) {
        return head + "the name is not UTF-8";
    }
    if (std::string problem = UrlProblem(hook.url); !problem.empty()) {
        return head + problem;
    }
    if (hook.secret.empty()) {
        return head +
               "has no secret: set one, the receiver checks every delivery's signature with it";
    }
    if (hook.kinds == 0) {
        return head + "selects no kind of event (" + KindNames(kAllKindBits) + ")";
    }
    if ((hook.kinds & ~kAllKindBits) != 0) {
        return head + "selects a kind of event webhooks cannot deliver (they deliver " +
               KindNames(kAllKindBits) + ")";
    }
    return {};
}

std::string CheckList(const std::vector<Webhook>& hooks) {
    std::set<std::string> names;
    for (const Webhook& hook : hooks) {
        if (std::string problem = Check(hook); !problem.empty()) {
            return problem;
        }
        if (!names.insert(hook.name).second) {
            return "two webhooks are named \"" + ValidUtf8(hook.name) + "\"";
        }
    }
    return {};
}

std::string KindNames(std::uint32_t kinds) {
    std::string names;
    for (const events::Kind kind : events::kAllKinds) {
        if ((kinds & KindBit(kind)) != 0) {
            if (!names.empty()) {
                names.push_back(',');
            }
            names += events::Name(kind);
        }
    }
    return names;
}

std::string ShownUrl(const std::string& url) {
    const std::unique_ptr<CURLU, UrlDeleter> parsed(curl_url());
    if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(),
                                CURLU_NON_SUPPORT_SCHEME) != CURLUE_OK) {
        return {};
    }
    curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_OPTIONS, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_QUERY, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_FRAGMENT, nullptr, 0);
    char* raw = nullptr;
    if (curl_url_get(parsed.get(), CURLUPART_URL, &raw, 0) != CURLUE_OK) {
        return {};
    }
    const UrlText text(raw);
    return text.get();
}

std::string OutboxName(std::string_view hookName) {
    return "webhook:" + std::string(hookName);
}

}  // namespace trelvane::webhooks
