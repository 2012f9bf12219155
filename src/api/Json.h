#pragma once

// A small JSON writer for the API's answers and a strict reader of the one body a command takes.
// Pure C++, no Qt: the request path is fuzzed without it.
//
// The writer emits UTF-8. Strings handed to it must already be UTF-8 (reader names are
// converted from the code page before they get here); a byte sequence that is not valid UTF-8
// is written as U+FFFD rather than producing a document a client cannot parse.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/JsonText.h"
#include "events/EventJson.h"

namespace trelvane::api {

class JsonWriter {
  public:
    JsonWriter& BeginObject();
    JsonWriter& EndObject();
    JsonWriter& BeginArray();
    JsonWriter& EndArray();
    JsonWriter& Key(std::string_view key);
    JsonWriter& String(std::string_view utf8);
    JsonWriter& Int(std::int64_t value);
    JsonWriter& UInt(std::uint64_t value);
    JsonWriter& Double(double value);
    JsonWriter& Bool(bool value);
    JsonWriter& Null();
    // One event, as the event encoder writes it everywhere.
    template <class E>
    JsonWriter& Event(events::EventJson& encoder, const E& event) {
        Separate();
        encoder.Append(out_, events::View(event));
        comma_ = true;
        return *this;
    }

    // Key and value in one call.
    template <typename T>
    JsonWriter& Field(std::string_view key, T&& value);

    const std::string& Text() const { return out_; }
    std::string Take() { return std::move(out_); }

  private:
    void Separate();
    std::string out_;
    bool comma_ = false;
};

// `{"error":"…"}`
std::string ErrorJson(std::string_view message);

// The body of the radio commands: exactly one member "index" holding an integer (optional
// minus sign, decimal digits, no fraction or exponent), surrounded by optional JSON
// whitespace. Anything else, or an integer outside the int range, is nullopt.
std::optional<int> ParseIndexBody(std::string_view body);

// ---- implementation of the template ----

template <typename T>
JsonWriter& JsonWriter::Field(std::string_view key, T&& value) {
    Key(key);
    using V = std::decay_t<T>;
    if constexpr (std::is_same_v<V, bool>) {
        return Bool(value);
    } else if constexpr (std::is_floating_point_v<V>) {
        return Double(value);
    } else if constexpr (std::is_integral_v<V> && std::is_signed_v<V>) {
        return Int(value);
    } else if constexpr (std::is_integral_v<V>) {
        return UInt(value);
    } else {
        return String(std::string_view(value));
    }
}

}  // namespace trelvane::api
