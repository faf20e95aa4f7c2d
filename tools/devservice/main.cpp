// tarn-devservice: runs the development web service until SIGINT or SIGTERM.
#include "DevService.h"
#include "PortFile.h"

#include <arpa/inet.h>
#include <csignal>
#include <pthread.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr int UsageError = 2;

struct Options
{
    std::string content;
    std::string host = "127.0.0.1";
    int port = 0;
    std::string cert;
    std::string key;
    std::string portFile;
    std::string requestLog;
};

void printUsage(std::ostream &out)
{
    out << "Usage: tarn-devservice --content DIR [--host 127.0.0.1] [--port N]\n"
           "                       [--cert FILE --key FILE] [--port-file FILE]\n"
           "                       [--request-log FILE]\n"
           "  --content DIR     content folder (client/, sector/, accounts.json)\n"
           "  --host ADDRESS    loopback address to listen on (127.0.0.1 or ::1)\n"
           "  --port N          port to listen on; 0 (default) picks a free one\n"
           "  --cert/--key      serve HTTPS with this PEM certificate chain and key\n"
           "  --port-file FILE  write the port number to FILE once listening\n"
           "  --request-log FILE  on stopping, write each request to FILE, one a line:\n"
           "                    its path, then its form fields as name=value\n"
           "Runs until SIGINT or SIGTERM.\n";
}

std::optional<int> parsePort(const std::string &text)
{
    if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos)
        return std::nullopt;
    const int port = std::stoi(text);
    return port <= 65535 ? std::optional<int>(port) : std::nullopt;
}

// Assigns one option's value; false for an unknown option or a bad value.
bool applyOption(Options &options, const std::string &name, const std::string &value)
{
    if (name == "--content")
        options.content = value;
    else if (name == "--host")
        options.host = value;
    else if (name == "--cert")
        options.cert = value;
    else if (name == "--key")
        options.key = value;
    else if (name == "--port-file")
        options.portFile = value;
    else if (name == "--request-log")
        options.requestLog = value;
    else if (name == "--port") {
        const auto port = parsePort(value);
        if (!port)
            return false;
        options.port = *port;
    } else
        return false;
    return true;
}

std::optional<Options> parseArguments(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; i += 2) {
        if (i + 1 >= argc || !applyOption(options, argv[i], argv[i + 1]))
            return std::nullopt;
    }
    if (options.content.empty() || options.cert.empty() != options.key.empty())
        return std::nullopt;
    return options;
}

bool isLoopbackAddress(const std::string &host)
{
    unsigned char address[16];
    if (inet_pton(AF_INET, host.c_str(), address) == 1)
        return address[0] == 127;
    if (inet_pton(AF_INET6, host.c_str(), address) != 1)
        return false;
    for (int i = 0; i < 15; ++i) {
        if (address[i] != 0)
            return false;
    }
    return address[15] == 1;
}

// Blocked before any thread starts, so that every thread inherits the mask and
// sigwait() in main receives the signal.
sigset_t blockStopSignals()
{
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    return signals;
}

std::optional<int> checkOptions(const Options &options)
{
    if (!isLoopbackAddress(options.host)) {
        std::cerr << "tarn-devservice: refusing to listen on \"" << options.host
                  << "\": only loopback addresses such as 127.0.0.1 or ::1 are allowed\n";
        return UsageError;
    }
    std::error_code error;
    if (!std::filesystem::is_directory(options.content, error)) {
        std::cerr << "tarn-devservice: content folder \"" << options.content
                  << "\" is not a directory\n";
        return UsageError;
    }
    return std::nullopt;
}

bool writeRequestLog(const std::string &file, const devservice::DevService &service)
{
    std::ofstream log(file);
    for (const devservice::RecordedRequest &request : service.requests()) {
        log << request.path;
        for (const auto &[name, value] : request.fields)
            log << ' ' << name << '=' << value;
        log << '\n';
    }
    return bool(log.flush());
}

bool asksForHelp(int argc, char **argv)
{
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h")
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char **argv)
{
    if (asksForHelp(argc, argv)) {
        printUsage(std::cout);
        return 0;
    }
    const auto options = parseArguments(argc, argv);
    if (!options) {
        printUsage(std::cerr);
        return UsageError;
    }
    if (const auto failure = checkOptions(*options))
        return *failure;

    const sigset_t stopSignals = blockStopSignals();
    devservice::DevService service(options->content);
    if (!options->cert.empty())
        service.setTls(options->cert, options->key);
    if (service.start(options->host, options->port) < 0) {
        std::cerr << "tarn-devservice: cannot listen on " << options->host << " port "
                  << options->port << " (port in use, or unusable certificate or key)\n";
        return 1;
    }
    std::cout << "Tarn development service: " << service.baseUrl() << std::endl;
    if (!options->portFile.empty() && !tools::writePortFile(options->portFile, service.port())) {
        std::cerr << "tarn-devservice: cannot write " << options->portFile << '\n';
        return 1;
    }
    int received = 0;
    sigwait(&stopSignals, &received);
    service.stop();
    return options->requestLog.empty() || writeRequestLog(options->requestLog, service) ? 0 : 1;
}
