#include "records/StringTable.h"

#include <algorithm>
#include <atomic>
#include <map>

namespace trelvane {
namespace {

const std::map<int, std::string>& OwnTable() {
    static const std::map<int, std::string> table = {
        {ids::kDeviceCaption, "DEVICE：%s"},
        {ids::kTips, "Tips"},
        {ids::kTabServiceSetting, "Service Setting"},
        {ids::kTitleServiceSetting, "Service Setting"},
        {ids::kTabDeviceInfo, "Device Info"},
        {ids::kTabReaderSetting, "Reader Setting"},
        {ids::kDeviceOperation, "Device Operation"},
        {ids::kReadLogLine, "ID：%s\tFrom Device：%s\tRead Time：%s\r\n"},
        {ids::kReaderInfo, "Reader Info:"},
        {ids::kReady, "Ready"},
        {ids::kDeviceColumnNo, "No."},
        {ids::kDeviceColumnDevice, "Device"},
        {ids::kDeviceColumnLoginTime, "Login Time"},
        {ids::kDeviceColumnLastRegTime, "Last Reg Time"},
        {ids::kDeviceColumnTagCount, "TagCount"},
        {ids::kTagColumnHiddenId, "ID"},
        {ids::kTagColumnNo, "No."},
        {ids::kTagColumnId, "ID"},
        {ids::kTagColumnDevice, "Device"},
        {ids::kTagColumnCount, "Count"},
        {ids::kTagColumnLastReadTime, "Last Read Time"},
        {ids::kConfigFirst, "Please config service parameter first!"},
        {ids::kFailedToStart, "Failed to start service!"},
        {ids::kFailedParseThread, "Failed to create parase data thread"},
        {ids::kError, "Error"},
        {ids::kAskExit, "Are you sure exit？"},
        {ids::kExit, "Exit"},
        {ids::kSelectDeviceFirst, "Please select device first!"},
        {ids::kAskDisconnect, "Are you sure disconnect %s?"},
        {ids::kNotice, "Notice"},
        {ids::kDisconnected, "Disconnect %s"},
        {ids::kExportTitle, "Export read id record"},
        {ids::kFailedToOpenFile, "Failed to open file"},
        {ids::kExportHeader, "Index\tID\tDevice\tRead Count\tLast Read Time\r\n"},
        {ids::kAppTitle, "Trelvane"},
        {142, "System Control"},
        {143, "Start Service"},
        {144, "Stop Service"},
        {145, "Disconnect Device"},
        {146, "Refresh ID"},
        {147, "Exit System"},
        {148, "System Setting"},
        {149, "Server Setting"},
        {150, "Language"},
        {151, "Chinese(P.R.C)"},
        {152, "Traditional Chinese"},
        {153, "English"},
        {154, "Device Manage"},
        {155, "Device Info"},
        {156, "Help"},
        {157, "About"},
        {ids::kServiceStarted, "Service Started"},
        {ids::kServiceStopped, "Service Stoped"},
        {ids::kStatus, "Status:"},
        {ids::kEnterInteger, "请输入一个在 %1 和 %2 之间的整数。"},
        {ids::kEnterPositive, "请输入一个正整数。"},
        {ids::kCmdStartService, "Start Service\nStart Service"},
        {ids::kCmdStopService, "Stop Service\nStop Service"},
        {ids::kCmdDisconnect, "Disconnect Device\nDisconnect DTU"},
        {ids::kCmdRefreshId, "Refresh ID\nRefresh Id"},
        {ids::kCmdExitSystem, "Exit System\nExit"},
        {ids::kCmdDeviceInfo, "Device Info\nDevice Info"},
        {ids::kCmdServerSetting, "Server Setting\nService Config"},
        {ids::kCmdAbout, "About\nAbout"},
        {ids::kCmdHistory, "History\nHistory of reads"},
        {ids::kFailedToSet, "Failed to set!"},
        {ids::kFailedQueryCmd, "Failed to send query CMD!"},
        {ids::kFailedSetCmd, "Failed to send set CMD!"},
        {ids::kSuccessSetDevice, "Success to set device info!"},
        {ids::kFailedSetDevice, "Failed to set device info!"},
        {ids::kFailedQueryDevice, "Failed to query device info!"},
        {ids::kDeviceIsReading, "Device %s is reading... Please stop first!"},
        {ids::kNoLocalIp, "There is no local ip address!"},
        {ids::kSetSuccess, "Set Success"},
        {ids::kNoSocketLibrary, "there is no winsock DLL to use"},
        {ids::kWrongSocketLibrary, "there is not right winsock DLL "},
        {ids::kAboutCaption, "About Trelvane"},
        {ids::kAboutVersion, "Trelvane 1.9.0"},
        {ids::kResolveFailed, "获取本机IP地址错误!!!"},
        {ids::kExportFilterText, "文本文档(*.txt)"},
        {ids::kExportFilterExcel, "Microsoft Office Excel(*.xls)"},
        {ids::kExportFilterAll, "All Files(*.*)"},
        {ids::kHistoryUnavailable, "The history is not kept: %s"},
        {ids::kMenuHistory, "History..."},
        {ids::kHistoryTitle, "History"},
        {ids::kHistoryFrom, "From"},
        {ids::kHistoryTo, "To"},
        {ids::kHistoryRange, "Range"},
        {ids::kRangeCustom, "Custom"},
        {ids::kRangeLastHour, "Last hour"},
        {ids::kRangeToday, "Today"},
        {ids::kRangeYesterday, "Yesterday"},
        {ids::kRangeAll, "Everything"},
        {ids::kHistoryTag, "Tag ID"},
        {ids::kHistoryReader, "Reader"},
        {ids::kHistoryKind, "Kind"},
        {ids::kKindReads, "Reads"},
        {ids::kKindPresence, "Presence"},
        {ids::kKindDevices, "Device events"},
        {ids::kHistorySearch, "Search"},
        {ids::kHistoryExport, "Export CSV..."},
        {ids::kTabEvents, "Events"},
        {ids::kTabVisits, "Presence per tag"},
        {ids::kRowsCounting, "%s rows so far..."},
        {ids::kRowsTotal, "%s rows"},
        {ids::kVisitsTotal, "%s visits"},
        {ids::kVisitsCut, "%s visits (the first of the range; narrow it to see the rest)"},
        {ids::kHistoryOff, "The history is off: [History] Enabled=0 in %s."},
        {ids::kHistoryNone,
         "There is no history yet: %s does not exist. The service makes it when it starts with the "
         "history on."},
        {ids::kHistoryLocked,
         "The history is locked by another process: %s. Try again when it is free."},
        {ids::kHistoryUnreadable, "The history cannot be read: %s"},
        {ids::kHistoryNoConfig, "No settings file: %s cannot be read."},
        {ids::kBadTag, "The tag ID is a decimal number from 0 to 4294967295."},
        {ids::kBadRange, "The end of the range is not after its start."},
        {ids::kExportHistoryTitle, "Export history"},
        {ids::kExportCsvFilter, "CSV files (*.csv)"},
        {ids::kExporting, "Exporting %s rows..."},
        {ids::kCancel, "Cancel"},
        {ids::kExportFailed, "The export failed: %s"},
        {ids::kExportDone, "%s rows exported to %s"},
        {ids::kColumnSeq, "Seq"},
        {ids::kColumnTime, "Time"},
        {ids::kColumnTag, "Tag"},
        {ids::kColumnReader, "Reader"},
        {ids::kColumnDevice, "Device"},
        {ids::kColumnReaderTime, "Reader time"},
        {ids::kColumnEvent, "Event"},
        {ids::kColumnArrive, "Arrive"},
        {ids::kColumnDepart, "Depart"},
        {ids::kColumnDwell, "Dwell"},
        {ids::kReadRateTip, "Tag reads per second, last five minutes"},
        {ids::kVisitsCounting, "%s visits so far..."},
        {ids::kKindZones, "Zone events"},
        {ids::kColumnZone, "Zone"},
        {ids::kColumnSince, "Since"},
        {ids::kColumnLastSeen, "Last seen"},
        {ids::kMenuSite, "Assets and Zones..."},
        {ids::kSiteTitle, "Assets and Zones"},
        {ids::kTabZones, "Zones"},
        {ids::kTabAssets, "Assets"},
        {ids::kSiteNotStarted,
         "The site register opens when the service starts for the first time. Start the service "
         "and its zones and assets show here."},
        {ids::kSiteUnavailable, "The site register cannot be opened: %s"},
        {ids::kColumnReaders, "Readers"},
        {ids::kColumnLabel, "Label"},
        {ids::kColumnGroup, "Group"},
        {ids::kColumnNote, "Note"},
        {ids::kColumnAsset, "Asset"},
        {ids::kAddItem, "Add..."},
        {ids::kEditItem, "Edit..."},
        {ids::kRemoveItem, "Remove"},
        {ids::kAssetFind, "Find"},
        {ids::kAssetFindHint, "Part of a label or group, or a tag ID"},
        {ids::kAssetsTotal, "%s assets"},
        {ids::kAssetsFound, "%s of %s assets"},
        {ids::kImportCsv, "Import CSV"},
        {ids::kImportMerge, "Add and update from a file..."},
        {ids::kImportReplace, "Replace the list with a file..."},
        {ids::kExportAssets, "Export CSV..."},
        {ids::kImportTitle, "Import assets"},
        {ids::kExportAssetsTitle, "Export assets"},
        {ids::kAskReplace,
         "Replace the asset list with %s? Registered assets the file does not name are removed."},
        {ids::kImporting, "Importing: %s lines read..."},
        {ids::kExportingAssets, "Exporting: %s lines written..."},
        {ids::kImportDone, "Imported %s: %s added, %s updated, %s removed."},
        {ids::kImportFailed, "The import changed nothing: %s"},
        {ids::kAssetsExported, "%s assets exported to %s"},
        {ids::kImportCancelled, "The import was cancelled; nothing was changed."},
        {ids::kExportCancelled, "The export was cancelled."},
        {ids::kAddZone, "Add zone"},
        {ids::kEditZone, "Edit zone"},
        {ids::kAddAsset, "Add asset"},
        {ids::kEditAsset, "Edit asset"},
        {ids::kZoneName, "Name"},
        {ids::kColumnConnected, "Connected"},
        {ids::kConnectedYes, "yes"},
        {ids::kOtherReader, "Another reader"},
        {ids::kAddReader, "Add"},
        {ids::kZoneExists, "A zone named %s exists already."},
        {ids::kAskRemoveZone, "Remove zone %s? The tags in it leave it at once."},
        {ids::kAskRemoveAsset, "Remove asset %s (tag %s)?"},
        {ids::kAskReplaceAsset, "Tag %s is registered already, as %s. Replace it?"},
        {ids::kZoneSaved, "Zone %s saved."},
        {ids::kZoneRemoved, "Zone %s removed."},
        {ids::kAssetSaved, "Asset %s saved."},
        {ids::kAssetRemoved, "Asset %s removed."},
        {ids::kAssetCell, "%s (%s)"},
        {ids::kOk, "OK"},
        {ids::kHistoryAsset, "Asset"},
        {ids::kHistoryGroup, "Group"},
        {ids::kAssetUnknown,
         "No asset in the site register is labelled %s, so there are no rows to show."},
        {ids::kAssetNotInGroup,
         "No asset labelled %s is in the group %s, so there are no rows to show."},
        {ids::kGroupUnknown,
         "No asset in the site register is in the group %s, so there are no rows to show."},
        {ids::kAssetNeedsSite,
         "The Asset and Group filters look labels up in the site register, which opens when the "
         "service starts for the first time. Start the service, then search again."},
        {ids::kAssetNotForDevices,
         "Device events have no tag: the Asset and Group filters apply to reads, presence and zone "
         "events."},
        {ids::kKindAlerts, "Alerts"},
        {ids::kColumnRaised, "Raised"},
        {ids::kColumnRule, "Rule"},
        {ids::kColumnRuleKind, "Rule kind"},
        {ids::kColumnAlertSince, "Since"},
        {ids::kColumnAlertText, "Text / note"},
        {ids::kColumnBy, "By"},
    };
    return table;
}

std::atomic<std::shared_ptr<const LanguagePack>>& PackSlot() {
    static std::atomic<std::shared_ptr<const LanguagePack>> pack;
    return pack;
}

}  // namespace

std::string OwnText(int id) {
    const auto& table = OwnTable();
    const auto it = table.find(id);
    return it != table.end() ? it->second : std::string();
}

std::string LoadText(int id) {
    const std::shared_ptr<const LanguagePack> pack = PackSlot().load();
    if (pack) {
        const auto it = pack->find(id);
        if (it != pack->end() && !it->second.empty()) {
            return it->second;
        }
    }
    return OwnText(id);
}

namespace {
std::atomic<std::uint64_t> g_textGeneration{1};
}  // namespace

void SetLanguagePack(std::shared_ptr<const LanguagePack> pack) {
    PackSlot().store(std::move(pack));
    // After the store: whoever sees the new generation loads the new pack.
    g_textGeneration.fetch_add(1, std::memory_order_release);
}

std::uint64_t TextGeneration() {
    return g_textGeneration.load(std::memory_order_acquire);
}

std::vector<int> OwnTextIds() {
    std::vector<int> result;
    for (const auto& [id, text] : OwnTable()) {
        result.push_back(id);
    }
    return result;
}

std::vector<FormatPiece> CompileFormat(const std::string& format) {
    std::vector<FormatPiece> pieces;
    std::string literal;
    int next = 0;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format[i] == '%' && i + 1 < format.size()) {
            if (format[i + 1] == 's') {
                pieces.push_back(FormatPiece{std::move(literal), next++});
                literal.clear();
                ++i;
                continue;
            }
            if (format[i + 1] == '%') {
                literal += '%';
                ++i;
                continue;
            }
        }
        literal += format[i];
    }
    pieces.push_back(FormatPiece{std::move(literal), -1});
    return pieces;
}

std::string FormatText(const std::string& format, const std::vector<std::string>& args) {
    std::string out;
    out.reserve(format.size() + 32);
    for (const FormatPiece& piece : CompileFormat(format)) {
        out += piece.literal;
        if (piece.arg >= 0 && static_cast<std::size_t>(piece.arg) < args.size()) {
            out += args[static_cast<std::size_t>(piece.arg)];
        }
    }
    return out;
}

}  // namespace trelvane
