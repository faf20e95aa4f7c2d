#pragma once

#include <QString>

// nginx in front of this test program's development service: TLS on a free
// loopback port, offering HTTP/2, passing every request on to the service.
namespace RealServer {

// Starts it for the service on servicePort (once per process) and returns
// its base address, or an empty string when nginx could not start.
QString start(int servicePort);

// Why start() returned no address; empty when it did.
QString unavailableReason();

} // namespace RealServer
