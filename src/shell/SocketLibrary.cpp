#include "shell/SocketLibrary.h"

#include <sys/socket.h>
#include <unistd.h>

#include <netinet/in.h>

namespace trelvane {

bool PosixSocketLibrary::Startup(std::uint16_t requested, std::uint16_t& granted) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (fd < 0) {
        return false;
    }
    ::close(fd);
    granted = requested;
    return true;
}

}  // namespace trelvane
