#pragma once

// The program's own string table, and the lookup through which every user-visible text is
// fetched by id. A language pack, when one is loaded, is consulted first; a text it lacks (or
// holds empty) comes from the program's own table; an id found nowhere gives an empty text.
// Texts are UTF-8 here and are converted to the configured code page only where bytes leave
// the program (read log, export).
//
// Thread-safety: LoadText and OwnText may be called from any thread (the parse thread formats
// log lines with string 112); SetLanguagePack swaps the pack atomically.

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace trelvane {

namespace ids {
// Captions and prompts.
inline constexpr int kDeviceCaption = 102;  // "DEVICE：%s"
inline constexpr int kTips = 104;
inline constexpr int kTabServiceSetting = 107;
inline constexpr int kTitleServiceSetting = 108;
inline constexpr int kTabDeviceInfo = 109;
inline constexpr int kTabReaderSetting = 110;
inline constexpr int kDeviceOperation = 111;
inline constexpr int kReadLogLine = 112;  // "ID：%s\tFrom Device：%s\tRead Time：%s\r\n"
inline constexpr int kReaderInfo = 113;
inline constexpr int kReady = 114;
// Device list headers.
inline constexpr int kDeviceColumnNo = 115;
inline constexpr int kDeviceColumnDevice = 116;
inline constexpr int kDeviceColumnLoginTime = 117;
inline constexpr int kDeviceColumnLastRegTime = 118;
inline constexpr int kDeviceColumnTagCount = 119;
// Tag list headers.
inline constexpr int kTagColumnHiddenId = 120;
inline constexpr int kTagColumnNo = 121;
inline constexpr int kTagColumnId = 122;
inline constexpr int kTagColumnDevice = 123;
inline constexpr int kTagColumnCount = 124;
inline constexpr int kTagColumnLastReadTime = 125;
// Service messages.
inline constexpr int kConfigFirst = 126;
inline constexpr int kFailedToStart = 127;
inline constexpr int kFailedParseThread = 128;
inline constexpr int kError = 129;
inline constexpr int kAskExit = 130;
inline constexpr int kExit = 131;
inline constexpr int kSelectDeviceFirst = 133;
inline constexpr int kAskDisconnect = 134;  // "Are you sure disconnect %s?"
inline constexpr int kNotice = 135;
inline constexpr int kDisconnected = 136;  // "Disconnect %s"
inline constexpr int kExportTitle = 137;
inline constexpr int kFailedToOpenFile = 138;
inline constexpr int kExportHeader = 139;
inline constexpr int kAppTitle = 141;
// Menu bar, depth-first in menu order: 142 "System Control" .. 157 "About".
inline constexpr int kMenuFirst = 142;
inline constexpr int kMenuLast = 157;
// Status bar.
inline constexpr int kServiceStarted = 59141;
inline constexpr int kServiceStopped = 59142;
inline constexpr int kStatus = 59143;
// Framework prompts of the port field.
inline constexpr int kEnterInteger = 61714;  // "请输入一个在 %1 和 %2 之间的整数。"
inline constexpr int kEnterPositive = 61719;
// Command strings: "<menu prompt>\n<tooltip>", looked up by command id.
inline constexpr int kCmdStartService = 32771;
inline constexpr int kCmdStopService = 32772;
inline constexpr int kCmdDisconnect = 32773;
inline constexpr int kCmdRefreshId = 32774;
inline constexpr int kCmdExitSystem = 32776;
inline constexpr int kCmdDeviceInfo = 32777;
inline constexpr int kCmdServerSetting = 32778;
inline constexpr int kCmdAbout = 32780;
inline constexpr int kCmdHistory = 32800;
// Texts the pages, prompts and About box show; given ids of their own so that a language pack
// can translate them too.
inline constexpr int kFailedToSet = 200;
inline constexpr int kFailedQueryCmd = 201;
inline constexpr int kFailedSetCmd = 202;
inline constexpr int kSuccessSetDevice = 203;
inline constexpr int kFailedSetDevice = 204;
inline constexpr int kFailedQueryDevice = 205;
inline constexpr int kDeviceIsReading = 206;  // "Device %s is reading... Please stop first!"
inline constexpr int kNoLocalIp = 207;
inline constexpr int kSetSuccess = 208;
inline constexpr int kNoSocketLibrary = 209;
inline constexpr int kWrongSocketLibrary = 210;
inline constexpr int kAboutCaption = 211;
inline constexpr int kAboutVersion = 212;
inline constexpr int kResolveFailed = 213;  // "获取本机IP地址错误!!!"
inline constexpr int kExportFilterText = 214;
inline constexpr int kExportFilterExcel = 215;
inline constexpr int kExportFilterAll = 216;
// The history could not be opened; %s is the reason.
inline constexpr int kHistoryUnavailable = 220;  // "The history is not kept: %s"
// The History window and the read-rate plot.
inline constexpr int kMenuHistory = 230;
inline constexpr int kHistoryTitle = 231;
inline constexpr int kHistoryFrom = 232;
inline constexpr int kHistoryTo = 233;
inline constexpr int kHistoryRange = 234;
inline constexpr int kRangeCustom = 235;
inline constexpr int kRangeLastHour = 236;
inline constexpr int kRangeToday = 237;
inline constexpr int kRangeYesterday = 238;
inline constexpr int kRangeAll = 239;
inline constexpr int kHistoryTag = 240;
inline constexpr int kHistoryReader = 241;
inline constexpr int kHistoryKind = 242;
inline constexpr int kKindReads = 243;
inline constexpr int kKindPresence = 244;
inline constexpr int kKindDevices = 245;
inline constexpr int kHistorySearch = 246;
inline constexpr int kHistoryExport = 247;
inline constexpr int kTabEvents = 248;
inline constexpr int kTabVisits = 249;
inline constexpr int kRowsCounting = 250;
inline constexpr int kRowsTotal = 251;
inline constexpr int kVisitsTotal = 252;
inline constexpr int kVisitsCut = 253;
inline constexpr int kHistoryOff = 254;
inline constexpr int kHistoryNone = 255;
inline constexpr int kHistoryLocked = 256;
inline constexpr int kHistoryUnreadable = 257;
inline constexpr int kHistoryNoConfig = 258;
inline constexpr int kBadTag = 259;
inline constexpr int kBadRange = 260;
inline constexpr int kExportHistoryTitle = 261;
inline constexpr int kExportCsvFilter = 262;
inline constexpr int kExporting = 263;
inline constexpr int kCancel = 264;
inline constexpr int kExportFailed = 265;
inline constexpr int kExportDone = 266;
inline constexpr int kColumnSeq = 267;
inline constexpr int kColumnTime = 268;
inline constexpr int kColumnTag = 269;
inline constexpr int kColumnReader = 270;
inline constexpr int kColumnDevice = 271;
inline constexpr int kColumnReaderTime = 272;
inline constexpr int kColumnEvent = 273;
inline constexpr int kColumnArrive = 274;
inline constexpr int kColumnDepart = 275;
inline constexpr int kColumnDwell = 276;
inline constexpr int kReadRateTip = 277;
inline constexpr int kVisitsCounting = 278;
inline constexpr int kKindZones = 279;
inline constexpr int kColumnZone = 280;
inline constexpr int kColumnSince = 281;
inline constexpr int kColumnLastSeen = 282;
// The Assets and Zones window, and the tag list's columns from the site register.
inline constexpr int kMenuSite = 283;
inline constexpr int kSiteTitle = 284;
inline constexpr int kTabZones = 285;
inline constexpr int kTabAssets = 286;
inline constexpr int kSiteNotStarted = 287;
inline constexpr int kSiteUnavailable = 288;
inline constexpr int kColumnReaders = 290;
inline constexpr int kColumnLabel = 291;
inline constexpr int kColumnGroup = 292;
inline constexpr int kColumnNote = 293;
inline constexpr int kColumnAsset = 294;
inline constexpr int kAddItem = 295;
inline constexpr int kEditItem = 296;
inline constexpr int kRemoveItem = 297;
inline constexpr int kAssetFind = 298;
inline constexpr int kAssetFindHint = 299;
inline constexpr int kAssetsTotal = 300;
inline constexpr int kAssetsFound = 301;
inline constexpr int kImportCsv = 302;
inline constexpr int kImportMerge = 303;
inline constexpr int kImportReplace = 304;
inline constexpr int kExportAssets = 305;
inline constexpr int kImportTitle = 306;
inline constexpr int kExportAssetsTitle = 307;
inline constexpr int kAskReplace = 308;
inline constexpr int kImporting = 309;
inline constexpr int kExportingAssets = 310;
inline constexpr int kImportDone = 311;
inline constexpr int kImportFailed = 312;
inline constexpr int kAssetsExported = 313;
inline constexpr int kImportCancelled = 314;
inline constexpr int kExportCancelled = 315;
inline constexpr int kAddZone = 316;
inline constexpr int kEditZone = 317;
inline constexpr int kAddAsset = 318;
inline constexpr int kEditAsset = 319;
inline constexpr int kZoneName = 320;
inline constexpr int kColumnConnected = 321;
inline constexpr int kConnectedYes = 322;
inline constexpr int kOtherReader = 323;
inline constexpr int kAddReader = 324;
inline constexpr int kZoneExists = 325;
inline constexpr int kAskRemoveZone = 326;
inline constexpr int kAskRemoveAsset = 327;
inline constexpr int kAskReplaceAsset = 328;
inline constexpr int kZoneSaved = 329;
inline constexpr int kZoneRemoved = 330;
inline constexpr int kAssetSaved = 331;
inline constexpr int kAssetRemoved = 332;
inline constexpr int kAssetCell = 333;
inline constexpr int kOk = 334;
// The History window's asset filter.
inline constexpr int kHistoryAsset = 335;
inline constexpr int kHistoryGroup = 336;
inline constexpr int kAssetUnknown = 337;
inline constexpr int kAssetNotInGroup = 338;
inline constexpr int kGroupUnknown = 339;
inline constexpr int kAssetNeedsSite = 340;
inline constexpr int kAssetNotForDevices = 341;
// The History window's alerts (from 400: the ids below are taken in steps by other windows).
inline constexpr int kKindAlerts = 400;
inline constexpr int kColumnRaised = 401;
inline constexpr int kColumnRule = 402;
inline constexpr int kColumnRuleKind = 403;
inline constexpr int kColumnAlertSince = 404;
inline constexpr int kColumnAlertText = 405;
inline constexpr int kColumnBy = 406;
}  // namespace ids

// A loaded language pack: id -> UTF-8 text.
using LanguagePack = std::unordered_map<int, std::string>;

// The text of `id`: the loaded pack's when it has a non-empty one, else the program's own.
std::string LoadText(int id);
// Changes whenever SetLanguagePack is called: a caller that keeps a converted text checks this
// (one atomic load) instead of loading the text again for every use.
std::uint64_t TextGeneration();

// The program's own text of `id`, ignoring any pack (tooltips and the service-state texts).
std::string OwnText(int id);

// Installs `pack` (nullptr: none). Later LoadText calls see it; calls in flight finish with the
// pack they started with.
void SetLanguagePack(std::shared_ptr<const LanguagePack> pack);

// Every id of the program's own table, in ascending order (for building and checking packs).
std::vector<int> OwnTextIds();

// printf-style %s substitution over UTF-8 or raw byte texts: each "%s" takes the next argument
// whole (no truncation), "%%" is a percent sign; other conversions are copied as they stand.
std::string FormatText(const std::string& format, const std::vector<std::string>& args);

// A format cut once at each "%s", for callers that fill it many times: piece i is literal text
// ("%%" already a percent sign) followed by argument `arg`, the index of its "%s" (-1 after the
// last piece). Filling the pieces gives exactly what FormatText gives.
struct FormatPiece {
    std::string literal;
    int arg = -1;
};
std::vector<FormatPiece> CompileFormat(const std::string& format);

}  // namespace trelvane
