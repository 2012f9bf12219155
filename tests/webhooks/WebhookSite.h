#pragma once

// A history written through history::Writer as the service writes it (every kind of event,
// interleaved in one sequence), the webhook output over it with shortened times, its log lines,
// and the check of what a receiver took in against what was written.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "history/HistoryTestSupport.h"
#include "history/Outbox.h"
#include "webhooks/Receiver.h"
#include "webhooks/WebhookOutput.h"

namespace trelvane::test {

using namespace std::chrono_literals;
using events::Kind;
using webhooks::EndpointState;
using webhooks::EndpointStatus;
using webhooks::KindBit;
using webhooks::Webhook;
using webhooks::WebhookOutput;

class WebhookSite {
  public:
    WebhookSite() : writer_(OpenWriter(history::Options{dir_.Db()})) {}

    const std::filesystem::path& Folder() const { return dir_.Path(); }
    std::filesystem::path Db() const { return dir_.Db(); }
    Sequence Last() const { return last_; }

    // `count` events in appends of `perAppend`: mostly reads, with presence, device and zone
    // events in between. `readerName` may be long (body size tests).
    void Write(std::size_t count, std::size_t perAppend = 100,
               const std::string& readerName = "Gate 1", bool readsOnly = false) {
        BatchBuilder b;
        for (std::size_t i = 0; i < count; ++i) {
            const Sequence seq = ++last_;
            const std::int64_t time = 1'796'691'600'000 + static_cast<std::int64_t>(seq) * 10;
            const auto tag = static_cast<std::uint32_t>(40 + seq % 7);
            Kind kind = Kind::kReads;
            if (readsOnly) {
                b.AddRead(seq, time, tag, readerName, "10.0.0.5:4001");
            } else if (seq % 17 == 5) {
                kind = Kind::kPresence;
                b.AddPresence(
                    seq, time, tag,
                    seq % 2 ? history::PresenceKind::kArrive : history::PresenceKind::kDepart,
                    readerName, "10.0.0.5:4001");
            } else if (seq % 41 == 7) {
                kind = Kind::kDevices;
                b.AddDevice(seq, time, history::DeviceEventKind::kConnected, readerName,
                            "10.0.0.5:4001");
            } else if (seq % 23 == 11) {
                kind = Kind::kZones;
                b.AddEnter(seq, time, static_cast<std::uint32_t>(seq), "Dock B", readerName,
                           "10.0.0.5:4001");
            } else {
                b.AddRead(seq, time, tag, readerName, "10.0.0.5:4001");
            }
            written_.push_back({seq, kind});
            if ((i + 1) % perAppend == 0 || i + 1 == count) {
                const history::Status st = writer_.Append(b.Batch());
                ASSERT_TRUE(st.ok()) << st.error().text;
                model_.Take(b);
                b.Clear();
            }
        }
    }

    // The numbers of the events of `kinds` written so far, in order.
    std::vector<Sequence> Written(std::uint32_t kinds = webhooks::kAllKindBits) const {
        std::vector<Sequence> seqs;
        for (const auto& [seq, kind] : written_) {
            if ((kinds & KindBit(kind)) != 0) {
                seqs.push_back(seq);
            }
        }
        return seqs;
    }
    const Model& Rows() const { return model_; }

    // Makes the endpoint's cursor now, at the history's last number, as the output's thread
    // would when it starts: events written after this call are the endpoint's.
    void MakeCursor(const std::string& name) const {
        auto outbox = history::Outbox::Open(dir_.Db(), webhooks::OutboxName(name));
        ASSERT_TRUE(outbox.ok()) << outbox.error().text;
    }
    std::uint64_t StoredCursor(const std::string& name) const {
        auto outbox = history::Outbox::Open(dir_.Db(), webhooks::OutboxName(name));
        return outbox.ok() ? outbox->Cursor() : 0;
    }

    // Shortened times: retries from 20 ms to 200 ms, a 2 s timeout.
    webhooks::Options FastOptions() {
        webhooks::Options options;
        options.firstRetry = 20ms;
        options.lastRetry = 200ms;
        options.timeout = 2s;
        options.poll = 20ms;
        options.cursorStore = 50ms;
        options.log = [this](webhooks::LogLevel level, const std::string& line) {
            std::lock_guard lock(logMutex_);
            log_.push_back((level == webhooks::LogLevel::kWarning ? "W " : "I ") + line);
        };
        return options;
    }

