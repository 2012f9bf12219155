#include "api/ApiRouter.h"

#include <cstdio>
#include <utility>

#include "api/Json.h"
#include "api/Metrics.h"
#include "protocol/RadioTables.h"
#include "records/ExportText.h"
#include "records/StringTable.h"
#include "records/TextCodec.h"
#include "service/ServiceEngine.h"

namespace trelvane::api {
namespace {

constexpr const char* kNoAnswer = "the service did not answer in time";

const char* CharsetOf(int codePage) {
    switch (codePage) {
        case 950:
            return "Big5";
        case 1252:
            return "windows-1252";
        case 65001:
            return "UTF-8";
        default:
            return "GBK";
    }
}

void WriteReader(JsonWriter& w, const std::string& key, const CDeviceInfo& d,
                 const TextCodec& codec, bool listed) {
    const std::string product = d.Text(DeviceText::kProductType);
    const ProductRange range = RangeOfProduct(product);
    const int atten = d.atten.load();
    const int carrier = d.carrierParam.load();
    w.BeginObject()
        .Field("device", key)
        .Field("ip", d.ip)
        .Field("port", d.port)
        .Field("name", codec.ToUtf8(d.DeviceName()))
        .Field("product_type", codec.ToUtf8(product))
        .Field("serial_no", codec.ToUtf8(d.Text(DeviceText::kSerialNo)))
        .Field("software_ver", codec.ToUtf8(d.Text(DeviceText::kSoftwareVer)))
        .Field("hardware_ver", codec.ToUtf8(d.Text(DeviceText::kHardwareVer)))
        .Key("atten")
        .BeginObject()
        .Field("index", atten)
        .Field("db", AttenuationDb(static_cast<std::size_t>(atten)))
        .Field("distance", DistanceText(range, atten))
        .Field("steps", AttenuationSteps(range))
        .EndObject()
        .Key("carrier")
        .BeginObject()
        .Field("index", carrier)
        .Field("mhz", CarrierMhz(static_cast<std::size_t>(carrier)))
        .Field("steps", kCarrierCount)
        .EndObject()
        .Field("login_time", d.loginTime)
        .Field("last_reg_time", d.Text(DeviceText::kLastRegTime))
        .Field("tag_count", d.tagCount.load())
        .Field("reading", d.reading.load())
        .Field("online", d.online.load())
        .Field("listed", listed)
        .EndObject();
}

// Reads `name` from the query as an unsigned number: absent is `fallback`; a bad number is
// reported by name.
std::optional<std::uint64_t> UnsignedParam(const Target& t, std::string_view name,
                                           std::uint64_t fallback, std::string& bad) {
    const auto text = t.Value(name);
    if (!text) {
        return fallback;
    }
    const auto value = ParseUnsigned(*text);
    if (!value) {
        bad = name;
    }
    return value;
}

// Readers connected (online) and reading, for /status and /metrics.
std::pair<std::uint64_t, std::uint64_t> CountReaders(const DeviceTable& devices) {
    std::uint64_t connected = 0;
    std::uint64_t reading = 0;
    for (const auto& [key, device] : devices.Entries()) {
        connected += device->online ? 1 : 0;
        reading += device->reading ? 1 : 0;
    }
    return {connected, reading};
}

}  // namespace

HttpResponse JsonResponse(int status, std::string body) {
    return HttpResponse{status, "application/json", std::move(body), {}};
}

HttpResponse ErrorResponse(int status, std::string_view message) {
    return JsonResponse(status, ErrorJson(message));
}

ApiRouter::ApiRouter(ServiceEngine& engine, QObject* engineContext, std::shared_ptr<LiveFeed> feed,
                     ApiConfig config, PageAssets assets, std::size_t maxClientEvents,
                     std::chrono::milliseconds engineTimeout)
    : engine_(engine),
      feed_(std::move(feed)),
      config_(std::move(config)),
      loopback_(IsLoopbackAddress(config_.address)),
      assets_(std::move(assets)),
      maxClientEvents_(maxClientEvents),
      started_(std::chrono::steady_clock::now()),
      gate_(engineContext, engineTimeout) {}

std::optional<HttpResponse> ApiRouter::Screen(const HttpRequest& request,
                                              const Route& route) const {
    if (!HostAllowed(request.host, config_.address)) {
        return ErrorResponse(403, "Host not allowed");
    }
    if (CheckAccess(route.endpoint, loopback_, request.authorization, config_.token) !=
        Access::kAllowed) {
        HttpResponse refusal = ErrorResponse(
            401, config_.token.empty() ? "no token is configured" : "missing or wrong token");
        refusal.headers.emplace_back("WWW-Authenticate", "Bearer");
        return refusal;
    }
    return std::nullopt;
}

HeadVerdict ApiRouter::CheckHead(const HttpRequest& head) {
    const std::optional<Target> target = ParseTarget(head.target);
    if (!target) {
        return {};
    }
    const Route route = RouteRequest(head.method, target->path);
    if (route.endpoint != Endpoint::kImportAssets) {
        return {};  // a body within the server's limit; the request is screened once it is in
    }
    // Screened before a large body is taken in: a client without the token sends no 100 MB.
    if (auto refusal = Screen(head, route)) {
        return HeadVerdict{std::move(refusal), 0};
    }
    return HeadVerdict{std::nullopt, kMaxUploadBytes};
}

HttpResponse ApiRouter::Handle(HttpRequest request) {
    const std::optional<Target> target = ParseTarget(request.target);
    if (!target) {
        return ErrorResponse(400, "bad request target");
    }
    const Route route = RouteRequest(request.method, target->path);
    if (route.endpoint == Endpoint::kNotFound) {
        // Screened anyway: a foreign Host learns nothing, not even which paths exist.
        if (auto refusal = Screen(request, route)) {
            return *refusal;
        }
        return ErrorResponse(404, "not found");
    }
    if (auto refusal = Screen(request, route)) {
        return *refusal;
    }
    if (route.endpoint == Endpoint::kMethodNotAllowed) {
        return ErrorResponse(405, "method not allowed");
    }
    return Dispatch(route, *target, request);
}

HttpResponse ApiRouter::Dispatch(const Route& route, const Target& target, HttpRequest& request) {
    if (IsReaderCommand(route.endpoint)) {
        return Command(route, request.body);
    }
    switch (route.endpoint) {
        case Endpoint::kPage:
            return HttpResponse{200, "text/html; charset=utf-8", assets_.page, {}};
        case Endpoint::kAsset:
            if (route.asset == "app.js") {
                return HttpResponse{
                    200, "application/javascript; charset=utf-8", assets_.script, {}};
            }
            return HttpResponse{200, "text/css; charset=utf-8", assets_.style, {}};
        case Endpoint::kHealthz:
            return Healthz();
        case Endpoint::kMetrics:
            return Metrics();
        case Endpoint::kStatus:
            return Status();
        case Endpoint::kReaders:
            return Readers(std::nullopt);
        case Endpoint::kReader:
            return Readers(route.key);
        case Endpoint::kTags:
            return Tags(target);
        case Endpoint::kTagsExport:
            return Export();
        case Endpoint::kClearTags:
            return ClearTags();
        case Endpoint::kReads:
        case Endpoint::kPresence:
            return HistoryPage(route.endpoint, target);
        case Endpoint::kStream:
            return ErrorResponse(400, "WebSocket upgrade expected");
        case Endpoint::kZones:
            return Zones();
        case Endpoint::kZoneEvents:
        case Endpoint::kAlertEvents:
            return HistoryPage(route.endpoint, target);
        case Endpoint::kZoneTags:
            return ZoneTags(route.key, target);
        case Endpoint::kSetZone:
            return SetZone(route.key, request.body);
        case Endpoint::kRemoveZone:
            return RemoveZone(route.key);
        case Endpoint::kAssets:
            return Assets(target);
        case Endpoint::kSetAsset:
            return SetAsset(route.key, request.body);
        case Endpoint::kRemoveAsset:
            return RemoveAsset(route.key);
        case Endpoint::kImportAssets:
            return ImportAssets(target, std::move(request.body));
        case Endpoint::kWhere:
            return Where(route.key, target);
        case Endpoint::kAlerts:
            return OpenAlerts(target);
        case Endpoint::kAckAlert:
            return AcknowledgeAlert(route.key, request.body);
        case Endpoint::kRules:
            return Rules();
        case Endpoint::kSetRule:
            return SetRule(route.key, request.body);
        case Endpoint::kRemoveRule:
            return RemoveRule(route.key);
        default:  // kNotFound, kMethodNotAllowed; the reader commands went to Command above
            break;
    }
    return ErrorResponse(404, "not found");
}

HttpResponse ApiRouter::Healthz() {
    const auto listening = gate_.Call([this] { return engine_.IsReceiving(); });
    if (listening.value_or(false)) {
        return JsonResponse(200, "{\"status\":\"ok\"}");
    }
    return JsonResponse(
        503, listening ? "{\"status\":\"not listening\"}" : "{\"status\":\"not answering\"}");
}

HttpResponse ApiRouter::Status() {
    const double uptime =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    const std::size_t clients = feed_->ClientCount();
    auto body = gate_.Call([this, uptime, clients] {
        JsonWriter w;
        const ServiceConfig& config = engine_.Config();
        const auto [connected, reading] = CountReaders(engine_.Devices());
        const PipelineStats& s = engine_.PipelineStats();
        w.BeginObject()
            .Key("service")
            .BeginObject()
            .Field("running", engine_.IsRunning())
            .Field("listening", engine_.IsReceiving())
            .Field("address", config.serviceIp)
            .Field("port", static_cast<unsigned>(engine_.ListeningPort()))
            .EndObject()
            .Key("api")
            .BeginObject()
            .Field("address", config_.address)
            .Field("port", static_cast<unsigned>(port_))
            .Field("feed_clients", clients)
            .EndObject()
            .Field("uptime_s", uptime)
            // The service's clock, which stamps every event: the page plots against it, not
            // against the browser's own clock.
            .Field("time_ms", engine_.GetClock().UnixMillis())
            .Key("readers")
            .BeginObject()
            .Field("connected", connected)
            .Field("reading", reading)
            .Field("listed", engine_.DeviceList().RowCount())
            .EndObject()
            .Key("tags")
            .BeginObject()
            .Field("distinct", engine_.Tags().Size())
            .Field("reads_total", engine_.Tags().TotalReads())
            .Field("present", engine_.PresentTags())
            .EndObject()
            .Field("next_seq", engine_.NextSequence())
            .Key("pipeline")
            .BeginObject()
            .Field("bytes_received", s.bytesReceived.load())
            .Field("chunks_received", s.chunksReceived.load())
            .Field("read_pauses", s.readPauses.load())
            .Field("send_pauses", s.sendPauses.load())
            .Field("bytes_discarded", s.bytesDiscarded.load())
            .Field("frames_dispatched", s.framesDispatched.load())
            .Field("events_emitted", s.eventsEmitted.load())
            .EndObject()
            .Key("sinks")
            .BeginArray();
        for (const auto& sink : engine_.Sinks()) {
            w.BeginObject()
                .Field("name", sink.name)
                .Field("queued", sink.queued)
                .Field("written", sink.written)
                .Field("held_back", sink.heldBack)
                .Field("held_back_ms", sink.heldBackMs)
                .EndObject();
        }
        w.EndArray().Key("history");
        if (const auto h = engine_.History()) {
            w.BeginObject()
                .Field("path", h->path.string())
                .Field("writing", h->writing)
                .Field("error", h->error)
                .Field("rows", h->rows)
                .Field("missed", h->missed)
                .Field("queued", h->queued)
                .Field("held_back", h->heldBack)
                .Field("bytes_on_disk", h->bytesOnDisk)
                .EndObject();
        } else {
            w.Null();
        }
        w.EndObject();
        return w.Take();
    });
    if (!body) {
        return ErrorResponse(503, kNoAnswer);
    }
    return JsonResponse(200, std::move(*body));
}

HttpResponse ApiRouter::Readers(const std::optional<std::string>& key) {
    auto result = gate_.Call([this, key]() -> std::optional<std::string> {
        const TextCodec codec = TextCodec::Usable(engine_.Config().codePage);
        const DeviceListModel& list = engine_.DeviceList();
        JsonWriter w;
        if (key) {
            const DeviceRecord record = engine_.FindDevice(*key);
            if (!record) {
                return std::nullopt;
            }
            WriteReader(w, *key, *record, codec, list.FindRow(*key).has_value());
            return w.Take();
        }
        w.BeginObject().Key("readers").BeginArray();
        for (const auto& [k, record] : engine_.Devices().Entries()) {
            WriteReader(w, k, *record, codec, list.FindRow(k).has_value());
        }
        w.EndArray().EndObject();
        return w.Take();
    });
    if (!result) {
        return ErrorResponse(503, kNoAnswer);
    }
    if (!*result) {
        return ErrorResponse(404, "unknown reader");
    }
    return JsonResponse(200, std::move(**result));
}

HttpResponse ApiRouter::Tags(const Target& target) {
    std::string bad;
    const auto offset = UnsignedParam(target, "offset", 0, bad);
    const auto limit = UnsignedParam(target, "limit", kDefaultPageLimit, bad);
    if (!offset || !limit || *limit == 0) {
        return ErrorResponse(400, "bad number: " + (bad.empty() ? std::string("limit") : bad));
    }
    const std::size_t count = std::min<std::uint64_t>(*limit, kMaxPageLimit);
    auto body = gate_.Call([this, first = *offset, count] {
        // What the list shows once its timer has run: brought up to date first.
        engine_.RefreshTagList();
        const TextCodec codec = TextCodec::Usable(engine_.Config().codePage);
        const TagListModel& list = engine_.TagList();
        JsonWriter w;
        w.BeginObject()
            .Field("total", list.RowCount())
            .Field("offset", first)
            .Key("rows")
            .BeginArray();
        for (std::uint64_t row = first; row < list.RowCount() && row < first + count; ++row) {
            w.BeginObject()
                .Field("no", list.RowNumber(row))
                .Field("id", list.Cell(row, TagListModel::kColumnId))
                .Field("device", codec.ToUtf8(list.RowDeviceName(row)))
                .Field("read_count", list.RowReadCount(row))
                .Field("last_read_time", list.RowLastReadTime(row))
                .EndObject();
        }
        w.EndArray().EndObject();
        return w.Take();
    });
    if (!body) {
        return ErrorResponse(503, kNoAnswer);
    }
    return JsonResponse(200, std::move(*body));
}

HttpResponse ApiRouter::Export() {
    struct Out {
        std::string bytes;
        int codePage;
    };
    auto out = gate_.Call([this] {
        engine_.RefreshTagList();
        const TextCodec codec = TextCodec::Usable(engine_.Config().codePage);
        return Out{BuildExportText(engine_.TagList(), codec), codec.CodePage()};
    });
    if (!out) {
        return ErrorResponse(503, kNoAnswer);
    }
    HttpResponse response{200,
                          std::string("text/plain; charset=") + CharsetOf(out->codePage),
                          std::move(out->bytes),
                          {}};
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"tags.txt\"");
    return response;
}

