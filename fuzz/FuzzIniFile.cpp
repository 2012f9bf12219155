// Feeds the profile reader and writer arbitrary file contents, names and values, and checks:
//  - nothing is read or written out of bounds (the sanitizers watch);
//  - a read gives at most 127 bytes and never a NUL;
//  - a write that succeeds reads back as the same value reads in a file of its own, and writing
//    it again changes nothing;
//  - a write changes one stretch of the file that holds no line end of the original (one line's
//    text replaced, or lines inserted): every other byte stays where it was;
//  - a key other than the written one reads the same before and after;
//  - a refused write changes nothing;
//  - on disk (for some inputs), WriteProfileString and ReadProfileString agree with the in-memory
//    IniFile, and leave no temporary file behind.
#include <fuzzer/FuzzedDataProvider.h>

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>

#include "settings/IniFile.h"

namespace {

namespace fs = std::filesystem;
using trelvane::IniFile;

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Names the fuzzer would rarely guess, in the spellings the reader must match.
std::string Name(FuzzedDataProvider& in) {
    static constexpr std::array<const char*, 6> kKnown = {
        "Service_Param", "service_PARAM", " Service_IP ", "Login_Time", "S", "A"};
    if (in.ConsumeBool()) {
        return kKnown[in.ConsumeIntegralInRange<std::size_t>(0, kKnown.size() - 1)];
    }
    return in.ConsumeRandomLengthString(24);
}

void CheckRead(const std::string& value) {
    Check(value.size() <= trelvane::kMaxProfileValueLength);
    Check(value.find('\0') == std::string::npos);
}

// True when `after` is `before` with one stretch [a, b) replaced, where [a, b) holds no '\n':
// some maximal newline-free run [r0, r1) of `before` must reach from the common prefix to the
// common suffix and be at least as long as the bytes that went away.
bool OneLineSplice(std::string_view before, std::string_view after) {
    std::size_t prefix = 0;
    while (prefix < before.size() && prefix < after.size() && before[prefix] == after[prefix]) {
        ++prefix;
    }
    std::size_t suffix = 0;
    while (suffix < before.size() && suffix < after.size() &&
           before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
        ++suffix;
    }
    const std::size_t lowestEnd = before.size() - suffix;  // b >= lowestEnd
    const std::size_t removed = before.size() > after.size() ? before.size() - after.size() : 0;
    std::size_t runStart = 0;
    for (std::size_t i = 0; i <= before.size(); ++i) {
        if (i == before.size() || before[i] == '\n') {
            if (runStart <= prefix && i >= lowestEnd && i - runStart >= removed) {
                return true;
            }
            runStart = i + 1;
        }
    }
    return false;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A per-process scratch folder, removed at exit. Never destroyed, so the exit handler may use it.
const fs::path& ScratchDir() {
    static const fs::path* const dir = [] {
        const fs::path base =
            fs::exists("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        auto* path = new fs::path(base / ("fuzz_ini_file-" + std::to_string(::getpid())));
        fs::create_directories(*path);
        return path;
    }();
    static const bool cleanup = std::atexit([] {
                                    std::error_code ec;
                                    fs::remove_all(*dir, ec);
                                }) == 0;
    (void)cleanup;
    return *dir;
}

void OnDisk(const std::string& bytes, const std::string& section, const std::string& key,
            const std::string& value, bool accepted, const IniFile& edited) {
    const fs::path path = ScratchDir() / "SysConf.ini";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
    Check(trelvane::ReadProfileString(path, section, key) == IniFile(bytes).Get(section, key));
    Check(trelvane::WriteProfileString(path, section, key, value) == accepted);
    Check(ReadFile(path) == edited.Bytes());
    Check(std::distance(fs::directory_iterator(ScratchDir()), fs::directory_iterator()) == 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const std::string section = Name(in);
    const std::string key = Name(in);
    const std::string value = in.ConsumeRandomLengthString(300);
    const std::string otherSection = Name(in);
    const std::string otherKey = Name(in);
    const bool onDisk = in.ConsumeIntegralInRange<int>(0, 7) == 0;
    const std::string bytes = in.ConsumeRemainingBytesAsString();

    IniFile file(bytes);
    const std::string otherBefore = file.Get(otherSection, otherKey);
    CheckRead(otherBefore);
    CheckRead(file.Get(section, key));

    const bool accepted = file.Set(section, key, value);
    if (!accepted) {
        Check(file.Bytes() == bytes);
    } else {
        const std::string readBack = file.Get(section, key);
        CheckRead(readBack);
        Check(readBack == IniFile("[S]\r\nK=" + value + "\r\n").Get("S", "K"));
        Check(OneLineSplice(bytes, file.Bytes()));

        IniFile again = file;
        Check(again.Set(section, key, value));
        Check(again.Bytes() == file.Bytes());

        const bool sameKey =
            IniFile("[" + otherSection + "]\r\n" + otherKey + "=x\r\n").Get(section, key) == "x";
        if (!sameKey) {
            Check(file.Get(otherSection, otherKey) == otherBefore);
        }
    }
    if (onDisk) {
        OnDisk(bytes, section, key, value, accepted, file);
    }
    return 0;
}
