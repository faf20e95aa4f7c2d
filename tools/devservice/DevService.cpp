#include "DevService.h"

#include "ContentFolder.h"
#include "FormData.h"
#include "JsonWriter.h"
#include "Sha1.h"

#include <httplib.h>

#ifndef _WIN32
#include <csignal>
#include <pthread.h>
#endif

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <fstream>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace devservice {

namespace {

constexpr std::string_view PathPrefix = "/api/tarn/";
constexpr size_t ChunkSize = 64 * 1024;
// Every open keep-alive connection holds a worker, and a client opens up to six.
constexpr size_t WorkerThreads = 32;
// Short, so that stop() does not wait long for idle connections to expire.
constexpr time_t KeepAliveSeconds = 2;
constexpr size_t KeepAliveRequests = 1000000;
constexpr int ContinueStatus = 100;
constexpr int ExpectationFailedStatus = 417;
constexpr const char *ApplicationJson = "application/json";
constexpr const char *TextPlain = "text/plain; charset=utf-8";
constexpr const char *OctetStream = "application/octet-stream";

// How a fault changes an otherwise normal answer.
struct Delivery
{
    bool contentDisposition = true;
    bool dropMidBody = false;
};

struct FileSource
{
    std::ifstream in;
    std::vector<char> buffer = std::vector<char>(ChunkSize);
};

std::string fieldValue(const std::map<std::string, std::string> &fields, const char *name)
{
    const auto it = fields.find(name);
    return it == fields.end() ? std::string() : it->second;
}

std::string_view withoutLeadingSlashes(std::string_view path)
{
    const size_t start = path.find_first_not_of('/');
    return start == std::string_view::npos ? std::string_view() : path.substr(start);
}

std::string endpointOf(const std::string &path)
{
    if (path.compare(0, PathPrefix.size(), PathPrefix) != 0)
        return {};
    return path.substr(PathPrefix.size());
}

bool faultMatches(const Fault &fault, const std::string &endpoint, const std::string &file)
{
    return fault.times != 0 && fault.endpoint == endpoint
        && (fault.file.empty() || withoutLeadingSlashes(fault.file) == withoutLeadingSlashes(file));
}

void sendNotFound(httplib::Response &response)
{
    response.status = 404;
    response.set_content("Not found.\n", TextPlain);
}

// Sends the body, or with dropMidBody announces all of it, sends half and lets
// httplib close the connection.
void sendBody(httplib::Response &response, std::string body, const char *contentType,
              bool dropMidBody)
{
    if (!dropMidBody || body.empty()) {
        response.set_content(body, contentType);
        return;
    }
    auto data = std::make_shared<std::string>(std::move(body));
    const size_t cutAt = data->size() / 2;
    response.set_content_provider(
        data->size(), contentType, [data, cutAt](size_t offset, size_t, httplib::DataSink &sink) {
            return offset < cutAt && sink.write(data->data() + offset, cutAt - offset);
        });
}

std::string attachmentHeader(const fs::path &file)
{
    std::string value = "attachment; filename=\"";
    for (const char c : file.filename().u8string()) {
        if (c == '"' || c == '\\')
            value += '\\';
        value += c;
    }
    return value + '"';
}

// Streams the file in chunks instead of loading it, so large downloads stay cheap.
void sendFile(httplib::Response &response, const fs::path &file, Delivery delivery)
{
    auto source = std::make_shared<FileSource>();
    source->in.open(file, std::ios::binary | std::ios::ate);
    const std::streamoff end = source->in.tellg();
    if (!source->in || end < 0 || !source->in.seekg(0)) {
        sendNotFound(response);
        return;
    }
    const auto size = size_t(end);
    if (delivery.contentDisposition)
        response.set_header("Content-Disposition", attachmentHeader(file));
    if (size == 0) {
        response.set_content(std::string(), OctetStream);
        return;
    }
    const size_t cutAt = delivery.dropMidBody ? size / 2 : size;
    response.set_content_provider(
        size, OctetStream, [source, cutAt](size_t offset, size_t length, httplib::DataSink &sink) {
            if (offset >= cutAt)
                return false;
            const size_t count = std::min({length, cutAt - offset, ChunkSize});
            source->in.seekg(std::streamoff(offset));
            if (!source->in.read(source->buffer.data(), std::streamsize(count)))
                return false;
            return sink.write(source->buffer.data(), count);
        });
}

// httplib's default options also set SO_REUSEPORT, with which a second service binds
// a port in use instead of failing. SO_REUSEADDR alone still allows a quick restart.
void reuseAddressOnly(socket_t socket)
{
#ifdef _WIN32
    BOOL exclusive = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char *>(&exclusive),
               sizeof exclusive);
#else
    int on = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
#endif
}

// httplib listens with a backlog of five connections. A web server in front
// opens many at once, and those beyond the backlog wait for the client's
// retransmission, a second and more. Listening again widens the backlog.
void widenBacklog(socket_t socket)
{
    if (socket != INVALID_SOCKET)
        listen(socket, SOMAXCONN);
}

// Writes to a vanished client must fail with EPIPE rather than kill the process.
// The workers are started by the listening thread and inherit its signal mask.
void blockBrokenPipeSignal()
{
#ifndef _WIN32
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
#endif
}

} // namespace

