// The service's site register: opened at start, its zone timing from [Site] and [History].

#include <QLoggingCategory>

#include <algorithm>

#include "history/Reader.h"
#include "service/HistorySink.h"
#include "service/ServiceEngine.h"
#include "settings/SiteConfig.h"

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {

ZoneSetup ServiceEngine::OpenSite() {
    const std::filesystem::path source = ConfigSource();
    const SiteConfig config = ReadSiteConfig(source).value_or(SiteConfig{});
    const HistoryConfig history = ReadHistoryConfig(source).value_or(HistoryConfig{});
    const std::filesystem::path path = ResolveSitePath(config, workingFolder_);
    std::lock_guard lock(siteMutex_);
    if (!site_ || site_->Path() != path) {
        site::Fault fault;
        site_ = site::Register::Open(path, fault);
        siteProblem_.clear();
        if (!site_) {
            siteProblem_ = "site register " + path.string() + ": " + fault.text +
                           " - running without zones and assets";
            qCWarning(lcService).noquote() << QString::fromStdString(siteProblem_);
        }
    }
    ZoneSetup setup;
    setup.site = site_;
    setup.exitAfterMs = config.ExitAfterMs(history.departAfterSeconds);
    setup.moveAfterMs = config.MoveAfterMs();
    setup.codePage = config_.codePage;
    if (site_ && history_ != nullptr) {
        // Where the tags were when the last run ended (or was killed): no enter for them now,
        // and an exit at their last read plus ExitAfter for those that are gone.
        auto reader = history::Reader::Open(history_->Path());
        auto open = reader ? reader->OpenZones() : decltype(reader->OpenZones())(reader.error());
        if (!open) {
            qCWarning(lcService).noquote()
                << "history: cannot read the open zone stays:"
                << QString::fromStdString(open.error().text) << "- zones start empty";
        } else {
            const TextCodec codec = TextCodec::Usable(config_.codePage);
            for (const history::OpenZone& stay : open.value()) {
                setup.restored.push_back(
                    ZoneTracker::Stay{stay.tag, stay.zone, codec.FromUtf8(stay.reader), stay.device,
                                      stay.sinceMs, std::max(stay.lastSeenMs, stay.sinceMs)});
            }
        }
    }
    return setup;
}

RuleSetup ServiceEngine::RuleSetupFor(const ZoneSetup& zones) {
    RuleSetup setup;
    setup.site = zones.site;
    setup.goneAfterMs = zones.exitAfterMs;
    setup.codePage = zones.codePage;
    if (zones.site && history_ != nullptr) {
        // Alerts open when the last run ended: taken up without a new event while they hold.
        auto reader = history::Reader::Open(history_->Path());
        auto open = reader ? reader->OpenAlerts() : decltype(reader->OpenAlerts())(reader.error());
        if (!open) {
            qCWarning(lcService).noquote()
                << "history: cannot read the open alerts:"
                << QString::fromStdString(open.error().text) << "- alerts start anew";
        } else {
            for (history::OpenAlert& alert : open.value()) {
                setup.restored.push_back(
                    RuleEngine::Open{std::move(alert.raised), std::move(alert.acknowledged)});
            }
        }
    }
    return setup;
}

std::shared_ptr<site::Register> ServiceEngine::Site() const {
    std::lock_guard lock(siteMutex_);
    return site_;
}

std::string ServiceEngine::SiteProblem() const {
    std::lock_guard lock(siteMutex_);
    return siteProblem_;
}

events::LabelSource ServiceEngine::Labels() const {
    return [this]() -> std::shared_ptr<const events::Labels> {
        const std::shared_ptr<site::Register> site = Site();
        return site ? site->Current() : nullptr;
    };
}

}  // namespace trelvane
