// The sd_notify protocol of systemd, for the Linux host and its tests.
#pragma once

#include <string>

namespace quirada {

// Sends `state` (for instance "READY=1") to systemd when NOTIFY_SOCKET is set. Returns whether a
// datagram was sent; a failure to send is written to the system event log as
// "Falha ao avisar o systemd (<state>): <system error text>".
bool SdNotify(const std::string& state);

}  // namespace quirada
