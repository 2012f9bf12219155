#include "settings/IniFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <fstream>
#include <mutex>

namespace trelvane {
namespace {

namespace fs = std::filesystem;

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

enum class LineKind { kBlank, kComment, kSection, kKey, kIgnored };

// One line of the file. Invariant: begin <= contentEnd <= end; [contentEnd, end) is the line end
// ("\r\n", "\n", or nothing on a last line without one).
struct Line {
    std::size_t begin = 0;  // after the byte-order mark on the first line
    std::size_t contentEnd = 0;
    std::size_t end = 0;
    LineKind kind = LineKind::kBlank;
    std::string_view name;   // section or key name, trimmed
    std::string_view value;  // key value, trimmed, not yet processed
};

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string_view Trim(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && IsBlank(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

void Classify(std::string_view content, Line& line) {
    const std::string_view text = Trim(content);
    if (text.empty()) {
        line.kind = LineKind::kBlank;
    } else if (text.front() == ';') {
        line.kind = LineKind::kComment;
    } else if (text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string_view::npos) {
            line.kind = LineKind::kIgnored;
        } else {
            line.kind = LineKind::kSection;
            line.name = Trim(text.substr(1, close - 1));
        }
    } else {
        const std::size_t equals = text.find('=');
        const std::string_view name =
            equals == std::string_view::npos ? std::string_view() : Trim(text.substr(0, equals));
        if (name.empty()) {
            line.kind = LineKind::kIgnored;
        } else {
            line.kind = LineKind::kKey;
            line.name = name;
            line.value = Trim(text.substr(equals + 1));
        }
    }
}

// Calls visit(line) for every line in file order until visit returns false.
template <typename Visit>
void ForEachLine(std::string_view bytes, Visit&& visit) {
    std::size_t pos = bytes.starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    while (pos < bytes.size()) {
        Line line;
        line.begin = pos;
        const std::size_t newline = bytes.find('\n', pos);
        if (newline == std::string_view::npos) {
            line.contentEnd = line.end = bytes.size();
        } else {
            line.end = newline + 1;
            line.contentEnd = (newline > pos && bytes[newline - 1] == '\r') ? newline - 1 : newline;
        }
        Classify(bytes.substr(line.begin, line.contentEnd - line.begin), line);
        if (!visit(line)) {
            return;
        }
        pos = line.end;
    }
}

// What a read returns for a key line's trimmed value.
std::string ProcessValue(std::string_view value) {
    value = Trim(value.substr(0, value.find('\0')));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        value = value.substr(1, value.size() - 2);
    }
    return std::string(value.substr(0, kMaxProfileValueLength));
}

// The line end for lines we add: the one the file's first line uses, CR LF when it has none.
std::string_view LineEndOf(std::string_view bytes) {
    const std::size_t newline = bytes.find('\n');
    if (newline == std::string_view::npos) {
        return "\r\n";
    }
    return (newline > 0 && bytes[newline - 1] == '\r') ? "\r\n" : "\n";
}

bool HasAny(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

constexpr std::string_view kLineBreaking("\r\n\0", 3);

std::mutex& WriteLock() {
    static std::mutex lock;
    return lock;
}

bool WriteAll(int fd, std::string_view bytes, off_t offset) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::pwrite(fd, bytes.data() + done, bytes.size() - done,
                                   offset + static_cast<off_t>(done));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        if (n == 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool Truncate(int fd, std::size_t size) {
    int rc = 0;
    do {
        rc = ::ftruncate(fd, static_cast<off_t>(size));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Why an atomic replacement did not happen: kRefused means the directory or the file's owner
// would not let us (write in place instead); kFailed is anything else (leave the file alone).
enum class ReplaceResult { kDone, kRefused, kFailed };

bool IsRefusal(int error) {
    return error == EACCES || error == EPERM;
}

// Replaces `target` with `bytes` by writing a temporary file beside it and renaming it over the
// target, so the target is at every moment either the old or the complete new file. `original`
// is the target's status when it exists: the new file gets its owner, group and mode, or the
// replacement is refused (a settings file with passwords must not change hands or open up).
ReplaceResult ReplaceFile(const fs::path& target, const std::string& bytes,
                          const struct stat* original) {
    static std::atomic<unsigned> counter{0};
    const fs::path directory = target.has_parent_path() ? target.parent_path() : fs::path(".");
    fs::path temporary;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temporary = directory / (target.filename().string() + ".tmp." + std::to_string(::getpid()) +
                                 "." + std::to_string(counter.fetch_add(1)));
        fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) {
            return IsRefusal(errno) ? ReplaceResult::kRefused : ReplaceResult::kFailed;
        }
    }
    if (fd < 0) {
        return ReplaceResult::kFailed;
    }
    auto abandon = [&](ReplaceResult result) {
        ::close(fd);
        ::unlink(temporary.c_str());
        return result;
    };
    if (original != nullptr) {
        // Only root may give a file away, and a group we are not in is refused too. The mode
        // is set after the owner because a change of owner may clear set-id bits.
        if (::fchown(fd, original->st_uid, original->st_gid) != 0) {
            return abandon(IsRefusal(errno) ? ReplaceResult::kRefused : ReplaceResult::kFailed);
        }
        if (::fchmod(fd, original->st_mode & 07777) != 0) {
            return abandon(ReplaceResult::kFailed);
        }
    }
    if (!WriteAll(fd, bytes, 0) || ::fsync(fd) != 0) {
        return abandon(ReplaceResult::kFailed);
    }
    if (::close(fd) != 0) {
        ::unlink(temporary.c_str());
        return ReplaceResult::kFailed;
    }
    if (::rename(temporary.c_str(), target.c_str()) != 0) {
        // A sticky directory lets us create the temporary file but not rename it over a file
        // of another owner.
        const int error = errno;
        ::unlink(temporary.c_str());
        return IsRefusal(error) ? ReplaceResult::kRefused : ReplaceResult::kFailed;
    }
    // Make the rename itself durable; a failure here leaves a complete file either way.
    const int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return ReplaceResult::kDone;
}

// Writes `bytes` over the file itself, as the platform's own profile writer does: the inode,
// and with it every hard link, the owner, group, mode and any ACL, stays. Not atomic: a reader
// at the same moment may see a mix. The space is reserved first where the file system can, so
// a full disk fails before a byte changes; should a write fail later all the same, `before` is
// written back.
bool WriteInPlace(const fs::path& target, const std::string& bytes, const std::string& before,
                  const struct stat& original) {
    const int fd = ::open(target.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    struct stat opened {};
    // The very file we read, still a regular file.
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode) || opened.st_ino != original.st_ino ||
        opened.st_dev != original.st_dev) {
        ::close(fd);
        return false;
    }
    if (bytes.size() > before.size() &&
        ::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes.size())) != 0 &&
        errno != EOPNOTSUPP) {
        ::close(fd);
        return false;
    }
    bool ok = WriteAll(fd, bytes, 0) && Truncate(fd, bytes.size());
    if (!ok) {
        WriteAll(fd, before, 0);
        Truncate(fd, before.size());
    }
    ok = ::fsync(fd) == 0 && ok;
    ok = ::close(fd) == 0 && ok;
    return ok;
}

// Read, edit and store `file` under the process's write lock. `edit` returns false to abandon
// the write with the file untouched.
//
// How it is stored: by atomic replacement (ReplaceFile) in the common case; in place
// (WriteInPlace) when the file has other hard links, which a rename would split off, or when
// the replacement is refused because the directory is not writable to us (the file being
// writable) or the new file could not be given the old one's owner and group. Write permission
// on the directory is not looked at beforehand: root may create files in a directory without
// write bits, so for root such a directory still gets the atomic replacement.
template <typename Edit>
bool UpdateFile(const fs::path& file, Edit&& edit) {
    std::lock_guard<std::mutex> guard(WriteLock());
    std::error_code ec;
    fs::path target = file;
    fs::file_status status = fs::symlink_status(file, ec);
    if (status.type() == fs::file_type::symlink) {
        target = fs::canonical(file, ec);  // fails for a dangling link or a loop
        if (ec) {
            return false;
        }
        status = fs::status(target, ec);
    }
    IniFile document;
    struct stat original {};
    const bool exists = status.type() != fs::file_type::not_found;
    if (exists) {
        if (status.type() != fs::file_type::regular || ::stat(target.c_str(), &original) != 0 ||
            (original.st_mode & S_IWUSR) == 0 || ::access(target.c_str(), W_OK) != 0) {
            return false;
        }
        std::optional<IniFile> loaded = IniFile::Load(target);
        if (!loaded) {
            return false;
        }
        document = std::move(*loaded);
    }
    const std::string before = document.Bytes();
    if (!edit(document)) {
        return false;
    }
    if (exists && original.st_nlink > 1) {
        return WriteInPlace(target, document.Bytes(), before, original);
    }
    switch (ReplaceFile(target, document.Bytes(), exists ? &original : nullptr)) {
        case ReplaceResult::kDone:
            return true;
        case ReplaceResult::kRefused:
            return exists && WriteInPlace(target, document.Bytes(), before, original);
        case ReplaceResult::kFailed:
            return false;
    }
    return false;
}

}  // namespace

