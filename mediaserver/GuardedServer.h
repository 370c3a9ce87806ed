#pragma once

#include <httplib.h>

#include <chrono>

namespace slkserver {

// How long a client may take, per phase of a request. A worker thread serves one connection at
// a time, so without these a handful of clients that trickle bytes would hold every thread.
struct ClientLimits {
    std::chrono::milliseconds headers{5000};    // request line and headers, in total
    std::chrono::milliseconds bodyGrace{10000}; // a body may be slow for this long...
    int64_t bodyMinRate = 1024;                 // ...then must average this many bytes a second
    std::chrono::milliseconds keepAlive{5000};  // idle between two requests
    std::chrono::milliseconds io{60000};        // any single wait for the network
    int requestsPerConnection = 100;
};

// httplib's server with its connection loop replaced by one that enforces ClientLimits
// (httplib 0.11 restarts its read timeout on every byte, headers included).
class GuardedServer : public httplib::Server {
public:
    explicit GuardedServer(ClientLimits limits) : limits_(limits) {}

    // Called once the request's headers are in (from the pre-routing handler, on the thread
    // that serves the connection): from here the body's minimum rate applies.
    static void headersReceived();

private:
    bool process_and_close_socket(socket_t sock) override;

    const ClientLimits limits_;
};

} // namespace slkserver
