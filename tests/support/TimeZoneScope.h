#pragma once

// Sets the process's time zone (TZ) while in scope, then puts the old one back: local-time
// texts in tests then do not depend on the machine's zone.

#include <time.h>

#include <cstdlib>
#include <optional>
#include <string>

namespace trelvane::test {

class TimeZoneScope {
  public:
    explicit TimeZoneScope(const char* zone) {
        if (const char* old = std::getenv("TZ")) {
            old_ = old;
        }
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~TimeZoneScope() {
        if (old_) {
            ::setenv("TZ", old_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

  private:
    std::optional<std::string> old_;
};

}  // namespace trelvane::test