std::optional<IniFile> IniFile::Load(const fs::path& file) {
    std::error_code ec;
    // A FIFO or device named like the file must not block or stream forever.
    if (!fs::is_regular_file(file, ec)) {
        return std::nullopt;
    }
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    std::string bytes;
    char chunk[64 * 1024];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        bytes.append(chunk, static_cast<std::size_t>(in.gcount()));
        if (bytes.size() > kMaxProfileFileSize) {
            return std::nullopt;
        }
    }
    if (in.bad()) {
        return std::nullopt;
    }
    return IniFile(std::move(bytes));
}

// The trimmed value text of a key line, before the read's cut and quote rules.
static std::optional<std::string_view> RawValue(std::string_view bytes, std::string_view section,
                                                std::string_view key) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty()) {
        return std::nullopt;
    }
    bool inSection = false;
    std::optional<std::string_view> value;
    ForEachLine(bytes, [&](const Line& line) {
        if (line.kind == LineKind::kSection) {
            if (inSection) {
                return false;  // only the first section of the name counts
            }
            inSection = EqualsIgnoreCase(line.name, section);
        } else if (inSection && line.kind == LineKind::kKey && EqualsIgnoreCase(line.name, key)) {
            value = line.value;
            return false;
        }
        return true;
    });
    return value;
}

