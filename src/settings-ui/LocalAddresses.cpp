#include "settings-ui/LocalAddresses.h"

#include <QHostAddress>
#include <QHostInfo>
#include <QNetworkInterface>

namespace trelvane {
namespace {

void AppendIpv4(const QHostAddress& address, QStringList& out) {
    bool isIpv4 = false;
    const quint32 value = address.toIPv4Address(&isIpv4);
    if (!isIpv4) {
        return;
    }
    const QString text = QHostAddress(value).toString();
    if (!out.contains(text)) {
        out.append(text);
    }
}

}  // namespace

QStringList MergeLocalAddresses(const QList<QHostAddress>& resolved,
                                const QList<QHostAddress>& interfaces) {
    QStringList out;
    for (const QHostAddress& address : resolved) {
        AppendIpv4(address, out);
    }
    for (const QHostAddress& address : interfaces) {
        AppendIpv4(address, out);
    }
    return out;
}

LocalAddressList SystemLocalAddresses::Fetch() {
    LocalAddressList result;
    const QString hostName = QHostInfo::localHostName();
    if (hostName.isEmpty()) {
        result.status = LocalAddressList::Status::kNoHostName;
        return result;
    }
    const QHostInfo info = QHostInfo::fromName(hostName);
    if (info.error() != QHostInfo::NoError) {
        result.status = LocalAddressList::Status::kResolveFailed;
        return result;
    }
    result.addresses = MergeLocalAddresses(info.addresses(), QNetworkInterface::allAddresses());
    return result;
}

}  // namespace trelvane
