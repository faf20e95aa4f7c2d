// tarn-delayrelay: a loopback TCP relay that delays each direction, so that
// the benchmark can put a round trip between the program and a web server.
#include "DelayRelay.h"
#include "PortFile.h"

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

delayrelay::DelayRelay *running = nullptr;

void stopRunning(int)
{
    if (running)
        running->stop();
}

const char usage[] = "Usage: tarn-delayrelay TARGET_PORT ONE_WAY_DELAY_MS PORT_FILE\n"
                     "  Relays connections made to a free port of 127.0.0.1 (written to\n"
                     "  PORT_FILE once listening) to TARGET_PORT on 127.0.0.1, holding\n"
                     "  the bytes of each direction for ONE_WAY_DELAY_MS milliseconds.\n"
                     "  Runs until SIGINT or SIGTERM.\n";

bool parseNumber(const char *text, int &number)
{
    char *end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || value > 65535)
        return false;
    number = static_cast<int>(value);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int targetPort = 0;
    int delayMs = 0;
    if (argc != 4 || !parseNumber(argv[1], targetPort) || !parseNumber(argv[2], delayMs)) {
        std::cerr << usage;
        return 2;
    }
    delayrelay::DelayRelay relay(targetPort, std::chrono::milliseconds(delayMs));
    const int port = relay.listen();
    if (port < 0 || !tools::writePortFile(argv[3], port)) {
        std::cerr << "tarn-delayrelay: cannot listen on loopback or write " << argv[3] << '\n';
        return 1;
    }
    running = &relay;
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = stopRunning;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    relay.run();
    return 0;
}
