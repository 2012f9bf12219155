#include "shell/LauguageOp.h"

#include <QCoreApplication>
#include <QFile>
#include <QLibraryInfo>
#include <QLoggingCategory>
#include <QTranslator>
#include <fstream>
#include <string>
#include <system_error>

Q_LOGGING_CATEGORY(lcLanguage, "trelvane.language")

namespace trelvane {
namespace {

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) {
            return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
        };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

QString ToQString(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.native()));
}

}  // namespace

std::array<LanguageEntry, 3> DefaultLanguageTable() {
    return {{
        {kLanguageEnglish, "english", false, "en_US", 1252, nullptr},
        {kLanguageChinesePrc, "chs", true, "zh_CN", 936, nullptr},
        {kLanguageTraditionalChinese, "cht", false, "zh_TW", 950, "qtbase_zh_TW"},
    }};
}

std::optional<std::filesystem::path> FindPackFile(const std::filesystem::path& folder,
                                                  const char* packName) {
    const std::string wanted = std::string(packName) + ".qm";
    std::error_code error;
    const std::filesystem::path exact = folder / wanted;
    if (std::filesystem::is_regular_file(exact, error)) {
        return exact;
    }
    std::optional<std::filesystem::path> found;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code typeError;
        if (it->is_directory(typeError) || !it->exists(typeError)) {
            continue;
        }
        if (EqualsIgnoringCase(it->path().filename().string(), wanted)) {
            // Directory order is arbitrary; take the smallest name so the choice is stable.
            if (!found || it->path().filename() < found->filename()) {
                found = it->path();
            }
        }
    }
    return found;
}

std::optional<LanguagePack> LoadLanguagePackFile(const std::filesystem::path& file) {
    QTranslator translator;
    if (!translator.load(ToQString(file))) {
        return std::nullopt;
    }
    LanguagePack pack;
    for (const int id : OwnTextIds()) {
        const QByteArray key = QByteArray::number(id);
        const QString text = translator.translate(nullptr, key.constData());
        if (!text.isEmpty()) {
            pack.emplace(id, text.toStdString());
        }
    }
    return pack;
}

std::filesystem::path QtTranslationsFolder() {
    return std::filesystem::path(
        QFile::encodeName(QLibraryInfo::path(QLibraryInfo::TranslationsPath)).toStdString());
}

std::uint16_t LanguageOfLocale(const QLocale& locale) {
    switch (locale.language()) {
        case QLocale::English:
            return locale.territory() == QLocale::UnitedStates ? kLanguageEnglish : 0;
        case QLocale::Chinese:
            switch (locale.territory()) {
                case QLocale::Taiwan:
                    return kLanguageTraditionalChinese;
                case QLocale::HongKong:
                    return 0x0C04;
                case QLocale::Macao:
                    return 0x1404;
                case QLocale::Singapore:
                    return 0x1004;
                default:
                    return locale.script() == QLocale::TraditionalChineseScript
                               ? kLanguageTraditionalChinese
                               : kLanguageChinesePrc;
            }
        default:
            return 0;
    }
}

LanguageState::LanguageState(ProgramFolders& folders, std::uint16_t threadLanguage)
    : LanguageState(folders.Get(ProgramFolders::kLanguage, true), threadLanguage) {}

LanguageState::LanguageState(std::filesystem::path folder, std::uint16_t threadLanguage)
    : folder_(std::move(folder)),
      table_(DefaultLanguageTable()),
      threadLanguage_(threadLanguage),
      current_(threadLanguage),
      qtFolder_(QtTranslationsFolder()) {
    std::error_code error;
    std::filesystem::create_directories(folder_, error);  // ignored: own texts only
    Rescan();
}

LanguageState::~LanguageState() {
    RemoveQtTranslation();
}

const LanguageEntry* LanguageState::Entry(std::uint16_t language) const {
    for (const LanguageEntry& entry : table_) {
        if (entry.id == language) {
            return &entry;
        }
    }
    return nullptr;
}

bool LanguageState::Available(std::uint16_t language) const {
    const LanguageEntry* entry = Entry(language);
    return entry != nullptr && entry->available;
}

void LanguageState::Rescan() {
    for (LanguageEntry& entry : table_) {
        if (entry.id != kLanguageChinesePrc) {
            entry.available = FindPackFile(folder_, entry.packName).has_value();
        }
    }
}

bool LanguageState::Select(std::uint16_t language) {
    const LanguageEntry* entry = Entry(language);
    if (entry == nullptr || !entry->available) {
        return false;
    }
    SetLanguagePack(nullptr);
    RemoveQtTranslation();
    loaded_ = 0;
    if (entry->id == kLanguageChinesePrc) {
        return true;
    }
    const auto file = FindPackFile(folder_, entry->packName);
    std::optional<LanguagePack> pack;
    if (file) {
        pack = LoadLanguagePackFile(*file);
    }
    if (!pack) {
        qCWarning(lcLanguage) << "cannot load the language pack" << entry->packName;
        return false;
    }
    SetLanguagePack(std::make_shared<const LanguagePack>(std::move(*pack)));
    loaded_ = entry->id;
    InstallQtTranslation(*entry);
    return true;
}

void LanguageState::InstallQtTranslation(const LanguageEntry& entry) {
    if (entry.qtTexts == nullptr || QCoreApplication::instance() == nullptr) {
        return;
    }
    // The exact file only: given a bare name, QTranslator would fall back to qtbase_zh.qm or
    // qtbase.qm, another language's texts.
    const std::filesystem::path file = qtFolder_ / (std::string(entry.qtTexts) + ".qm");
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error)) {
        qCInfo(lcLanguage) << "no Qt translation" << ToQString(file) << "- Qt's texts stay English";
        return;
    }
    auto translator = std::make_unique<QTranslator>();
    if (!translator->load(ToQString(file)) ||
        !QCoreApplication::installTranslator(translator.get())) {
        qCWarning(lcLanguage) << "cannot load the Qt translation" << ToQString(file);
        return;
    }
    qtTranslator_ = std::move(translator);
    qtFile_ = file;
}

void LanguageState::RemoveQtTranslation() {
    if (qtTranslator_) {
        QCoreApplication::removeTranslator(qtTranslator_.get());
        qtTranslator_.reset();
    }
    qtFile_.reset();
}

void LanguageState::ApplyCurrent() {
    if (current_ != 0 && Select(current_)) {
        return;
    }
    if (Select(threadLanguage_)) {
        current_ = threadLanguage_;
        return;
    }
    Select(kLanguageChinesePrc);
    current_ = kLanguageChinesePrc;
}

bool LanguageState::PackReadable(std::uint16_t language) const {
    const LanguageEntry* entry = Entry(language);
    if (entry == nullptr) {
        return false;
    }
    if (entry->id == kLanguageChinesePrc) {
        return true;
    }
    const auto file = FindPackFile(folder_, entry->packName);
    if (!file) {
        return false;
    }
    std::ifstream in(*file, std::ios::binary);
    return in.good();
}

}  // namespace trelvane
