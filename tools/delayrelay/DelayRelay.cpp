#include "DelayRelay.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace delayrelay {

namespace {

constexpr size_t ReadSize = 64 * 1024;
constexpr int IdlePollMs = 200;

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// Non-blocking, and without Nagle's algorithm: the relay adds its delay and
// nothing of its own.
void prepare(int socket)
{
    fcntl(socket, F_SETFL, fcntl(socket, F_GETFL) | O_NONBLOCK);
    int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

} // namespace

DelayRelay::DelayRelay(int targetPort, std::chrono::milliseconds oneWayDelay)
    : targetPort(targetPort)
    , delay(oneWayDelay)
{
}

DelayRelay::~DelayRelay()
{
    for (const auto &connection : connections) {
        close(connection->upstream.from);
        close(connection->upstream.to);
    }
    if (listener >= 0)
        close(listener);
}

int DelayRelay::listen()
{
    listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0)
        return -1;
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
        || ::listen(listener, SOMAXCONN) != 0
        || getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
        return -1;
    fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
    return ntohs(address.sin_port);
}

void DelayRelay::stop()
{
    stopping = true;
}

void DelayRelay::accept()
{
    const int client = ::accept(listener, nullptr, nullptr);
    if (client < 0)
        return;
    const int target = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in address = loopback(targetPort);
    if (target < 0
        || connect(target, reinterpret_cast<const sockaddr *>(&address), sizeof address) != 0) {
        close(client);
        if (target >= 0)
            close(target);
        return;
    }
    prepare(client);
    prepare(target);
    auto connection = std::make_unique<Connection>();
    connection->upstream.from = client;
    connection->upstream.to = target;
    connection->downstream.from = target;
    connection->downstream.to = client;
    connections.push_back(std::move(connection));
}

void DelayRelay::read(Direction &direction)
{
    std::string bytes(ReadSize, '\0');
    const ssize_t received = recv(direction.from, bytes.data(), bytes.size(), 0);
    if (received < 0 && (errno == EAGAIN || errno == EINTR))
        return;
    if (received <= 0) {
        direction.ended = true;
        return;
    }
    bytes.resize(static_cast<size_t>(received));
    direction.queue.push_back({Clock::now() + delay, std::move(bytes)});
}

void DelayRelay::write(Direction &direction)
{
    const Clock::time_point now = Clock::now();
    while (!direction.queue.empty() && direction.queue.front().due <= now) {
        std::string &bytes = direction.queue.front().bytes;
        const ssize_t sent = send(direction.to, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno != EAGAIN && errno != EINTR) {
                direction.queue.clear();
                direction.ended = true;
            }
            return;
        }
        bytes.erase(0, static_cast<size_t>(sent));
        if (!bytes.empty())
            return;
        direction.queue.pop_front();
    }
    if (direction.ended && direction.queue.empty() && !direction.shutDown) {
        shutdown(direction.to, SHUT_WR);
        direction.shutDown = true;
    }
}

short DelayRelay::eventsFor(const Direction &readFor, const Direction &writeFor,
                            Clock::time_point now)
{
    short events = readFor.ended ? 0 : POLLIN;
    if (!writeFor.queue.empty() && writeFor.queue.front().due <= now)
        events |= POLLOUT;
    return events;
}

bool DelayRelay::idle(const Direction &readFor, const Direction &writeFor)
{
    // Left out of poll(), which would otherwise report its hang-up at once,
    // again and again.
    return readFor.ended && writeFor.shutDown;
}

int DelayRelay::nextTimeout(Clock::time_point now) const
{
    Clock::time_point next = now + std::chrono::milliseconds(IdlePollMs);
    for (const auto &connection : connections) {
        for (const Direction *direction : {&connection->upstream, &connection->downstream}) {
            // A chunk already due waits for its socket to take it (POLLOUT).
            if (!direction->queue.empty() && direction->queue.front().due > now)
                next = std::min(next, direction->queue.front().due);
        }
    }
    const auto wait = std::chrono::duration_cast<std::chrono::microseconds>(next - now);
    // Rounded up, so that the chunk is due when poll() returns.
    return std::max<int>(0, static_cast<int>((wait.count() + 999) / 1000));
}

void DelayRelay::closeFinished()
{
    const auto finished = [](const std::unique_ptr<Connection> &connection) {
        if (!connection->upstream.shutDown || !connection->downstream.shutDown)
            return false;
        close(connection->upstream.from);
        close(connection->upstream.to);
        return true;
    };
    connections.erase(std::remove_if(connections.begin(), connections.end(), finished),
                      connections.end());
}

void DelayRelay::run()
{
    std::vector<pollfd> polled;
    while (!stopping) {
        const Clock::time_point now = Clock::now();
        polled.assign(1, {listener, POLLIN, 0});
        for (const auto &connection : connections) {
            const Direction &up = connection->upstream;
            const Direction &down = connection->downstream;
            // Each socket is read for one direction and written for the other.
            polled.push_back({idle(up, down) ? -1 : up.from, eventsFor(up, down, now), 0});
            polled.push_back({idle(down, up) ? -1 : down.from, eventsFor(down, up, now), 0});
        }
        if (poll(polled.data(), polled.size(), nextTimeout(now)) < 0 && errno != EINTR)
            return;
        if (polled[0].revents & POLLIN)
            accept();
        for (size_t i = 0; i < connections.size(); ++i) {
            if (polled[1 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                read(connections[i]->upstream);
            if (polled[2 + 2 * i].revents & (POLLIN | POLLHUP | POLLERR))
                read(connections[i]->downstream);
        }
        for (const auto &connection : connections) {
            write(connection->upstream);
            write(connection->downstream);
        }
        closeFinished();
    }
}

} // namespace delayrelay
