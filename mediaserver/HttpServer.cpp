#include "HttpServerImpl.h"

#include <thread>

namespace slkserver::http {

void Server::Impl::accept() {
    acceptor.async_accept(net::make_strand(io), [self = shared_from_this()](beast::error_code ec,
                                                                            tcp::socket socket) {
        if (!self->acceptor.is_open())
            return;
        if (!ec) {
            beast::error_code ignored;
            const auto peer = socket.remote_endpoint(ignored);
            const std::string address = ignored ? std::string() : peer.address().to_string();
            // Answers are small: never wait for a delayed ACK.
            socket.set_option(tcp::no_delay(true), ignored);
            // Closed abortively unless a graceful end is asked for: a deadline that passes
            // (the stream closes the socket itself) then drops what the peer didn't take.
            socket.set_option(net::socket_base::linger(true, 0), ignored);
            if (self->admitConnection(address))
                self->serve(std::move(socket), address);
            else
                socket.close(ignored); // over the limit: not even read
        } else if (ec == net::error::no_descriptors || ec == net::error::no_buffer_space) {
            // Out of descriptors: wait a moment rather than spin.
            std::this_thread::sleep_for(milliseconds(50));
        }
        self->accept();
    });
}

Server::Server(Limits limits, int workers) : impl_(std::make_shared<Impl>(limits, workers)) {}

Server::~Server() {
    impl_->io.stop();
    impl_->workers.join();
}

void Server::route(const std::string& method, const std::string& pattern, Handler handler) {
    impl_->routes.push_back({method, std::regex(pattern), std::move(handler), nullptr, nullptr});
}

void Server::streamedRoute(const std::string& method, const std::string& pattern,
                           Admission admission, StreamedHandler handler) {
    impl_->routes.push_back(
        {method, std::regex(pattern), nullptr, std::move(admission), std::move(handler)});
}

void Server::setErrorPage(ErrorPage page) {
    impl_->errorPage = std::move(page);
}

int Server::bind(const std::string& host, int port) {
    beast::error_code ec;
    const auto address = net::ip::make_address(host, ec);
    if (ec)
        return -1;
    const tcp::endpoint endpoint(address, static_cast<unsigned short>(port));
    impl_->acceptor.open(endpoint.protocol(), ec);
    if (!ec)
        impl_->acceptor.set_option(net::socket_base::reuse_address(true), ec);
    if (!ec)
        impl_->acceptor.bind(endpoint, ec);
    if (!ec)
        impl_->acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        return -1;
    }
    return impl_->acceptor.local_endpoint().port();
}

bool Server::run() {
    if (!impl_->acceptor.is_open())
        return false;
    impl_->accept();
    // Two threads wait for the network: one can be busy writing a piece while the other reads.
    const unsigned threads = std::max(2u, std::min(4u, std::thread::hardware_concurrency()));
    std::vector<std::thread> others;
    for (unsigned i = 1; i < threads; ++i)
        others.emplace_back([this] { impl_->io.run(); });
    impl_->io.run();
    for (std::thread& thread : others)
        thread.join();
    return true;
}

void Server::stop() {
    // No new connections; those open are served to their end.
    net::post(impl_->acceptor.get_executor(), [impl = impl_] {
        beast::error_code ignored;
        impl->acceptor.close(ignored);
    });
}

int Server::streamedInFlight() const {
    return impl_->streamed;
}

} // namespace slkserver::http