struct DevService::Private
{
    mutable std::mutex mutex;
    std::condition_variable wakeUp;
    bool stopping = false;
    bool heldReleased = false;
    // Counts the releases of every endpoint, so a request held before one
    // goes even when clearFaults() follows before it wakes.
    unsigned releases = 0;
    std::set<std::string> releasedEndpoints;
    std::string root;
    std::string certFile;
    std::string keyFile;
    std::string host;
    int port = -1;
    bool tls = false;
    std::vector<Fault> faults;
    std::map<std::string, std::string> listOverrides;
    std::optional<std::string> everyDownloadBody;
    std::set<std::string> wrongHashes;
    bool upperCaseHashes = false;
    bool refuseExpectation = false;
    size_t refusedExpectations = 0;
    std::vector<RecordedRequest> requests;

    // Owned by the thread calling start() and stop().
    std::unique_ptr<httplib::Server> server;
    socket_t listeningSocket = INVALID_SOCKET;
    std::thread listener;
    std::atomic<bool> listenerDone{false};

    std::unique_ptr<httplib::Server> makeServer();
    void route(httplib::Server &server);
    void handle(const httplib::Request &request, httplib::Response &response);
    int answerExpectation(httplib::Response &response);
    RecordedRequest record(const httplib::Request &request);
    std::optional<Fault> takeFault(const std::string &endpoint, const std::string &file);
    void waitUnlessStopping(std::chrono::milliseconds delay);
    void waitUntilReleased(const std::string &endpoint);
    void answer(const std::string &endpoint, const std::map<std::string, std::string> &fields,
                Delivery delivery, httplib::Response &response);
    void login(const ContentFolder &content, const std::map<std::string, std::string> &fields,
               Delivery delivery, httplib::Response &response) const;
    std::string clientListJson(const ContentFolder &content) const;
    std::optional<std::string> listOverride(const std::string &endpoint) const;
    std::optional<std::string> everyDownload() const;
    std::string currentRoot() const;
};

std::unique_ptr<httplib::Server> DevService::Private::makeServer()
{
    std::lock_guard lock(mutex);
    tls = !certFile.empty();
#ifdef CPPHTTPLIB_OPENSSL_SUPPORT
    if (tls)
        return std::make_unique<httplib::SSLServer>(certFile.c_str(), keyFile.c_str());
#else
    // Built without TLS (the Windows build): such a service cannot start.
    if (tls)
        return nullptr;
#endif
    return std::make_unique<httplib::Server>();
}