HttpResponse ApiRouter::ClearTags() {
    auto rows = gate_.Call([this] {
        engine_.RefreshTagList();
        const std::size_t rowCount = engine_.TagList().RowCount();
        engine_.ClearAllRecords();
        return rowCount;
    });
    if (!rows) {
        return ErrorResponse(503, kNoAnswer);
    }
    JsonWriter w;
    w.BeginObject().Field("cleared", *rows).EndObject();
    return JsonResponse(200, w.Take());
}

HttpResponse ApiRouter::Command(const Route& route, const std::string& body) {
    std::optional<int> index;
    if (route.endpoint == Endpoint::kAtten || route.endpoint == Endpoint::kCarrier) {
        index = ParseIndexBody(body);
        if (!index) {
            return ErrorResponse(400, "body must be {\"index\":n}");
        }
    }
    // 0 sent, 404 unknown, 400 index not offered, 409 send failed (with the window's text).
    struct Outcome {
        int status = 0;
        std::string error;
    };
    auto outcome = gate_.Call([this, endpoint = route.endpoint, key = route.key, index] {
        const DeviceRecord record = engine_.FindDevice(key);
        if (!record) {
            return Outcome{404, "unknown reader"};
        }
        switch (endpoint) {
            case Endpoint::kStartRead:
                return engine_.StartRead(key) ? Outcome{}
                                              : Outcome{409, LoadText(ids::kFailedToSet)};
            case Endpoint::kStopRead:
                return engine_.StopRead(key) ? Outcome{}
                                             : Outcome{409, LoadText(ids::kFailedToSet)};
            case Endpoint::kDisconnect:
                return engine_.Disconnect(key) ? Outcome{} : Outcome{404, "unknown reader"};
            case Endpoint::kQueryInfo: {
                // The Device Info page's Query: the name first; the rest only when it went out.
                if (!engine_.SendOnSocket(record->socket, CMD_QUERY_INFO, kItemDeviceName)) {
                    return Outcome{409, LoadText(ids::kFailedQueryCmd)};
                }
                for (const int item :
                     {kItemProductType, kItemSerialNo, kItemSoftwareVer, kItemHardwareVer}) {
                    engine_.SendOnSocket(record->socket, CMD_QUERY_INFO,
                                         static_cast<unsigned>(item));
                }
                return Outcome{};
            }
            case Endpoint::kAtten: {
                const ProductRange range = RangeOfProduct(record->Text(DeviceText::kProductType));
                if (!IsAttenuationIndex(range, *index)) {
                    return Outcome{400, "atten index outside 0.." +
                                            std::to_string(AttenuationSteps(range) - 1)};
                }
                if (!engine_.SendOnSocket(record->socket, CMD_SET_ATTEN,
                                          static_cast<unsigned>(*index))) {
                    return Outcome{409, LoadText(ids::kFailedSetCmd)};
                }
                // As the Reader Setting page: taken as the reader's value once sent.
                record->atten = static_cast<std::uint8_t>(*index);
                return Outcome{};
            }
            case Endpoint::kCarrier: {
                if (!IsCarrierIndex(*index)) {
                    return Outcome{400,
                                   "carrier index outside 0.." + std::to_string(kCarrierCount - 1)};
                }
                if (!engine_.SendOnSocket(record->socket, CMD_SET_CARRIER,
                                          static_cast<unsigned>(*index))) {
                    return Outcome{409, LoadText(ids::kFailedSetCmd)};
                }
                record->carrierParam = static_cast<std::uint8_t>(*index);
                return Outcome{};
            }
            default:
                return Outcome{404, "not found"};
        }
    });
    if (!outcome) {
        return ErrorResponse(503, kNoAnswer);
    }
    if (outcome->status != 0) {
        return ErrorResponse(outcome->status, outcome->error);
    }
    return JsonResponse(200, "{\"sent\":true}");
}

