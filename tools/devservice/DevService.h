// Development web service: speaks Tarn's service protocol from a content folder.
//
// Content folder layout:
//   client/            the program files ("checkClient.php", "/downloadFile.php")
//   client/.modes.json optional object, relative path -> mode text ("EXT", "DNT",
//                      "PAM", ...); files not named there are "EXT". Not listed itself.
//   sector/            the sector tree ("getfilelist.php", "/downloadSectorFile.php")
//   accounts.json      array of {"cid": text, "sha1": lower-case hex, "rating": number}
//
// Hidden files and folders (leading dot) are never listed or served.
//
// The service is plain C++ with a JSON reader and writer of its own
// (JsonValue, JsonWriter) rather than Qt's: the tests check the program's
// parsing against it, so it must be an independent oracle. Built on the same
// parser, a fault there would shape the lists and their reading alike and no
// test would see it.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace devservice {

// A fault applied to matching requests.
struct Fault
{
    // Endpoint name as requested, without the "/api/tarn/" prefix, for example
    // "login.php" or "downloadSectorFile.php".
    std::string endpoint;
    // Value of the "file" field to match; empty matches every request of the endpoint.
    std::string file;
    // Wait this long before answering.
    std::chrono::milliseconds delay{0};
    // Answer with this HTTP status (and an empty body) instead of the normal answer;
    // 0 keeps the normal answer.
    int status = 0;
    // Leave out the "Content-Disposition" header of a download answer.
    bool noContentDisposition = false;
    // Announce the full length, send half of the body, then close the connection.
    bool dropMidBody = false;
    // Wait until releaseHeld() (or stop()) before answering: a reply that comes
    // exactly when the caller lets it.
    bool hold = false;
    // How many matching requests the fault applies to; -1 means all of them.
    int times = -1;
};

// What the service saw of one request.
struct RecordedRequest
{
    std::string method;
    std::string path; // full path, for example "/api/tarn/login.php"
    std::string contentType; // the Content-Type header, as sent
    std::string expect; // the Expect header, as sent
    std::string body; // the raw body, undecoded
    std::map<std::string, std::string> fields; // the decoded form fields
};

class DevService
{
public:
    explicit DevService(std::string contentRoot = {});
    ~DevService();
    DevService(const DevService &) = delete;
    DevService &operator=(const DevService &) = delete;

    // Serve over TLS with this PEM certificate chain and key; call before start().
    // A build without TLS (the Windows build) then fails to start.
    void setTls(std::string certFile, std::string keyFile);

    // Listens on host:port (port 0 picks a free one) in a background thread.
    // Returns the port, or -1 when the socket could not be bound.
    int start(const std::string &host = "127.0.0.1", int port = 0);
    void stop();
    int port() const;
    // "http://127.0.0.1:PORT/api/tarn" (or https), without a trailing slash.
    std::string baseUrl() const;

    void setContentRoot(std::string contentRoot);
    std::string contentRoot() const;

    void addFault(Fault fault);
    // Replace the JSON body of a list endpoint ("checkClient.php" or
    // "getfilelist.php") with this text, sent as it is. For "login.php" every
    // login is then accepted (status 200) with this text as its answer.
    void setListOverride(const std::string &endpoint, std::string json);
    // In the "client" list, give this path a wrong hash (the hash of other bytes).
    void setWrongHash(const std::string &path);
    // In the "client" list, write every hash in upper-case hexadecimal.
    void setUpperCaseHashes(bool upper);
    // Answer every download, whatever file it names, with these bytes: a
    // service that serves anything it is asked for, hostile paths included.
    void setEveryDownload(std::string body);
    // Answer every request that asks to be told to continue ("Expect:
    // 100-continue") with HTTP 417 and close its connection, as some proxies do.
    void setRefuseExpectation(bool refuse);
    // How many requests were answered so since the last clearFaults().
    size_t refusedExpectations() const;
    // Remove every fault, override and hash switch.
    void clearFaults();
    // Lets every held request of the endpoint (every endpoint when empty),
    // and every one held from now on, be answered until clearFaults().
    void releaseHeld(const std::string &endpoint = {});

    std::vector<RecordedRequest> requests() const;
    void clearRequests();

private:
    struct Private;
    std::unique_ptr<Private> d;
};

} // namespace devservice
