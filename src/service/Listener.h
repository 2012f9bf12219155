#pragma once

// The listening socket, accepted on our own terms. QTcpServer re-arms its notifier after an
// accept that failed for want of descriptors, so a process at its descriptor limit with readers
// waiting in the listen queue spins on accept(). Here the notifier is off whenever
//  - the connections we accepted and have not closed reach the budget (a count of descriptors,
//    not of device records: a record may outlive its socket and a socket its record), or
//  - an accept failed for want of resources (EMFILE, ENFILE, ENOBUFS, ENOMEM): something else
//    in the process (log files, the history, the API) holds the descriptors. The failure is
//    logged once per episode; accepting is tried again when one of our connections goes or
//    after kResourceRetry, whichever comes first.
// Readers that cannot be accepted wait in the kernel's listen queue, at no cost to us.
//
// Threading: event-loop thread only, like every socket of the service.

#include <QObject>
#include <QString>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

#include "service/Scheduler.h"

class QSocketNotifier;
class QTcpSocket;

namespace trelvane {

class Listener final : public QObject {
    Q_OBJECT

  public:
    // How often a resource failure is retried when no connection goes in the meantime.
    static constexpr std::chrono::milliseconds kResourceRetry{1000};
    // Accepts per readiness event; the notifier is level-triggered, so the rest follow at the
    // next turn of the event loop and a burst of connections cannot starve the readers' bytes.
    static constexpr int kAcceptsPerEvent = 128;

    // Accepted connections not closed yet. The listener counts one up per accept; whoever
    // closes the connection counts it down (once, from any thread) and then calls
    // ConnectionClosed on the event loop when it can, so accepting resumes at once.
    using OpenCount = std::shared_ptr<std::atomic<std::size_t>>;
    // Called for every accepted connection with a connected QTcpSocket that the callee owns,
    // and the count to take it off when it closes.
    using AcceptHandler = std::function<void(QTcpSocket*, const OpenCount&)>;

    Listener(Scheduler& scheduler, AcceptHandler onAccepted, QObject* parent = nullptr);
    ~Listener() override;

    // Binds a TCP socket to an IPv4 address and port (0: any free port) and listens with
    // `backlog`. False, with the reason in ErrorString(), when any step fails.
    bool Listen(std::uint32_t ipv4HostOrder, std::uint16_t port, int backlog);
    // Stops listening: readers still in the listen queue are refused by the kernel. The
    // connections already accepted are not touched.
    void Close();
    bool IsListening() const { return fd_ >= 0; }
    std::uint16_t Port() const { return port_; }
    QString ErrorString() const { return error_; }

    // At most this many accepted connections open at once.
    void SetBudget(std::size_t connections);
    std::size_t Budget() const { return budget_; }
    // Accepted connections not yet closed.
    std::size_t OpenConnections() const { return open_->load(); }
    // A connection was closed (and counted down): accept again if that made room.
    void ConnectionClosed();
    // True while the listening socket is not watched (budget spent or resources short).
    bool Paused() const { return IsListening() && !watching_; }
    // Failed accept() calls for want of resources, and the episodes they came in.
    std::uint64_t ResourceFailures() const { return resourceFailures_; }
    std::uint64_t ResourceEpisodes() const { return resourceEpisodes_; }

  private:
    void OnReadable();
    void Watch(bool on);
    void UpdateWatching();
    void RetryAfterResourceFailure();

    Scheduler& scheduler_;
    AcceptHandler onAccepted_;
    int fd_ = -1;
    std::uint16_t port_ = 0;
    QString error_;
    QSocketNotifier* notifier_ = nullptr;
    bool watching_ = false;
    std::size_t budget_ = static_cast<std::size_t>(-1);
    OpenCount open_ = std::make_shared<std::atomic<std::size_t>>(0);
    bool budgetSpent_ = false;    // logged once until it is not
    bool resourceShort_ = false;  // not watched until a connection goes or the retry
    bool inEpisode_ = false;      // accepts have failed since the last one that worked
    Scheduler::TimerId retryTimer_ = 0;
    std::uint64_t resourceFailures_ = 0;
    std::uint64_t resourceEpisodes_ = 0;
};

// The descriptors this process may still open: the soft RLIMIT_NOFILE less those open now.
// SIZE_MAX when there is no limit.
std::size_t DescriptorsAvailable();

}  // namespace trelvane
