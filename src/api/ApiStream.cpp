// The history endpoints and the live feed's start: both page the history by sequence number.
#include <algorithm>
#include <thread>

#include "api/ApiRouter.h"
#include "api/Json.h"
#include "history/Pages.h"
#include "records/TextCodec.h"
#include "service/ServiceEngine.h"

namespace trelvane::api {
namespace {

// How long a resuming client waits for the history to hold what the feed has not queued.
constexpr auto kHistoryCatchUp = std::chrono::seconds(3);
// Events per replay message.
constexpr std::size_t kReplayChunk = 1000;

struct StreamParams {
    FeedFilter filter;
    std::optional<Sequence> afterSeq;
};

// The query of /stream; the name of a bad parameter in `bad`.
std::optional<StreamParams> ParseStreamParams(const Target& t, std::string& bad) {
    StreamParams p;
    if (const auto kinds = t.Value("kinds")) {
        p.filter.kinds = 0;
        std::string_view rest = *kinds;
        while (!rest.empty()) {
            const std::size_t comma = rest.find(',');
            const auto kind = events::KindNamed(rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
            if (!kind) {
                bad = "kinds";
                return std::nullopt;
            }
            p.filter.Want(*kind);
        }
    }
    if (const auto tag = t.Value("tag")) {
        const auto value = ParseUnsigned(*tag);
        if (!value || *value > UINT32_MAX) {
            bad = "tag";
            return std::nullopt;
        }
        p.filter.tag = static_cast<std::uint32_t>(*value);
    }
    if (const auto reader = t.Value("reader")) {
        p.filter.reader = std::string(*reader);
    }
    if (const auto after = t.Value("after_seq")) {
        p.afterSeq = ParseUnsigned(*after);
        if (!p.afterSeq) {
            bad = "after_seq";
            return std::nullopt;
        }
    }
    return p;
}

}  // namespace

ApiRouter::HistoryAccess ApiRouter::OpenHistory() {
    struct State {
        std::optional<std::filesystem::path> path;
        int codePage;
        std::string problem;
    };
    auto state = gate_.Call([this] {
        const auto h = engine_.History();
        return State{h ? std::optional(h->path) : std::nullopt, engine_.Config().codePage,
                     engine_.HistoryProblem()};
    });
    HistoryAccess access;
    if (!state) {
        access.problem = "the service did not answer in time";
        return access;
    }
    access.codePage = state->codePage;
    if (!state->path) {
        access.problem = state->problem.empty() ? "the history is off" : state->problem;
        history_.reset();
        return access;
    }
    if (!history_ || historyPath_ != *state->path) {
        history_.reset();
        auto opened = history::Reader::Open(*state->path);
        if (!opened) {
            access.problem = opened.error().text;
            return access;
        }
        history_.emplace(std::move(opened.value()));
        historyPath_ = *state->path;
    }
    access.reader = &*history_;
    return access;
}

HttpResponse ApiRouter::HistoryPage(Endpoint endpoint, const Target& target) {
    history::Filter filter;
    for (const char* name : {"since", "until"}) {
        if (const auto text = target.Value(name)) {
            const auto value = ParseSigned(*text);
            if (!value) {
                return ErrorResponse(400, std::string("bad number: ") + name);
            }
            (name[0] == 's' ? filter.sinceMs : filter.untilMs) = *value;
        }
    }
    if (const auto text = target.Value("tag")) {
        const auto value = ParseUnsigned(*text);
        if (!value || *value > UINT32_MAX) {
            return ErrorResponse(400, "bad number: tag");
        }
        filter.tag = static_cast<std::uint32_t>(*value);
    }
    if (const auto text = target.Value("after_seq")) {
        const auto value = ParseUnsigned(*text);
        if (!value) {
            return ErrorResponse(400, "bad number: after_seq");
        }
        filter.afterSeq = *value;
    }
    if (const auto text = target.Value("limit")) {
        const auto value = ParseUnsigned(*text);
        if (!value || *value == 0) {
            return ErrorResponse(400, "bad number: limit");
        }
        filter.limit = static_cast<std::size_t>(std::min<std::uint64_t>(*value, kMaxPageLimit));
    }
    HistoryAccess access = OpenHistory();
    if (access.reader == nullptr) {
        return ErrorResponse(404, access.problem);
    }
    if (const auto reader = target.Value("reader")) {
        filter.reader = std::string(*reader);  // the history keeps names in UTF-8
    }
    const events::Kind kind = endpoint == Endpoint::kReads        ? events::Kind::kReads
                              : endpoint == Endpoint::kPresence   ? events::Kind::kPresence
                              : endpoint == Endpoint::kZoneEvents ? events::Kind::kZones
                                                                  : events::Kind::kAlerts;
    const bool zoned = kind == events::Kind::kZones || kind == events::Kind::kAlerts;
    if (const auto zone = target.Value("zone"); zone && zoned) {
        filter.zone = std::string(*zone);
    }
    if (const auto rule = target.Value("rule"); rule && kind == events::Kind::kAlerts) {
        filter.rule = std::string(*rule);
    }
    auto page = history::FetchPage(*access.reader, kind, filter);
    if (!page) {
        return ErrorResponse(500, page.error().text);
    }
    JsonWriter w;
    events::EventJson json;
    // Labelled as the register has them now, as every output labels events.
    const std::shared_ptr<const events::Labels> labels = CurrentLabels();
    json.SetLabels(labels.get());
    w.BeginObject().Key(events::Name(kind)).BeginArray();
    std::visit(
        [&](const auto& rows) {
            for (const auto& row : rows) {
                w.Event(json, row);
            }
        },
        page->rows);
    const std::size_t count = page->Size();
    const Sequence last = count == 0 ? filter.afterSeq : page->SeqAt(count - 1);
    w.EndArray().Field("next_after_seq", last).Field("more", count == filter.limit).EndObject();
    return JsonResponse(200, w.Take());
}

std::optional<HttpResponse> ApiRouter::CheckStream(const HttpRequest& request) {
    const std::optional<Target> target = ParseTarget(request.target);
    if (!target) {
        return ErrorResponse(400, "bad request target");
    }
    const Route route = RouteRequest(request.method, target->path);
    if (auto refusal = Screen(request, route)) {
        return refusal;
    }
    if (route.endpoint != Endpoint::kStream) {
        return ErrorResponse(404, "not found");
    }
    // A page of another site may open a WebSocket here (browsers send no preflight): only our
    // own page, or a client that is not a browser, gets the feed.
    if (request.origin && !OriginAllowed(*request.origin, config_.address)) {
        return ErrorResponse(403, "Origin not allowed");
    }
    std::string bad;
    if (!ParseStreamParams(*target, bad)) {
        return ErrorResponse(400, "bad parameter: " + bad);
    }
    return std::nullopt;
}

StreamStart ApiRouter::OpenStream(const HttpRequest& request) {
    std::string bad;
    const StreamParams params = *ParseStreamParams(*ParseTarget(request.target), bad);
    StreamStart start;
    // Queued from here on: whatever the history does not hold yet arrives this way.
    start.client = feed_->Add(params.filter, maxClientEvents_);
    if (!params.afterSeq) {
        return start;
    }
    start.replayedUpTo = *params.afterSeq;
    const auto liveFrom = gate_.Call([this] { return engine_.NextSequence(); });
    HistoryAccess access = OpenHistory();
    if (!liveFrom || access.reader == nullptr) {
        return start;  // no history: the live feed alone
    }
    // Every number below liveFrom was handed to the sinks before the client was queued for;
    // the history stores them shortly.
    const auto deadline = std::chrono::steady_clock::now() + kHistoryCatchUp;
    while (*liveFrom > 1) {
        auto last = access.reader->LastSequence();
        if (!last || *last + 1 >= *liveFrom || std::chrono::steady_clock::now() > deadline) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const FeedFilter& f = params.filter;
    std::vector<FeedEvent> replayed;
    events::EventJson json;
    const std::shared_ptr<const events::Labels> labels = CurrentLabels();
    json.SetLabels(labels.get());
    history::Filter query;
    query.tag = f.tag;
    query.reader = f.reader;
    query.limit = kMaxPageLimit;
    const auto replay = [&](events::Kind kind) {
        query.afterSeq = *params.afterSeq;
        while (replayed.size() <= maxClientEvents_) {
            auto page = history::FetchPage(*access.reader, kind, query);
            if (!page || page->Size() == 0) {
                return;
            }
            std::visit(
                [&](const auto& rows) {
                    for (const auto& row : rows) {
                        replayed.push_back(FeedEvent{row.seq, kind, json.Text(row)});
                    }
                },
                page->rows);
            query.afterSeq = page->SeqAt(page->Size() - 1);
        }
    };
    for (const events::Kind kind : events::kAllKinds) {
        // Device events have no tag: a feed of one tag takes none.
        if (f.Wants(kind) && !(kind == events::Kind::kDevices && f.tag)) {
            replay(kind);
        }
    }
    if (replayed.size() > maxClientEvents_) {
        start.tooFarBehind = true;
        return start;
    }
    std::sort(replayed.begin(), replayed.end(),
              [](const FeedEvent& a, const FeedEvent& b) { return a.seq < b.seq; });
    for (std::size_t i = 0; i < replayed.size();) {
        const events::Kind kind = replayed[i].kind;
        std::string list;
        std::size_t n = 0;
        for (; i < replayed.size() && replayed[i].kind == kind && n < kReplayChunk; ++i, ++n) {
            list += n == 0 ? "" : ",";
            list += replayed[i].json;
            start.replayedUpTo = std::max(start.replayedUpTo, replayed[i].seq);
        }
        start.replay.push_back(FeedMessage(kind, list, true));
    }
    return start;
}

void ApiRouter::CloseStream(const std::shared_ptr<FeedClient>& client) {
    feed_->Remove(client);
}

}  // namespace trelvane::api
