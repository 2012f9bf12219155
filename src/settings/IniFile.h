#pragma once

// The INI profile file: our own reader and writer with the private-profile behaviour that
// SysConf.ini has always had, so files written by earlier releases or edited by hand read the
// same way, and a save never disturbs what it does not own.
//
// Reading rules (ReadProfileString, IniFile::Get):
//  - Lines end at LF; a CR before the LF belongs to the line end. A UTF-8 byte-order mark at the
//    very start of the file is skipped.
//  - Leading and trailing blanks (space, tab, CR, VT, FF) of every line, name and value are
//    trimmed. A line whose first non-blank byte is ';' is a comment; blank lines are ignored.
//  - "[name]" opens a section: the name is the trimmed text up to the first ']'; anything after
//    that ']' is ignored ("[Service_Param] ; note" is the section Service_Param). A line that
//    starts with '[' but has no ']' is not a header and not a key: it is ignored.
//  - "key=value" splits at the first '='. A line without '=' or with an empty key is ignored (it
//    neither is a key nor hides a later one). Lines before the first header belong to no section.
//  - Names compare case-insensitively in ASCII; other bytes compare exactly.
//  - Only the first section of a name counts, and within it the first line of a key: later
//    duplicates are ignored on reading and left untouched on writing.
//  - A value is cut at its first NUL (values are C texts to the rest of the system), trimmed,
//    stripped of one pair of matching quotes (" or ') around the whole value, then cut to its
//    first 127 bytes.
//
// Writing rules (WriteProfileString, IniFile::Set): only the line of the key is replaced, or one
// line inserted after the last key line of the section (after the header when the section has
// no key), or the section appended at the end of the file. Every other byte stays as it was,
// including comments, ignored lines, duplicates, the byte-order mark and each line's end. Lines
// we add end like the file's first line end (CR LF when the file has none); a last line without
// a line end gets one before anything is added behind it.
//
// Storing a write: normally the file is replaced by renaming a complete temporary file over it,
// so a reader (or a crash) sees the old or the new file, never a mix; the new file gets the old
// one's mode, owner and group (later sections hold passwords). The file is instead written over
// in place, whole (keeping its inode, links, owner, group and mode, but not atomic), when it has
// other hard links, when its directory refuses us the temporary file or the rename while the
// file itself is writable, or when the new file could not be given the old owner and group. For
// root a directory without write bits is no refusal, so it still gets the atomic replacement.
//
// Thread-safety: IniFile is a plain value. The file functions may be called from any thread;
// writes within the process are serialised.

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace trelvane {

// Longest value a read returns, in bytes (the platform's 128-byte result buffer).
inline constexpr std::size_t kMaxProfileValueLength = 127;

// Files larger than this are refused: reads give "", writes fail and leave the file alone. A
// settings file never comes near it; the limit keeps a stray huge file from exhausting memory.
inline constexpr std::uintmax_t kMaxProfileFileSize = 16u * 1024u * 1024u;

// One profile file's bytes, parsed on demand. Set edits the bytes in place by the writing rules.
class IniFile {
  public:
    IniFile() = default;
    explicit IniFile(std::string bytes) : bytes_(std::move(bytes)) {}

    // The file's bytes; nullopt when it is absent, not a regular file, unreadable or larger than
    // kMaxProfileFileSize.
    static std::optional<IniFile> Load(const std::filesystem::path& file);

    // Value of `key` in `section` by the reading rules; "" when either is missing.
    std::string Get(std::string_view section, std::string_view key) const;

    // Sets `key` in `section` to `value` (written as given, untrimmed). Returns false and changes
    // nothing when the names or the value cannot be stored without changing the file's structure:
    // an empty (after trimming) section or key name; a CR, LF or NUL anywhere; ']' in the section
    // name; '=' in the key name or a key name starting with ';' or '['.
    // True when the value of `key` is longer than a read keeps (Get returns it cut): for values
    // that must be refused rather than used cut (a password, a host name).
    bool IsCut(std::string_view section, std::string_view key) const;

    bool Set(std::string_view section, std::string_view key, std::string_view value);

    const std::string& Bytes() const { return bytes_; }

  private:
    std::string bytes_;
};

// Value of `key` in `section`, or "" when the file, section or key is missing (see the reading
// rules above).
std::string ReadProfileString(const std::filesystem::path& file, std::string_view section,
                              std::string_view key);

// Sets `key` in `section`: creates the file and the section when absent and changes nothing else
// (see the writing rules above). Returns false, leaving the file as it was, when the names or
// value cannot be stored, the file is read-only (no owner write permission, honoured even for
// root as the platform's read-only attribute is) or not writable by us, is not a regular file,
// is too large, or can be neither replaced nor written in place (see "Storing a write" above).
// A symbolic link is followed and its target replaced; the link stays.
bool WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);

// Several keys of one section in one replacement of the file, applied in the order given: the
// file ends up as after one WriteProfileString per pair, but either all of them are stored or,
// on any failure, none.
bool WriteProfileStrings(
    const std::filesystem::path& file, std::string_view section,
    std::initializer_list<std::pair<std::string_view, std::string_view>> keyValues);

// The C library's leading-integer rule (atoi): leading white space (space, \t \n \v \f \r), an
// optional sign, then decimal digits up to the first non-digit; no digits give 0. Values beyond
// the int range saturate to INT_MAX or INT_MIN instead of overflowing.
int LeadingInteger(std::string_view text);

// A value of the sections added beside Service_Param ([History], [Mqtt], [Site], ...): a plain
// decimal integer (the profile reader has trimmed it), optional sign, then digits only. Values
// beyond the int64 range saturate; anything else is not a number.
std::optional<std::int64_t> PlainInteger(std::string_view text);

}  // namespace trelvane