std::string IniFile::Get(std::string_view section, std::string_view key) const {
    const std::optional<std::string_view> value = RawValue(bytes_, section, key);
    return value ? ProcessValue(*value) : std::string();
}

bool IniFile::IsCut(std::string_view section, std::string_view key) const {
    const std::optional<std::string_view> value = RawValue(bytes_, section, key);
    if (!value) {
        return false;
    }
    std::string_view text = Trim(value->substr(0, value->find('\0')));
    if (text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        text = text.substr(1, text.size() - 2);
    }
    return text.size() > kMaxProfileValueLength;
}

bool IniFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (section.empty() || key.empty() || HasAny(section, kLineBreaking) || HasAny(section, "]") ||
        HasAny(key, kLineBreaking) || HasAny(key, "=") || key.front() == ';' ||
        key.front() == '[' || HasAny(value, kLineBreaking)) {
        return false;
    }
    std::string entry;
    entry.reserve(key.size() + 1 + value.size());
    entry.append(key).append("=").append(value);
    const std::string_view lineEnd = LineEndOf(bytes_);

    bool inSection = false;
    std::optional<Line> keyLine;
    std::optional<Line> anchor;  // the header, then each key line, of the section
    ForEachLine(bytes_, [&](const Line& line) {
        if (line.kind == LineKind::kSection) {
            if (inSection) {
                return false;
            }
            inSection = EqualsIgnoreCase(line.name, section);
            if (inSection) {
                anchor = line;
            }
        } else if (inSection && line.kind == LineKind::kKey) {
            if (EqualsIgnoreCase(line.name, key)) {
                keyLine = line;
                return false;
            }
            anchor = line;
        }
        return true;
    });

    if (keyLine) {
        bytes_.replace(keyLine->begin, keyLine->contentEnd - keyLine->begin, entry);
        return true;
    }
    if (anchor) {
        std::string insert;
        if (anchor->end == anchor->contentEnd) {
            insert.append(lineEnd);  // the anchor is the last line and has no line end
        }
        insert.append(entry).append(lineEnd);
        bytes_.insert(anchor->end, insert);
        return true;
    }
    const std::size_t bomSize =
        std::string_view(bytes_).starts_with(kUtf8Bom) ? kUtf8Bom.size() : 0;
    if (bytes_.size() > bomSize && bytes_.back() != '\n') {
        bytes_.append(lineEnd);
    }
    bytes_.append("[").append(section).append("]").append(lineEnd);
    bytes_.append(entry).append(lineEnd);
    return true;
}

std::string ReadProfileString(const fs::path& file, std::string_view section,
                              std::string_view key) {
    const std::optional<IniFile> document = IniFile::Load(file);
    return document ? document->Get(section, key) : std::string();
}

bool WriteProfileString(const fs::path& file, std::string_view section, std::string_view key,
                        std::string_view value) {
    return UpdateFile(file, [&](IniFile& document) { return document.Set(section, key, value); });
}

bool WriteProfileStrings(
    const fs::path& file, std::string_view section,
    std::initializer_list<std::pair<std::string_view, std::string_view>> keyValues) {
    return UpdateFile(file, [&](IniFile& document) {
        for (const auto& [key, value] : keyValues) {
            if (!document.Set(section, key, value)) {
                return false;
            }
        }
        return true;
    });
}

std::optional<std::int64_t> PlainInteger(std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) {
        return std::nullopt;
    }
    std::int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        const int digit = c - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    return negative ? -value : value;
}

int LeadingInteger(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // The magnitude stops growing at one past INT_MAX, which is both the saturation point of a
    // positive number and exactly |INT_MIN|.
    constexpr long long kCap = static_cast<long long>(INT_MAX) + 1;
    long long magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(kCap, magnitude * 10 + (text[i] - '0'));
    }
    if (negative) {
        return magnitude >= kCap ? INT_MIN : static_cast<int>(-magnitude);
    }
    return magnitude >= kCap ? INT_MAX : static_cast<int>(magnitude);
}

}  // namespace trelvane