    std::unique_ptr<WebhookOutput> StartOutput(webhooks::Options options,
                                               events::LabelSource labels = {}) {
        std::string error;
        auto output = WebhookOutput::Start(Db(), std::move(labels), std::move(options), error);
        EXPECT_TRUE(output) << error;
        return output;
    }

    std::vector<std::string> LogLines(const std::string& prefix = "") const {
        std::lock_guard lock(logMutex_);
        std::vector<std::string> lines;
        for (const std::string& line : log_) {
            if (line.rfind(prefix, 0) == 0) {
                lines.push_back(line);
            }
        }
        return lines;
    }

  private:
    HistoryDir dir_;
    history::Writer writer_;
    Sequence last_ = 0;
    std::vector<std::pair<Sequence, Kind>> written_;
    Model model_;
    mutable std::mutex logMutex_;
    std::vector<std::string> log_;
};

inline Webhook Hook(const std::string& name, const std::string& url,
                    std::uint32_t kinds = webhooks::kAllKindBits) {
    return Webhook{name, url, "test secret", kinds};
}

inline EndpointStatus StatusOf(const WebhookOutput& output, const std::string& name) {
    for (const EndpointStatus& s : output.Statuses()) {
        if (s.name == name) {
            return s;
        }
    }
    return {};
}

// What a receiver took in, checked request by request: every request signed, its delivery
// header naming its body's first and last numbers, JSON; the accepted bodies (2xx) in the order
// they came are `expected` exactly, except that the events of a body may come again at the head
// of the next (its acknowledgement was lost: the answer came after the timeout, or the sender
// was stopped).
struct DeliveryCheck {
    std::size_t accepted = 0;
    std::size_t duplicates = 0;  // accepted bodies that began with the one before again
    std::size_t refused = 0;     // requests answered other than 2xx
};

inline DeliveryCheck CheckDelivered(const std::vector<ReceivedRequest>& requests,
                                    const std::vector<Sequence>& expected,
                                    const std::string& path = "/hook") {
    DeliveryCheck check;
    std::vector<Sequence> delivered;
    const ReceivedRequest* previous = nullptr;
    for (const ReceivedRequest& r : requests) {
        if (r.path != path) {
            continue;
        }
        EXPECT_TRUE(r.signatureOk) << r.delivery;
        EXPECT_TRUE(r.parsed) << r.delivery;
        EXPECT_TRUE(r.deliveryOk) << r.delivery;
        EXPECT_EQ(r.contentType, "application/json");
        if (!r.Accepted()) {
            ++check.refused;
            continue;
        }
        ++check.accepted;
        if (previous != nullptr && !delivered.empty() && !r.seqs.empty() &&
            r.seqs.front() <= delivered.back()) {
            // Sent again from the cursor: the unacknowledged body's events first, perhaps
            // with newer ones after them (the batch is made anew after a restart).
            const bool again =
                r.seqs.size() >= previous->seqs.size() &&
                std::equal(previous->seqs.begin(), previous->seqs.end(), r.seqs.begin());
            EXPECT_TRUE(again) << "only the body before may come again: " << r.delivery << " after "
                               << previous->delivery;
            ++check.duplicates;
            if (again) {
                delivered.insert(delivered.end(), r.seqs.begin() + previous->seqs.size(),
                                 r.seqs.end());
            }
        } else {
            delivered.insert(delivered.end(), r.seqs.begin(), r.seqs.end());
        }
        previous = &r;
    }
    EXPECT_EQ(delivered.size(), expected.size());
    EXPECT_TRUE(delivered == expected) << "a gap or a reorder";
    return check;
}

// The numbers of the accepted requests on `path`, for waiting until all arrived.
inline std::size_t AcceptedEvents(const Receiver& receiver, const std::string& path = "/hook") {
    std::size_t events = 0;
    for (const ReceivedRequest& r : receiver.Requests()) {
        if (r.path == path && r.Accepted()) {
            events += r.seqs.size();
        }
    }
    return events;
}

}  // namespace trelvane::test