void DevService::Private::route(httplib::Server &server)
{
    server.new_task_queue = [] { return new httplib::ThreadPool(WorkerThreads); };
    server.set_keep_alive_max_count(KeepAliveRequests);
    server.set_keep_alive_timeout(KeepAliveSeconds);
    // httplib writes headers and body separately; without this, Nagle's algorithm
    // and delayed acknowledgements add tens of milliseconds to every small answer.
    server.set_tcp_nodelay(true);
    server.set_socket_options([this](socket_t socket) {
        reuseAddressOnly(socket);
        listeningSocket = socket;
    });
    const auto handler = [this](const httplib::Request &request, httplib::Response &response) {
        handle(request, response);
    };
    // Runs once the headers are in. A request without Content-Length or
    // Transfer-Encoding has no body, but httplib would read a POST until the
    // connection closes, so those are answered here.
    server.set_pre_routing_handler(
        [this](const httplib::Request &request, httplib::Response &response) {
            if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
                return httplib::Server::HandlerResponse::Unhandled;
            handle(request, response);
            return httplib::Server::HandlerResponse::Handled;
        });
    server.set_expect_100_continue_handler(
        [this](const httplib::Request &, httplib::Response &response) {
            return answerExpectation(response);
        });
    // Every method is routed here so that every request gets recorded.
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Patch(".*", handler);
    server.Delete(".*", handler);
    server.Options(".*", handler);
}

int DevService::Private::answerExpectation(httplib::Response &response)
{
    std::lock_guard lock(mutex);
    if (!refuseExpectation)
        return ContinueStatus;
    // A final answer without reading the body, as an old proxy gives it; the
    // connection closes, so the body the client sent anyway is dropped.
    ++refusedExpectations;
    response.status = ExpectationFailedStatus;
    response.set_header("Connection", "close");
    return ExpectationFailedStatus + 1;
}

void DevService::Private::handle(const httplib::Request &request, httplib::Response &response)
{
    const RecordedRequest recorded = record(request);
    const std::string endpoint = endpointOf(request.path);
    const auto fault = takeFault(endpoint, fieldValue(recorded.fields, "file"));
    Delivery delivery;
    if (fault) {
        if (fault->delay.count() > 0)
            waitUnlessStopping(fault->delay);
        if (fault->hold)
            waitUntilReleased(endpoint);
        if (fault->status != 0) {
            response.status = fault->status;
            return;
        }
        delivery.contentDisposition = !fault->noContentDisposition;
        delivery.dropMidBody = fault->dropMidBody;
    }
    if (request.method != "POST") {
        sendNotFound(response);
        return;
    }
    answer(endpoint, recorded.fields, delivery, response);
}

RecordedRequest DevService::Private::record(const httplib::Request &request)
{
    RecordedRequest recorded{request.method,
                             request.path,
                             request.get_header_value("Content-Type"),
                             request.get_header_value("Expect"),
                             request.body,
                             {}};
    if (FormData::isFormContentType(recorded.contentType))
        recorded.fields = FormData::decode(recorded.body);
    std::lock_guard lock(mutex);
    requests.push_back(recorded);
    return recorded;
}

std::optional<Fault> DevService::Private::takeFault(const std::string &endpoint,
                                                    const std::string &file)
{
    std::lock_guard lock(mutex);
    const auto it = std::find_if(faults.begin(), faults.end(), [&](const Fault &fault) {
        return faultMatches(fault, endpoint, file);
    });
    if (it == faults.end())
        return std::nullopt;
    const Fault fault = *it;
    if (it->times > 0 && --it->times == 0)
        faults.erase(it);
    return fault;
}

void DevService::Private::waitUnlessStopping(std::chrono::milliseconds delay)
{
    std::unique_lock lock(mutex);
    wakeUp.wait_for(lock, delay, [this] { return stopping; });
}

void DevService::Private::waitUntilReleased(const std::string &endpoint)
{
    std::unique_lock lock(mutex);
    const unsigned heldAt = releases;
    wakeUp.wait(lock, [&] {
        return stopping || heldReleased || releases != heldAt
            || releasedEndpoints.count(endpoint) > 0;
    });
}

