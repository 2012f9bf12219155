#pragma once

// UTF-8 and JSON string texts, shared by everything that writes JSON (the API, the MQTT
// payloads, trelvane-history's JSON Lines) so that a name reads the same everywhere.

#include <string>
#include <string_view>

namespace trelvane {

// Invalid UTF-8 (stray bytes, overlong forms, surrogates, beyond U+10FFFF) as U+FFFD each, so
// the result is UTF-8 whatever a name holds.
std::string ValidUtf8(std::string_view text);

// Whether `text` is UTF-8 as ValidUtf8 would leave it unchanged: for inputs that are refused
// rather than repaired (what an operator types into the site register).
bool IsValidUtf8(std::string_view text);

// Appends `text` as a quoted JSON string: '"' and '\\' escaped, \b \f \n \r \t by their short
// forms, other bytes below 0x20 as \u00xx, invalid UTF-8 as U+FFFD, all else as it is.
void AppendJsonString(std::string& out, std::string_view text);

}  // namespace trelvane
