#pragma once

// What the server's two files share: its routes and state, and the network types.
#include "HttpServer.h"

#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <atomic>
#include <mutex>
#include <regex>
#include <string>
#include <unordered_map>
#include <vector>

namespace slkserver::http {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace wire = boost::beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Route {
    std::string method;
    std::regex pattern;
    Server::Handler handler;
    Server::Admission admission; // streamed routes only
    Server::StreamedHandler afterBody;
    bool isStreamed() const { return admission != nullptr; }
};

struct Server::Impl : std::enable_shared_from_this<Server::Impl> {
    explicit Impl(Limits limits, int workers)
        : limits(limits), workers(static_cast<size_t>(std::max(1, workers))) {}

    const Limits limits;
    net::io_context io;
    tcp::acceptor acceptor{io};
    net::thread_pool workers;
    std::vector<Route> routes;
    ErrorPage errorPage = [](Response& response, int status, const std::string& message) {
        response.status = status;
        response.set_content(
            message.empty() ? std::string(wire::obsolete_reason(static_cast<wire::status>(status)))
                            : message,
            "text/plain; charset=utf-8");
    };
    std::atomic<int> streamed{0};

    std::mutex connectionsMutex;
    int open = 0;
    std::unordered_map<std::string, int> byAddress;

    bool admitConnection(const std::string& address) {
        std::lock_guard lock(connectionsMutex);
        int& mine = byAddress[address];
        if (open >= limits.maxConnections || mine >= limits.maxConnectionsPerAddress) {
            if (mine == 0)
                byAddress.erase(address);
            return false;
        }
        ++open;
        ++mine;
        return true;
    }

    void releaseConnection(const std::string& address) {
        std::lock_guard lock(connectionsMutex);
        --open;
        if (--byAddress[address] <= 0)
            byAddress.erase(address);
    }

    void accept();
    // Serves a connection just accepted (HttpSession.cpp).
    void serve(tcp::socket socket, std::string address);
};

} // namespace slkserver::http
