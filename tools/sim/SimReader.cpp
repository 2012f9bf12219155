#include "sim/SimReader.h"

#include <sys/socket.h>
#include <QMetaMethod>
#include <algorithm>
#include <array>

#include "sim/SimPacer.h"

namespace trelvane {
namespace {

// The largest tag report on the wire: L = 17 with every byte after the start byte escaped.
constexpr std::size_t kMaxReportWire = 1 + 2 * (17 + 5);

// One socket read; the core takes any amount and feeds its 1024-byte buffer piecewise.
constexpr qint64 kReadChunk = 16 * 1024;

}  // namespace

SimReader::SimReader(SimReaderOptions options, SimPacer* pacer, const Clock& clock, QObject* parent)
    : QObject(parent), core_(std::move(options), clock), pacer_(pacer) {
    if (pacer_ == nullptr) {
        ownPacer_ = std::make_unique<SimPacer>();
        pacer_ = ownPacer_.get();
    }
    connect(&socket_, &QTcpSocket::connected, this, &SimReader::OnConnected);
    connect(&socket_, &QTcpSocket::disconnected, this, &SimReader::OnDisconnected);
    connect(&socket_, &QTcpSocket::errorOccurred, this, &SimReader::OnError);
    connect(&socket_, &QTcpSocket::readyRead, this, &SimReader::OnReadyRead);
    connect(&socket_, &QTcpSocket::bytesWritten, this, &SimReader::OnBytesWritten);
    core_.onFrame = [this](std::span<const std::uint8_t> frame) {
        static const QMetaMethod signal = QMetaMethod::fromSignal(&SimReader::FrameReceived);
        if (isSignalConnected(signal)) {
            Q_EMIT FrameReceived(QByteArray(reinterpret_cast<const char*>(frame.data()),
                                            static_cast<qsizetype>(frame.size())));
        }
    };
}

SimReader::~SimReader() {
    pacer_->Remove(this);
    // The socket is a member: it must not call back into a reader that is being destroyed.
    QObject::disconnect(&socket_, nullptr, this, nullptr);
    socket_.abort();
}

void SimReader::ConnectTo(const QHostAddress& host, quint16 port) {
    if (socket_.state() != QAbstractSocket::UnconnectedState) {
        Abort();
    }
    StopReporting();
    core_.ResetConnection();
    out_.clear();
    connecting_ = true;
    socket_.connectToHost(host, port);
}

void SimReader::Close() {
    if (connecting_) {
        Abort();
        return;
    }
    socket_.disconnectFromHost();
}

void SimReader::Abort() {
    connecting_ = false;
    socket_.abort();
    OnDisconnected();  // a no-op when abort() already reported it
}

bool SimReader::SendRaw(std::span<const std::uint8_t> bytes) {
    if (!connected_) {
        return false;
    }
    core_.NoteSent(bytes.size());
    // Behind any answers still waiting, so the stream keeps the order things happened in.
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    Flush();
    return true;
}

void SimReader::SetRate(double rate) {
    core_.MutableOptions().rate = rate;
    if (!core_.Reporting()) {
        return;
    }
    pacer_->Remove(this);
    if (rate > 0.0) {
        pacer_->Add(this);
    } else {
        FillUp();
    }
}

void SimReader::OnConnected() {
    connecting_ = false;
    connected_ = true;
    localPort_ = socket_.localPort();
    QHostAddress local = socket_.localAddress();
    bool isV4 = false;
    const quint32 v4 = local.toIPv4Address(&isV4);
    if (isV4) {
        local = QHostAddress(v4);
    }
    deviceKey_ = local.toString() + QLatin1Char(':') + QString::number(localPort_);
    // Answers are small and the host waits for them: do not let Nagle hold them back.
    socket_.setSocketOption(QAbstractSocket::LowDelayOption, 1);
    ++core_.Stats().connects;
    Q_EMIT Connected();
}

void SimReader::OnDisconnected() {
    if (!connected_) {
        return;
    }
    connected_ = false;
    StopReporting();
    out_.clear();
    Q_EMIT Disconnected();
}

void SimReader::OnError(QAbstractSocket::SocketError /*error*/) {
    if (connecting_) {
        connecting_ = false;
        Q_EMIT ConnectFailed(socket_.errorString());
    }
    // Errors of an established connection are followed by disconnected().
}

void SimReader::OnReadyRead() {
    const bool wasReporting = core_.Reporting();
    std::array<char, kReadChunk> chunk;
    for (;;) {
        const qint64 n = socket_.read(chunk.data(), kReadChunk);
        if (n <= 0) {
            break;
        }
        core_.Receive(
            std::span(reinterpret_cast<const std::uint8_t*>(chunk.data()), static_cast<size_t>(n)),
            out_);
    }
    Flush();
    AfterReceive(wasReporting);
}

void SimReader::AfterReceive(bool wasReporting) {
    const bool reporting = core_.Reporting();
    if (reporting == wasReporting) {
        return;
    }
    if (reporting) {
        if (Options().rate > 0.0) {
            pacer_->Add(this);
        } else {
            FillUp();
        }
    } else {
        pacer_->Remove(this);
    }
    Q_EMIT ReportingChanged(reporting);
}

void SimReader::StopReporting() {
    const bool was = core_.Reporting();
    core_.StopReporting();
    pacer_->Remove(this);
    if (was) {
        Q_EMIT ReportingChanged(false);
    }
}

void SimReader::OnBytesWritten() {
    FillUp();
}

void SimReader::Flush() {
    if (out_.empty()) {
        return;
    }
    if (socket_.state() == QAbstractSocket::ConnectedState) {
        const auto* data = reinterpret_cast<const char*>(out_.data());
        const auto size = static_cast<qint64>(out_.size());
        qint64 direct = 0;
        // While Qt holds nothing queued, the bytes go straight to the kernel. Qt's own write
        // path switches the socket's write notifier on and off for every write, and with the
        // default event dispatcher each switch walks the list of every registered socket:
        // with ten thousand readers that walk was most of the program's time. Whatever the
        // kernel does not take (or an error) goes through Qt, which keeps the order and reports
        // a broken connection as usual.
        if (socket_.bytesToWrite() == 0) {
            const ssize_t n = ::send(static_cast<int>(socket_.socketDescriptor()), data,
                                     static_cast<std::size_t>(size), MSG_NOSIGNAL | MSG_DONTWAIT);
            direct = n > 0 ? static_cast<qint64>(n) : 0;
        }
        if (direct < size) {
            socket_.write(data + direct, size - direct);
        }
        SimReaderStats& stats = core_.Stats();
        stats.maxUnsentBytes = std::max<std::int64_t>(stats.maxUnsentBytes, socket_.bytesToWrite());
    }
    out_.clear();
}

std::uint64_t SimReader::AppendReports(std::uint64_t count) {
    const SimReaderOptions& options = Options();
    const auto bound = static_cast<qint64>(options.unsentBound);
    const qint64 queued = socket_.bytesToWrite();
    std::uint64_t n = 0;
    while (n < count && queued + static_cast<qint64>(out_.size() + kMaxReportWire) <= bound) {
        core_.AppendReport(pacer_->NextTag(options.firstTag, options.tagCount), out_);
        ++n;
    }
    return n;
}

void SimReader::SendPacedReports(std::uint64_t count) {
    if (!connected_ || !core_.Reporting()) {
        return;
    }
    const std::uint64_t sent = AppendReports(count);
    core_.Stats().reportsSkipped += count - sent;
    Flush();
}

void SimReader::FillUp() {
    if (!connected_ || !core_.Reporting() || Options().rate > 0.0) {
        return;
    }
    AppendReports(std::numeric_limits<std::uint64_t>::max());
    Flush();
    // All of it went straight to the kernel, so no bytesWritten will come to ask for more:
    // come back on the next turn of the event loop (once, however often this runs meanwhile).
    if (socket_.bytesToWrite() == 0 && !fillQueued_) {
        fillQueued_ = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                fillQueued_ = false;
                FillUp();
            },
            Qt::QueuedConnection);
    }
}

}  // namespace trelvane