void DevService::Private::answer(const std::string &endpoint,
                                 const std::map<std::string, std::string> &fields,
                                 Delivery delivery, httplib::Response &response)
{
    const ContentFolder content(fs::u8path(currentRoot()));
    if (endpoint == "login.php") {
        if (auto json = listOverride(endpoint))
            sendBody(response, std::move(*json), ApplicationJson, delivery.dropMidBody);
        else
            login(content, fields, delivery, response);
    } else if (endpoint == "checkClient.php" || endpoint == "getfilelist.php") {
        auto json = listOverride(endpoint);
        if (!json)
            json = endpoint == "checkClient.php" ? clientListJson(content)
                                                 : content.sectorTreeJson();
        sendBody(response, std::move(*json), ApplicationJson, delivery.dropMidBody);
    } else if (endpoint == "downloadFile.php" || endpoint == "downloadSectorFile.php") {
        if (auto body = everyDownload()) {
            if (delivery.contentDisposition)
                response.set_header("Content-Disposition", "attachment; filename=\"download\"");
            sendBody(response, std::move(*body), OctetStream, delivery.dropMidBody);
            return;
        }
        const bool client = endpoint == "downloadFile.php";
        const std::string requested = fieldValue(fields, "file");
        const auto file = client
            ? content.resolve(ContentFolder::Area::Client, requested)
            : content.resolve(ContentFolder::Area::Sector, withoutLeadingSlashes(requested));
        if (file)
            sendFile(response, *file, delivery);
        else
            sendNotFound(response);
    } else {
        sendNotFound(response);
    }
}

void DevService::Private::login(const ContentFolder &content,
                                const std::map<std::string, std::string> &fields, Delivery delivery,
                                httplib::Response &response) const
{
    const auto cid = fields.find("vatsimid");
    const auto password = fields.find("password");
    const auto account = cid != fields.end() && password != fields.end()
        ? content.findAccount(cid->second, password->second)
        : std::nullopt;
    if (!account) {
        // The challenge makes Qt report AuthenticationRequiredError.
        response.status = 401;
        response.set_header("WWW-Authenticate", "Basic realm=\"tarn\"");
        sendBody(response, "Wrong VATSIM ID or password.\n", TextPlain, delivery.dropMidBody);
        return;
    }
    JsonWriter json;
    json.beginObject();
    json.key("cid");
    json.string(account->cid);
    json.key("rating");
    json.raw(account->rating);
    json.endObject();
    sendBody(response, json.take(), ApplicationJson, delivery.dropMidBody);
}

std::string DevService::Private::clientListJson(const ContentFolder &content) const
{
    std::set<std::string> wrong;
    bool upper = false;
    {
        std::lock_guard lock(mutex);
        wrong = wrongHashes;
        upper = upperCaseHashes;
    }
    JsonWriter json;
    json.beginArray();
    for (const ClientFile &file : content.clientFiles()) {
        std::string hash
            = wrong.count(file.path) ? Sha1::ofBytes("not the bytes of " + file.path) : file.hash;
        if (upper)
            std::transform(hash.begin(), hash.end(), hash.begin(),
                           [](char c) { return c >= 'a' && c <= 'f' ? char(c - 'a' + 'A') : c; });
        json.beginObject();
        json.key("path");
        json.string(file.path);
        json.key("hash");
        json.string(hash);
        json.key("mode");
        json.string(file.mode);
        json.key("updated");
        json.string(file.updated);
        json.endObject();
    }
    json.endArray();
    return json.take();
}

std::optional<std::string> DevService::Private::everyDownload() const
{
    std::lock_guard lock(mutex);
    return everyDownloadBody;
}

std::optional<std::string> DevService::Private::listOverride(const std::string &endpoint) const
{
    std::lock_guard lock(mutex);
    const auto it = listOverrides.find(endpoint);
    if (it == listOverrides.end())
        return std::nullopt;
    return it->second;
}

std::string DevService::Private::currentRoot() const
{
    std::lock_guard lock(mutex);
    return root;
}

DevService::DevService(std::string contentRoot)
    : d(std::make_unique<Private>())
{
    d->root = std::move(contentRoot);
}

DevService::~DevService()
{
    stop();
}

void DevService::setTls(std::string certFile, std::string keyFile)
{
    std::lock_guard lock(d->mutex);
    d->certFile = std::move(certFile);
    d->keyFile = std::move(keyFile);
}

