#pragma once

// The one JSON encoder of an event. MQTT, the WebSocket feed, the API's history pages and
// trelvane-history's JSON Lines all write events through it, so an event reads the same
// wherever it is taken from (doc/events.md shows every kind):
//
//   {"seq":41,"time":"2026-12-08T09:00:01.250+08:00","time_ms":1796691601250,"tag":"12345678",
//    "reader":"R01","device":"10.0.0.5:4001","reader_time":"2026-12-08 09:00:01"}
//
// - seq, then time twice: ISO 8601 local time with milliseconds and offset, and Unix ms;
// - a tag is a string of its decimal number (a consumer never loses digits or leading
//   meaning to a float);
// - names of what happened ("arrive", "connected") in "event";
// - a key with nothing to say is absent (reader_time when the report carried no reader time);
// - a tag the site register names carries "label" and "group" after "tag" (reads, presence and
//   zone events), from the Labels the encoder is given.
//
// Texts are UTF-8 (invalid sequences as U+FFFD): reader names are converted from the code page
// before they get here.
//
// Threading: an encoder keeps the text of the last second it wrote; use one per thread.

#include <string>

#include "base/IsoTime.h"
#include "events/Event.h"

namespace trelvane::events {

// Milliseconds as seconds with three decimals ("12.500", "-0.250"), never in exponent form:
// dwell_s as the encoder and the history's CSV write it.
void AppendSeconds(std::string& out, std::int64_t ms);

class EventJson {
  public:
    // Append one object.
    void Append(std::string& out, const Read& read);
    void Append(std::string& out, const Presence& presence);
    void Append(std::string& out, const Device& device);
    // {"seq":…,"time":…,"time_ms":…,"tag":"…",["label":…,"group":…,]"zone":"Dock B",
    //  "event":"enter|exit","reader":…,"device":…, on an exit "since":…,"last_seen":…,
    //  "last_seen_ms":…,"dwell_s":12.5}
    void Append(std::string& out, const ZoneChange& zone);
    // {"seq":…,"time":…,"time_ms":…,"event":"raised|cleared|acknowledged",["raised":41,]
    //  "rule":"…","kind":"dwell",["tag":"…",["label":…,"group":…,]]["zone":…,]["reader":…,]
    //  "since":…,"since_ms":…, raised: "text":"…"; acknowledged: "by":"…","note":"…"}
    void Append(std::string& out, const Alert& alert);

    // The register to label tags from (null: none). It must stay alive while it is set.
    void SetLabels(const Labels* labels) { labels_ = labels; }

    // One object as a string, of an event or an owned row.
    template <class E>
    std::string Text(const E& event) {
        std::string out;
        Append(out, View(event));
        return out;
    }

  private:
    void Head(std::string& out, Sequence seq, std::int64_t timeMs);
    void Tag(std::string& out, std::uint32_t tag);
    IsoTimeText time_;
    const Labels* labels_ = nullptr;
};

}  // namespace trelvane::events
