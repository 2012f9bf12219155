#pragma once

// The start-up check of the platform's socket layer. The program asks for socket library
// version 1.1 before it shows its window and refuses to run without it; on this platform the
// check is that a socket can be created, and the version granted is the one asked for.
// The interface is injectable so both refusals can be exercised without breaking the host.

#include <cstdint>

namespace trelvane {

// Versions are packed as the platform packs them: major in the low byte, minor in the high one.
inline constexpr std::uint16_t kSocketLibraryVersion = 0x0101;

inline constexpr std::uint16_t SocketVersion(int major, int minor) {
    return static_cast<std::uint16_t>((major & 0xFF) | ((minor & 0xFF) << 8));
}

class SocketLibrary {
  public:
    virtual ~SocketLibrary() = default;
    // False when the socket layer cannot be used at all; otherwise `granted` says which version
    // was granted and Cleanup must follow once.
    virtual bool Startup(std::uint16_t requested, std::uint16_t& granted) = 0;
    virtual void Cleanup() = 0;
};

// The real check: an IPv4 stream socket can be created (and is closed again at once).
class PosixSocketLibrary final : public SocketLibrary {
  public:
    bool Startup(std::uint16_t requested, std::uint16_t& granted) override;
    void Cleanup() override {}
};

}  // namespace trelvane