int DevService::start(const std::string &host, int port)
{
    if (d->server)
        return this->port();
    auto server = d->makeServer();
    if (!server || !server->is_valid())
        return -1;
    d->route(*server);
    const int bound = port == 0 ? server->bind_to_any_port(host)
                                : (server->bind_to_port(host, port) ? port : -1);
    if (bound < 0)
        return -1;
    widenBacklog(d->listeningSocket);
    {
        std::lock_guard lock(d->mutex);
        d->stopping = false;
        d->host = host;
        d->port = bound;
    }
    d->server = std::move(server);
    d->listenerDone = false;
    d->listener = std::thread([server = d->server.get(), done = &d->listenerDone] {
        blockBrokenPipeSignal();
        server->listen_after_bind();
        *done = true;
    });
    while (!d->server->is_running() && !d->listenerDone)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!d->server->is_running()) {
        stop();
        return -1;
    }
    return bound;
}

void DevService::stop()
{
    {
        std::lock_guard lock(d->mutex);
        d->stopping = true;
    }
    d->wakeUp.notify_all();
    if (d->server)
        d->server->stop();
    if (d->listener.joinable())
        d->listener.join();
    d->server.reset();
}

int DevService::port() const
{
    std::lock_guard lock(d->mutex);
    return d->port;
}

std::string DevService::baseUrl() const
{
    std::lock_guard lock(d->mutex);
    if (d->port < 0)
        return {};
    const bool ipv6 = d->host.find(':') != std::string::npos;
    return std::string(d->tls ? "https" : "http") + "://" + (ipv6 ? "[" + d->host + "]" : d->host)
        + ':' + std::to_string(d->port) + "/api/tarn";
}

void DevService::setContentRoot(std::string contentRoot)
{
    std::lock_guard lock(d->mutex);
    d->root = std::move(contentRoot);
}

std::string DevService::contentRoot() const
{
    std::lock_guard lock(d->mutex);
    return d->root;
}

void DevService::addFault(Fault fault)
{
    std::lock_guard lock(d->mutex);
    d->faults.push_back(std::move(fault));
}

void DevService::setListOverride(const std::string &endpoint, std::string json)
{
    std::lock_guard lock(d->mutex);
    d->listOverrides[endpoint] = std::move(json);
}

void DevService::setWrongHash(const std::string &path)
{
    std::lock_guard lock(d->mutex);
    d->wrongHashes.insert(path);
}

void DevService::setUpperCaseHashes(bool upper)
{
    std::lock_guard lock(d->mutex);
    d->upperCaseHashes = upper;
}

void DevService::setEveryDownload(std::string body)
{
    std::lock_guard lock(d->mutex);
    d->everyDownloadBody = std::move(body);
}

void DevService::clearFaults()
{
    std::lock_guard lock(d->mutex);
    d->faults.clear();
    d->listOverrides.clear();
    d->wrongHashes.clear();
    d->upperCaseHashes = false;
    d->refuseExpectation = false;
    d->refusedExpectations = 0;
    d->everyDownloadBody.reset();
    d->heldReleased = false;
    d->releasedEndpoints.clear();
}

void DevService::setRefuseExpectation(bool refuse)
{
    std::lock_guard lock(d->mutex);
    d->refuseExpectation = refuse;
}

size_t DevService::refusedExpectations() const
{
    std::lock_guard lock(d->mutex);
    return d->refusedExpectations;
}

void DevService::releaseHeld(const std::string &endpoint)
{
    {
        std::lock_guard lock(d->mutex);
        if (endpoint.empty()) {
            d->heldReleased = true;
            ++d->releases;
        } else {
            d->releasedEndpoints.insert(endpoint);
        }
    }
    d->wakeUp.notify_all();
}

std::vector<RecordedRequest> DevService::requests() const
{
    std::lock_guard lock(d->mutex);
    return d->requests;
}

void DevService::clearRequests()
{
    std::lock_guard lock(d->mutex);
    d->requests.clear();
}

} // namespace devservice
