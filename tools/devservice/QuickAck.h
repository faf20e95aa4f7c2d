// Immediate TCP acknowledgement of a request's headers.
//
// Qt's HTTP client writes the headers and the body of a POST in two writes with
// Nagle's algorithm on, so the body waits until the headers are acknowledged, and
// Linux delays that acknowledgement by about 40 ms on a keep-alive connection.
// Every download would pay that. httplib does not hand out the connection's
// socket, so it is found by its addresses.
#pragma once

#include <string>

namespace devservice {

class QuickAck {
public:
    // Acknowledges what the server socket of this connection has received so far.
    // Does nothing where TCP_QUICKACK does not exist.
    static void acknowledge(const std::string &localAddress, int localPort,
                            const std::string &remoteAddress, int remotePort);
};

} // namespace devservice
