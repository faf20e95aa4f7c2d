#include "QuickAck.h"

#ifdef __linux__
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cstdlib>
#include <filesystem>
#endif

namespace devservice {

#ifdef __linux__

namespace {

struct Address {
    std::string host;
    int port = -1;
};

using NameFunction = int (*)(int, sockaddr *, socklen_t *);

// The numeric form httplib uses for Request::local_addr and remote_addr.
bool readAddress(int socket, NameFunction name, Address &out)
{
    sockaddr_storage storage{};
    socklen_t length = sizeof storage;
    if (name(socket, reinterpret_cast<sockaddr *>(&storage), &length) != 0)
        return false;
    char host[NI_MAXHOST];
    if (getnameinfo(reinterpret_cast<sockaddr *>(&storage), length, host, sizeof host, nullptr, 0,
                    NI_NUMERICHOST) != 0)
        return false;
    out.host = host;
    if (storage.ss_family == AF_INET)
        out.port = ntohs(reinterpret_cast<sockaddr_in *>(&storage)->sin_port);
    else if (storage.ss_family == AF_INET6)
        out.port = ntohs(reinterpret_cast<sockaddr_in6 *>(&storage)->sin6_port);
    else
        return false;
    return true;
}

bool isConnection(int socket, const Address &local, const Address &remote)
{
    Address ours;
    Address theirs;
    return readAddress(socket, getsockname, ours) && ours.port == local.port
        && ours.host == local.host && readAddress(socket, getpeername, theirs)
        && theirs.port == remote.port && theirs.host == remote.host;
}

int findConnection(const Address &local, const Address &remote)
{
    std::error_code error;
    for (std::filesystem::directory_iterator it("/proc/self/fd", error), end;
         !error && it != end; it.increment(error)) {
        const int socket = std::atoi(it->path().filename().c_str());
        if (isConnection(socket, local, remote))
            return socket;
    }
    return -1;
}

} // namespace

void QuickAck::acknowledge(const std::string &localAddress, int localPort,
                           const std::string &remoteAddress, int remotePort)
{
    // A worker serves one connection for many requests, so remember its socket.
    thread_local int lastSocket = -1;
    const Address local{localAddress, localPort};
    const Address remote{remoteAddress, remotePort};
    if (lastSocket < 0 || !isConnection(lastSocket, local, remote))
        lastSocket = findConnection(local, remote);
    if (lastSocket < 0)
        return;
    const int on = 1;
    setsockopt(lastSocket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

#else

void QuickAck::acknowledge(const std::string &, int, const std::string &, int)
{
}

#endif

} // namespace devservice
