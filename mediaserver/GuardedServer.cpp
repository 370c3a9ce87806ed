#include "GuardedServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace slkserver {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void addressOf(const sockaddr_storage& address, std::string& ip, int& port) {
    char text[INET6_ADDRSTRLEN] = {};
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
        port = ntohs(v4.sin_port);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        port = ntohs(v6.sin6_port);
    }
    ip = text;
}

// One connection's socket, read through a small buffer (httplib reads headers a byte at a
// time), with every wait bounded by the phase the request is in.
class GuardedStream : public httplib::Stream {
public:
    GuardedStream(int fd, const ClientLimits& limits)
        : fd_(fd), limits_(limits), connected_(Clock::now()) {}

    // Waits for the first byte of the next request; false when none comes in time.
    bool waitForRequest(bool first) {
        if (begin_ < end_)
            return true;
        const auto deadline =
            first ? connected_ + limits_.headers : Clock::now() + limits_.keepAlive;
        return pollUntil(POLLIN, deadline);
    }

    void beginRequest(bool first) {
        phase_ = Phase::Headers;
        routed_ = false;
        deadline_ = (first ? connected_ : Clock::now()) + limits_.headers;
    }

    // Whether the last request got as far as routing (its head could be read).
    bool wasRouted() const { return routed_; }

    void headersReceived() {
        routed_ = true;
        phase_ = Phase::Body;
        bodyStart_ = Clock::now();
        bodyBytes_ = 0;
    }

    bool is_readable() const override { return begin_ < end_ || pollUntil(POLLIN, readDeadline()); }

    bool is_writable() const override { return pollUntil(POLLOUT, Clock::now() + limits_.io); }

    ssize_t read(char* ptr, size_t size) override {
        if (begin_ == end_ && size >= sizeof buffer_) {
            // Large reads (bodies) go straight to the caller.
            if (!pollUntil(POLLIN, readDeadline()))
                return -1;
            ssize_t n;
            do {
                n = ::recv(fd_, ptr, size, 0);
            } while (n < 0 && errno == EINTR);
            if (n > 0 && phase_ == Phase::Body)
                bodyBytes_ += n;
            return n;
        }
        if (begin_ == end_) {
            if (!pollUntil(POLLIN, readDeadline()))
                return -1;
            ssize_t n;
            do {
                n = ::recv(fd_, buffer_, sizeof buffer_, 0);
            } while (n < 0 && errno == EINTR);
            if (n <= 0)
                return n;
            begin_ = 0;
            end_ = static_cast<size_t>(n);
            if (phase_ == Phase::Body)
                bodyBytes_ += n;
        }
        const size_t take = std::min(size, end_ - begin_);
        std::memcpy(ptr, buffer_ + begin_, take);
        begin_ += take;
        return static_cast<ssize_t>(take);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!is_writable())
            return -1;
        ssize_t n;
        do {
            n = ::send(fd_, ptr, size, MSG_NOSIGNAL);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            addressOf(address, ip, port);
    }

    void get_local_ip_and_port(std::string& ip, int& port) const override {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            addressOf(address, ip, port);
    }

    socket_t socket() const override { return fd_; }

private:
    enum class Phase { Headers, Body };

    Clock::time_point readDeadline() const {
        const auto io = Clock::now() + limits_.io;
        if (phase_ == Phase::Headers)
            return std::min(io, deadline_);
        // Past the grace period the body must have kept up with the minimum rate.
        const auto earned = milliseconds(
            limits_.bodyMinRate > 0 ? bodyBytes_ * 1000 / limits_.bodyMinRate : limits_.io.count());
        return std::min(io, bodyStart_ + limits_.bodyGrace + earned);
    }

    bool pollUntil(short events, Clock::time_point deadline) const {
        for (;;) {
            const auto left =
                std::chrono::duration_cast<milliseconds>(deadline - Clock::now()).count();
            if (left <= 0)
                return false;
            pollfd watched{fd_, events, 0};
            const int ready =
                ::poll(&watched, 1, static_cast<int>(std::min<int64_t>(left, 1 << 30)));
            if (ready > 0)
                return true;
            if (ready == 0 || errno != EINTR)
                return false;
        }
    }

    const int fd_;
    const ClientLimits& limits_;
    const Clock::time_point connected_;
    Phase phase_ = Phase::Headers;
    bool routed_ = false;
    Clock::time_point deadline_{};
    Clock::time_point bodyStart_{};
    int64_t bodyBytes_ = 0;
    char buffer_[64 * 1024]; // one read of a body takes what the kernel has, up to this
    size_t begin_ = 0;
    size_t end_ = 0;
};

thread_local GuardedStream* current = nullptr;

// After an answer sent before the request's body was read (a refused upload), the client may
// still be sending. Closing at once would make the kernel answer its data with a reset, which
// can destroy our answer before the client reads it: stop writing, then take what still comes
// for a moment (the client stops once it has read the answer).
void lingerBeforeClose(int fd) {
    ::shutdown(fd, SHUT_WR);
    const auto until = Clock::now() + milliseconds(1000);
    int64_t budget = 64 * 1024 * 1024;
    char sink[64 * 1024];
    while (budget > 0) {
        const auto left = std::chrono::duration_cast<milliseconds>(until - Clock::now()).count();
        pollfd watched{fd, POLLIN, 0};
        if (left <= 0 || ::poll(&watched, 1, static_cast<int>(left)) <= 0)
            return;
        const ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n <= 0)
            return;
        budget -= n;
    }
}

} // namespace

void GuardedServer::headersReceived() {
    if (current)
        current->headersReceived();
}

bool GuardedServer::process_and_close_socket(socket_t sock) {
    // Answers are small: never wait for a delayed ACK (httplib sets this on its own path only).
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    GuardedStream stream(sock, limits_);
    current = &stream;
    bool ok = false;
    bool refused = false;
    for (int served = 0; served < limits_.requestsPerConnection && is_running(); ++served) {
        const bool first = served == 0;
        if (!stream.waitForRequest(first))
            break;
        stream.beginRequest(first);
        bool closed = false;
        const bool last = served + 1 == limits_.requestsPerConnection;
        ok = process_request(stream, last, closed, [](httplib::Request&) {});
        // A request whose head was refused leaves the stream at an unknown place: end it.
        if (!ok || closed || !stream.wasRouted()) {
            refused = ok; // an answer went out (a failed read sends none)
            break;
        }
    }
    current = nullptr;
    if (refused)
        lingerBeforeClose(sock);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return ok;
}

} // namespace slkserver
