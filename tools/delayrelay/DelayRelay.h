// A TCP relay on loopback that holds every byte for a fixed time in each
// direction: a network path with a round trip of twice that delay, for a
// machine whose kernel cannot add one itself.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace delayrelay {

class DelayRelay
{
public:
    using Clock = std::chrono::steady_clock;

    // Relays connections made to a free port of 127.0.0.1 to targetPort on
    // 127.0.0.1, each byte delivered oneWayDelay after it arrived.
    DelayRelay(int targetPort, std::chrono::milliseconds oneWayDelay);
    ~DelayRelay();
    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;

    // Binds the listening socket; returns its port, or -1.
    int listen();
    // Serves until stop() is called from a signal handler or another thread.
    void run();
    void stop();

private:
    // Bytes read from one socket, due to be written to the other.
    struct Chunk
    {
        Clock::time_point due;
        std::string bytes;
    };
    struct Direction
    {
        int from = -1;
        int to = -1;
        std::deque<Chunk> queue;
        bool ended = false; // the sender closed its side
        bool shutDown = false; // and everything before that was delivered
    };
    struct Connection
    {
        Direction upstream;
        Direction downstream;
    };

    void accept();
    void read(Direction &direction);
    void write(Direction &direction);
    static short eventsFor(const Direction &readFor, const Direction &writeFor,
                           Clock::time_point now);
    static bool idle(const Direction &readFor, const Direction &writeFor);
    int nextTimeout(Clock::time_point now) const;
    void closeFinished();

    int targetPort;
    std::chrono::milliseconds delay;
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::vector<std::unique_ptr<Connection>> connections;
};

} // namespace delayrelay
