#include "service/Listener.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTcpSocket>
#include <cerrno>
#include <cstring>
#include <limits>

Q_DECLARE_LOGGING_CATEGORY(lcService)

namespace trelvane {
namespace {

bool IsResourceShortage(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

// Errors of one connection that was reset or aborted before we took it; the next may be fine.
bool IsConnectionError(int error) {
    return error == ECONNABORTED || error == EPROTO || error == EPERM || error == ENETDOWN ||
           error == ENOPROTOOPT || error == EHOSTDOWN || error == ENONET || error == EHOSTUNREACH ||
           error == EOPNOTSUPP || error == ENETUNREACH;
}

std::size_t OpenDescriptors() {
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) {
        return 64;  // no /proc: assume what a fresh Qt process holds
    }
    std::size_t count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    ::closedir(dir);
    return count > 0 ? count - 1 : 0;  // less the directory's own descriptor
}

}  // namespace

std::size_t DescriptorsAvailable() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) {
        return std::numeric_limits<std::size_t>::max();
    }
    const auto soft = static_cast<std::size_t>(limit.rlim_cur);
    const std::size_t open = OpenDescriptors();
    return soft > open ? soft - open : 0;
}

Listener::Listener(Scheduler& scheduler, AcceptHandler onAccepted, QObject* parent)
    : QObject(parent), scheduler_(scheduler), onAccepted_(std::move(onAccepted)) {}

Listener::~Listener() {
    Close();
}

bool Listener::Listen(std::uint32_t ipv4HostOrder, std::uint16_t port, int backlog) {
    Close();
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        return false;
    }
    // A restarted service must not wait for the old connections' TIME_WAIT to pass.
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(ipv4HostOrder);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        error_ = QString::fromLocal8Bit(std::strerror(errno));
        ::close(fd);
        return false;
    }
    fd_ = fd;
    port_ = ntohs(address.sin_port);
    error_.clear();
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &Listener::OnReadable);
    watching_ = true;
    UpdateWatching();
    return true;
}

void Listener::Close() {
    if (retryTimer_ != 0) {
        scheduler_.Cancel(retryTimer_);
        retryTimer_ = 0;
    }
    if (fd_ < 0) {
        return;
    }
    delete notifier_;
    notifier_ = nullptr;
    ::close(fd_);
    fd_ = -1;
    port_ = 0;
    watching_ = false;
    resourceShort_ = false;
    inEpisode_ = false;
    budgetSpent_ = false;
}

void Listener::SetBudget(std::size_t connections) {
    budget_ = connections;
    UpdateWatching();
}

void Listener::Watch(bool on) {
    if (notifier_ != nullptr && watching_ != on) {
        notifier_->setEnabled(on);
        watching_ = on;
    }
}

void Listener::UpdateWatching() {
    if (fd_ < 0) {
        return;
    }
    const bool spent = open_->load() >= budget_;
    if (spent && !budgetSpent_) {
        qCWarning(lcService).nospace() << "connection limit " << budget_
                                       << " reached: new readers wait until a connection goes";
    } else if (!spent && budgetSpent_) {
        qCInfo(lcService) << "below the connection limit: accepting readers again";
    }
    budgetSpent_ = spent;
    Watch(!spent && !resourceShort_);
}

void Listener::OnReadable() {
    for (int i = 0; i < kAcceptsPerEvent && fd_ >= 0 && open_->load() < budget_; ++i) {
        const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            const int error = errno;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                break;
            }
            if (error == EINTR || IsConnectionError(error)) {
                continue;
            }
            ++resourceFailures_;
            if (IsResourceShortage(error)) {
                if (!inEpisode_) {
                    inEpisode_ = true;
                    ++resourceEpisodes_;
                    qCWarning(lcService).nospace()
                        << "accept failed: " << std::strerror(error)
                        << "; new readers wait until descriptors are free";
                }
                resourceShort_ = true;
                Watch(false);
                if (retryTimer_ == 0) {
                    retryTimer_ =
                        scheduler_.After(kResourceRetry, [this] { RetryAfterResourceFailure(); });
                }
                return;
            }
            // Anything else means the listening socket itself is broken.
            qCWarning(lcService) << "accept failed:" << std::strerror(error)
                                 << "; no further readers are accepted";
            Watch(false);
            return;
        }
        if (inEpisode_) {
            inEpisode_ = false;
            qCInfo(lcService) << "descriptors are free again: accepting readers";
        }
        auto* socket = new QTcpSocket;
        if (!socket->setSocketDescriptor(fd)) {
            ::close(fd);
            delete socket;
            continue;
        }
        open_->fetch_add(1);
        onAccepted_(socket, open_);
    }
    UpdateWatching();
}

void Listener::ConnectionClosed() {
    // A descriptor was freed: the next accept may work, so try it now instead of waiting.
    resourceShort_ = false;
    UpdateWatching();
}

void Listener::RetryAfterResourceFailure() {
    retryTimer_ = 0;
    resourceShort_ = false;
    UpdateWatching();
}

}  // namespace trelvane
