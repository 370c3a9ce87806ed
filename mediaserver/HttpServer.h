#pragma once

#include "Http.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

namespace slkserver::http {

// What a client may take and hold. Connections wait for the network without a thread each
// (event-driven, Boost.Beast on Asio): a request is handled on a worker thread only once its body
// is in (a streamed one is admitted there first, on its head alone), so idle, trickling or
// slow-reading peers cost a socket and a little memory, never a thread.
struct Limits {
    std::chrono::milliseconds headers{5000};      // request line and headers, from the accept
    std::chrono::milliseconds bodyGrace{10000};   // a body may be slow for this long...
    int64_t bodyMinRate = 1024;                   // ...then must average this many bytes a second
    std::chrono::milliseconds answerGrace{10000}; // likewise for reading an answer
    int64_t answerMinRate = 4096;
    std::chrono::milliseconds keepAlive{5000}; // idle between two requests
    int requestsPerConnection = 100;
    int maxConnections = 1024;            // open at once, in all...
    int maxConnectionsPerAddress = 64;    // ...and from one client address
    int64_t smallBody = 1 << 20;          // routes that read their body whole
    int64_t largeBody = int64_t(1) << 30; // routes that stream it to a sink
};

class Server {
public:
    // Runs on a worker thread with the request's body complete.
    using Handler = std::function<void(const Request&, Response&)>;
    // Runs on a worker thread before a streamed body is read: the sink for it, or null to
    // refuse it (the answer in the response is then sent at once, and the body never read).
    using Admission = std::function<std::unique_ptr<BodySink>(const Request&, Response&)>;
    // Runs on a worker thread once the sink has what came: `complete` is false when the body
    // was malformed, cut short or stopped by the sink.
    using StreamedHandler =
        std::function<void(const Request&, Response&, BodySink& sink, bool complete)>;
    // Fills in an answer the server makes itself (no route, a body too large, a failure); an
    // empty message asks for the status's own words.
    using ErrorPage = std::function<void(Response&, int status, const std::string& message)>;

    Server(Limits limits, int workers);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // `pattern` must match the whole decoded path; its groups are the request's matches.
    void route(const std::string& method, const std::string& pattern, Handler handler);
    // A route whose body may be large: admitted on its head, then handed to the admission's
    // sink as it arrives, never held whole.
    void streamedRoute(const std::string& method, const std::string& pattern, Admission admission,
                       StreamedHandler handler);
    void setErrorPage(ErrorPage page);

    // Binds the listening socket; returns the bound port, or -1.
    int bind(const std::string& host, int port);
    // Serves until stop() (from any thread).
    bool run();
    void stop();
    // Streamed requests being received or answered.
    int streamedInFlight() const;

private:
    struct Impl;
    class Session;
    std::shared_ptr<Impl> impl_;
};

} // namespace slkserver::http
