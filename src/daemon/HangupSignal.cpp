#include "daemon/HangupSignal.h"

#include <sys/socket.h>
#include <unistd.h>
#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace trelvane {
namespace {

int g_hangupPipe[2] = {-1, -1};

// Async-signal-safe: write(2) only. SIGHUPs that arrive before the loop wakes make one reload.
void OnHangup(int) {
    const int saved = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(g_hangupPipe[1], &byte, 1);
    errno = saved;
}

}  // namespace

HangupSignal::HangupSignal(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_hangupPipe) != 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = OnHangup;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    if (sigaction(SIGHUP, &action, nullptr) != 0) {
        return;
    }
    notifier_ = new QSocketNotifier(g_hangupPipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char bytes[16];
        bool any = false;
        while (::read(g_hangupPipe[0], bytes, sizeof bytes) > 0) {
            any = true;
        }
        if (any) {
            Q_EMIT Hangup();
        }
    });
}

}  // namespace trelvane