HttpResponse ApiRouter::Metrics() {
    const auto byReader = feed_->ReadsByReader();
    auto text = gate_.Call([this, &byReader] {
        MetricsText m;
        const auto [connected, reading] = CountReaders(engine_.Devices());
        const PipelineStats& s = engine_.PipelineStats();
        m.Family("trelvane_up", "gauge", "1 while the service listens for readers.");
        m.Sample("trelvane_up", std::uint64_t{engine_.IsReceiving() ? 1u : 0u});
        m.Family("trelvane_reads_total", "counter", "Tag reads recorded since the start.");
        m.Sample("trelvane_reads_total", engine_.Tags().TotalReads());
        m.Family("trelvane_reads_by_reader_total", "counter", "Tag reads by reader name.");
        for (const auto& [name, count] : byReader) {
            m.Sample("trelvane_reads_by_reader_total", count, {{"reader", name}});
        }
        m.Family("trelvane_readers_connected", "gauge", "Reader connections open.");
        m.Sample("trelvane_readers_connected", connected);
        m.Family("trelvane_readers_reading", "gauge", "Readers that acknowledged Start Read.");
        m.Sample("trelvane_readers_reading", reading);
        m.Family("trelvane_tags_distinct", "gauge", "Distinct tags in the tag table.");
        m.Sample("trelvane_tags_distinct", std::uint64_t{engine_.Tags().Size()});
        m.Family("trelvane_bytes_received_total", "counter", "Bytes received from readers.");
        m.Sample("trelvane_bytes_received_total", s.bytesReceived.load());
        m.Family("trelvane_bytes_discarded_total", "counter",
                 "Bytes discarded from full buffers without a frame start.");
        m.Sample("trelvane_bytes_discarded_total", s.bytesDiscarded.load());
        m.Family("trelvane_read_pauses_total", "counter",
                 "Times a full receive buffer held a reader back.");
        m.Sample("trelvane_read_pauses_total", s.readPauses.load());
        m.Family("trelvane_events_total", "counter",
                 "Events of the stream (reads, presence, devices).");
        m.Sample("trelvane_events_total", s.eventsEmitted.load());
        const auto sinks = engine_.Sinks();
        m.Family("trelvane_sink_written_total", "counter", "Events each sink consumed.");
        for (const auto& sink : sinks) {
            m.Sample("trelvane_sink_written_total", sink.written, {{"sink", sink.name}});
        }
        m.Family("trelvane_sink_queued", "gauge", "Events waiting for each sink.");
        for (const auto& sink : sinks) {
            m.Sample("trelvane_sink_queued", sink.queued, {{"sink", sink.name}});
        }
        m.Family("trelvane_sink_held_back_total", "counter",
                 "Times a full sink queue held the parse thread back.");
        for (const auto& sink : sinks) {
            m.Sample("trelvane_sink_held_back_total", sink.heldBack, {{"sink", sink.name}});
        }
        if (const auto h = engine_.History()) {
            m.Family("trelvane_history_rows_total", "counter", "Rows the history stored.");
            m.Sample("trelvane_history_rows_total", h->rows);
            m.Family("trelvane_history_missed_total", "counter",
                     "Events the history could not store.");
            m.Sample("trelvane_history_missed_total", h->missed);
            m.Family("trelvane_history_queued", "gauge", "Events waiting for the history.");
            m.Sample("trelvane_history_queued", h->queued);
            m.Family("trelvane_history_bytes", "gauge", "Bytes of the history on disk.");
            m.Sample("trelvane_history_bytes",
                     static_cast<std::uint64_t>(std::max<std::int64_t>(h->bytesOnDisk, 0)));
            m.Family("trelvane_history_writing", "gauge", "1 while the history writes.");
            m.Sample("trelvane_history_writing", std::uint64_t{h->writing ? 1u : 0u});
        }
        return m.Take();
    });
    if (!text) {
        return ErrorResponse(503, kNoAnswer);
    }
    {
        // Off the engine's thread: the zones and the register answer any thread.
        MetricsText m;
        SiteMetrics(m);
        *text += m.Take();
    }
    if (server_ != nullptr) {
        MetricsText m;
        const HttpServer::Counters& c = server_->Stats();
        m.Family("trelvane_api_requests_total", "counter", "HTTP requests answered.");
        m.Sample("trelvane_api_requests_total", c.requests.load());
        m.Family("trelvane_api_refused_connections_total", "counter",
                 "Connections refused over the limit.");
        m.Sample("trelvane_api_refused_connections_total", c.refusedConnections.load());
        m.Family("trelvane_api_feed_clients", "gauge", "Live feed clients.");
        m.Sample("trelvane_api_feed_clients", c.webSocketClients.load());
        m.Family("trelvane_api_slow_clients_closed_total", "counter",
                 "Live feed clients closed for not keeping up.");
        m.Sample("trelvane_api_slow_clients_closed_total", c.slowClientsClosed.load());
        *text += m.Take();
    }
    return HttpResponse{200, "text/plain; version=0.0.4; charset=utf-8", std::move(*text), {}};
}

}  // namespace trelvane::api
