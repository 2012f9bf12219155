#pragma once

// The local IPv4 addresses the Service Setting page offers to listen on. Behind an interface so
// the page is tested with 0, 1 or many addresses whatever machine runs the tests.

#include <QList>
#include <QStringList>

class QHostAddress;

namespace trelvane {

struct LocalAddressList {
    enum class Status {
        kOk,
        kNoHostName,     // the host name could not be obtained: nothing to list
        kResolveFailed,  // the host name did not resolve
    };
    Status status = Status::kOk;
    QStringList addresses;  // dotted IPv4, no duplicates
};

class LocalAddressSource {
  public:
    virtual ~LocalAddressSource() = default;
    // Asked once each time the page opens; may block on the resolver.
    virtual LocalAddressList Fetch() = 0;
};

// The host name's addresses in resolver order, then the addresses of the machine's interfaces
// that the resolver did not give. Hosts whose name resolves only to a loopback address (a
// common /etc/hosts set-up) still offer their real interfaces this way.
class SystemLocalAddresses final : public LocalAddressSource {
  public:
    LocalAddressList Fetch() override;
};

// The IPv4 entries of `resolved` in order, then those of `interfaces` not yet listed; IPv6
// entries are skipped, IPv4-mapped IPv6 ones are listed as IPv4.
QStringList MergeLocalAddresses(const QList<QHostAddress>& resolved,
                                const QList<QHostAddress>& interfaces);

}  // namespace trelvane
