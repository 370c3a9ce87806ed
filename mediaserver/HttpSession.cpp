// One connection: its requests read, handed to a worker once complete, and answered.
#include "HttpServerImpl.h"

#include <optional>
#include <strings.h>

namespace slkserver::http {

namespace {

constexpr size_t pieceSize = 64 * 1024;
constexpr milliseconds longestWait{60000}; // any single wait for the network, at most

void parseQuery(const std::string& query, std::multimap<std::string, std::string>& params) {
    size_t at = 0;
    while (at <= query.size()) {
        size_t end = query.find('&', at);
        if (end == std::string::npos)
            end = query.size();
        const std::string pair = query.substr(at, end - at);
        if (!pair.empty()) {
            const size_t equals = pair.find('=');
            params.emplace(percentDecode(pair.substr(0, equals), true),
                           equals == std::string::npos
                               ? std::string()
                               : percentDecode(pair.substr(equals + 1), true));
        }
        at = end + 1;
    }
}

} // namespace

// One connection: its requests read, handed to a worker once complete, and answered, each
// step waiting on the network asynchronously and bounded by a deadline.
class Server::Session : public std::enable_shared_from_this<Server::Session> {
public:
    Session(std::shared_ptr<Impl> server, tcp::socket socket, std::string address)
        : server_(std::move(server)), limits_(server_->limits), stream_(std::move(socket)),
          address_(std::move(address)), accepted_(Clock::now()) {}

    ~Session() { server_->releaseConnection(address_); }

    void start() { readHead(accepted_ + limits_.headers); }

private:
    void readHead(Clock::time_point deadline) {
        parser_.emplace();
        parser_->header_limit(16 * 1024);
        parser_->body_limit(boost::none); // bodies are bounded by the route, below
        stream_.expires_at(deadline);
        wire::async_read_header(stream_, buffer_, *parser_,
                                beast::bind_front_handler(&Session::onHead, shared_from_this()));
    }

    void onHead(beast::error_code ec, size_t) {
        if (ec) {
            // A peer that went away or ran out of time gets no answer; one that sent a head
            // that can't be parsed is told so.
            if (ec != wire::error::end_of_stream && ec != beast::error::timeout &&
                ec != net::error::operation_aborted && ec != net::error::connection_reset &&
                ec != net::error::eof && buffer_.size() > 0) {
                const int status = ec == wire::error::header_limit ? 431 : 400;
                return refuse(status, status == 431 ? "The request's headers are too large"
                                                    : "The request is malformed");
            }
            return close();
        }
        auto& head = parser_->get();
        request_ = Request{};
        request_.method = std::string(head.method_string());
        const std::string target(head.target());
        const size_t question = target.find('?');
        request_.path = percentDecode(target.substr(0, question), false);
        if (question != std::string::npos)
            parseQuery(target.substr(question + 1), request_.params);
        for (const auto& field : head)
            request_.headers.emplace(std::string(field.name_string()), std::string(field.value()));
        keepAlive_ = head.keep_alive();
        headOnly_ = head.method() == wire::verb::head;

        const bool chunked = head.chunked();
        const auto length = parser_->content_length();
        const bool hasBody = chunked || (length && *length > 0);

        route_ = nullptr;
        const std::string method = headOnly_ ? "GET" : request_.method;
        bool pathKnown = false;
        for (const Route& route : server_->routes) {
            if (!std::regex_match(request_.path, request_.matches, route.pattern))
                continue;
            pathKnown = true;
            if (route.method == method) {
                route_ = &route;
                break;
            }
        }
        if (!route_) {
            // Without a body to skip, the connection can go on.
            response_ = Response{};
            server_->errorPage(response_, pathKnown ? 405 : 404,
                               pathKnown ? "Method not allowed" : "Not found");
            bodyUnread_ = hasBody;
            ++served_;
            return answer();
        }
        if (!route_->isStreamed()) {
            if (hasBody && (chunked || *length > uint64_t(limits_.smallBody)))
                return refuse(413, "The request body is too large");
            return hasBody ? startBody() : dispatch();
        }
        if (length && *length > uint64_t(limits_.largeBody) + 64 * 1024)
            return refuse(413, "The request body is too large");
        // Admitted on a worker (it may look up the uploader), before any of the body is read.
        streaming_.emplace(server_->streamed);
        net::post(server_->workers, [self = shared_from_this()] {
            Response refusal;
            std::shared_ptr<BodySink> sink;
            try {
                sink = self->route_->admission(self->request_, refusal);
            } catch (...) {
                refusal = Response{};
                self->server_->errorPage(refusal, 500, "The server failed to handle the request");
            }
            net::post(self->stream_.get_executor(),
                      [self, sink, refusal = std::move(refusal)]() mutable {
                          if (sink) {
                              self->sink_ = std::move(sink);
                              return self->startBody();
                          }
                          self->response_ = std::move(refusal);
                          self->bodyUnread_ = true;
                          self->answer();
                      });
        });
    }

    // Tells the client what is wrong and ends the connection: the rest of what it sends is
    // not read.
    void refuse(int status, const std::string& message) {
        response_ = Response{};
        server_->errorPage(response_, status, message);
        bodyUnread_ = true;
        answer();
    }

    void startBody() {
        if (sink_) {
            const std::string boundary =
                MultipartParser::boundaryOf(request_.get_header_value("Content-Type"));
            if (!boundary.empty())
                multipart_.emplace(boundary);
        }
        sinkGoing_ = true;
        bodyStart_ = Clock::now();
        bodyBytes_ = 0;
        if (beast::iequals(parser_->get()[wire::field::expect], "100-continue")) {
            continueLine_ = "HTTP/1.1 100 Continue\r\n\r\n";
            stream_.expires_after(longestWait);
            return net::async_write(stream_, net::buffer(continueLine_),
                                    [self = shared_from_this()](beast::error_code ec, size_t) {
                                        if (ec)
                                            return self->cutOff();
                                        self->readBody();
                                    });
        }
        readBody();
    }

    Clock::time_point rateDeadline(Clock::time_point start, milliseconds grace, int64_t done,
                                   int64_t rate) const {
        const auto earned = milliseconds(rate > 0 ? done * 1000 / rate : longestWait.count());
        return std::min(Clock::now() + longestWait, start + grace + earned);
    }

    void readBody() {
        if (parser_->is_done())
            return dispatch();
        piece_.resize(pieceSize);
        // The stream reads as much as the buffer has room for: room for a whole piece, or the
        // body arrives 512 bytes a call.
        if (buffer_.capacity() - buffer_.size() < pieceSize)
            buffer_.reserve(buffer_.size() + pieceSize);
        auto& body = parser_->get().body();
        body.data = piece_.data();
        body.size = piece_.size();
        stream_.expires_at(
            rateDeadline(bodyStart_, limits_.bodyGrace, bodyBytes_, limits_.bodyMinRate));
        wire::async_read_some(stream_, buffer_, *parser_,
                              beast::bind_front_handler(&Session::onBody, shared_from_this()));
    }

    void onBody(beast::error_code ec, size_t) {
        if (ec == wire::error::need_buffer)
            ec = {};
        if (ec)
            return cutOff(); // too slow, gone, or not HTTP: nothing to answer
        const size_t got = piece_.size() - parser_->get().body().size;
        bodyBytes_ += static_cast<int64_t>(got);
        const int64_t limit =
            route_->isStreamed() ? limits_.largeBody + 64 * 1024 : limits_.smallBody;
        if (bodyBytes_ > limit)
            return refuse(413, "The request body is too large");
        if (!sink_) {
            request_.body.append(piece_.data(), got);
            return readBody();
        }
        sinkGoing_ =
            multipart_
                ? multipart_->feed(
                      piece_.data(), got,
                      [this](const FormPart& part) { return sink_->part(part); },
                      [this](const char* data, size_t size) { return sink_->data(data, size); })
                : sink_->data(piece_.data(), got);
        // Stopped (too large, a disk that refused, a malformed form): the rest stays unread, and
        // the connection ends after the answer.
        if (!sinkGoing_) {
            bodyUnread_ = true;
            return dispatch();
        }
        readBody();
    }

    void dispatch() {
        ++served_;
        // A form's fields are read like the query's.
        if (!request_.body.empty() && strncasecmp(request_.get_header_value("Content-Type").c_str(),
                                                  "application/x-www-form-urlencoded", 33) == 0)
            parseQuery(request_.body, request_.params);
        net::post(server_->workers, [self = shared_from_this()] { self->handle(); });
    }

    // On a worker: the route's handler, with the complete request.
    void handle() {
        response_ = Response{};
        try {
            if (sink_) {
                const bool complete =
                    sinkGoing_ && (!multipart_ || multipart_->isComplete()) && !bodyUnread_;
                route_->afterBody(request_, response_, *sink_, complete);
            } else {
                route_->handler(request_, response_);
            }
        } catch (...) {
            response_ = Response{};
            server_->errorPage(response_, 500, "The server failed to handle the request");
        }
        auto self = shared_from_this();
        auto finished = [self] {
            net::post(self->stream_.get_executor(), [self] { self->answer(); });
        };
        if (response_.later) {
            auto later = std::move(response_.later);
            response_.later = nullptr;
            return later(response_, finished);
        }
        finished();
    }

    void answer() {
        // The sink's files are the handler's to keep or remove by now.
        sink_.reset();
        multipart_.reset();
        if (response_.status < 100 || response_.status > 599)
            response_.status = 500;
        if (response_.status >= 400 && response_.body.empty() && !response_.provider)
            server_->errorPage(response_, response_.status, std::string());
        closeAfter_ = bodyUnread_ || !keepAlive_ || served_ >= limits_.requestsPerConnection ||
                      beast::iequals(response_.get_header_value("Connection"), "close");
        const size_t length = response_.provider ? response_.providedLength : response_.body.size();
        head_ = "HTTP/1.1 " + std::to_string(response_.status) + " " +
                std::string(wire::obsolete_reason(static_cast<wire::status>(response_.status))) +
                "\r\n";
        for (const auto& [name, value] : response_.headers) {
            if (beast::iequals(name, "Content-Length") || beast::iequals(name, "Connection") ||
                beast::iequals(name, "Transfer-Encoding"))
                continue;
            head_ += name + ": " + value + "\r\n";
        }
        head_ += "Content-Length: " + std::to_string(length) + "\r\n";
        head_ += closeAfter_ ? "Connection: close\r\n\r\n" : "\r\n";
        answerStart_ = Clock::now();
        sent_ = 0;
        stream_.expires_at(answerDeadline());
        if (headOnly_ || (!response_.provider && response_.body.empty()))
            return net::async_write(
                stream_, net::buffer(head_),
                beast::bind_front_handler(&Session::onAnswered, shared_from_this()));
        if (!response_.provider)
            return net::async_write(
                stream_, std::array{net::buffer(head_), net::buffer(response_.body)},
                beast::bind_front_handler(&Session::onAnswered, shared_from_this()));
        net::async_write(stream_, net::buffer(head_),
                         beast::bind_front_handler(&Session::onProvided, shared_from_this()));
    }

    Clock::time_point answerDeadline() const {
        return rateDeadline(answerStart_, limits_.answerGrace, static_cast<int64_t>(sent_),
                            limits_.answerMinRate);
    }

    // The next piece of a provided answer, made here (a read from a file) and sent.
    void onProvided(beast::error_code ec, size_t written) {
        if (ec)
            return cutOff();
        if (written != head_.size())
            sent_ += written;
        head_.clear();
        if (sent_ >= response_.providedLength)
            return onAnswered({}, 0);
        piece_.clear();
        DataSink sink;
        sink.write = [this](const char* data, size_t size) {
            piece_.append(data, size);
            return true;
        };
        const size_t want = std::min(pieceSize, response_.providedLength - sent_);
        if (!response_.providerBlocks)
            return sendPiece(response_.provider(sent_, want, sink), want);
        // Nothing else touches the connection meanwhile: it waits for this piece.
        net::post(server_->workers, [self = shared_from_this(), sink, want]() mutable {
            const bool made = self->response_.provider(self->sent_, want, sink);
            net::post(self->stream_.get_executor(),
                      [self, made, want] { self->sendPiece(made, want); });
        });
    }

    void sendPiece(bool made, size_t want) {
        if (!made || piece_.empty())
            return cutOff(); // the file went away: the length promised can't be kept
        if (piece_.size() > want)
            piece_.resize(want);
        stream_.expires_at(answerDeadline());
        net::async_write(stream_, net::buffer(piece_),
                         beast::bind_front_handler(&Session::onProvided, shared_from_this()));
    }

    void onAnswered(beast::error_code ec, size_t) {
        if (ec)
            return cutOff();
        response_ = Response{};
        streaming_.reset();
        if (closeAfter_)
            return bodyUnread_ ? linger() : close();
        // The head of the next request may already be in the buffer.
        readHead(Clock::now() + limits_.keepAlive + limits_.headers);
    }

    // After an answer sent before the request's body was read (a refused upload), the client
    // may still be sending. Closing at once would make the kernel answer its data with a reset,
    // which can destroy our answer before the client reads it: stop writing, then take what
    // still comes for a moment (the client stops once it has read the answer).
    void linger() {
        beast::error_code ignored;
        stream_.socket().set_option(net::socket_base::linger(false, 0), ignored);
        stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
        lingerUntil_ = Clock::now() + milliseconds(1000);
        drain();
    }

    void drain() {
        piece_.resize(pieceSize);
        stream_.expires_at(lingerUntil_);
        stream_.async_read_some(net::buffer(piece_),
                                [self = shared_from_this()](beast::error_code ec, size_t got) {
                                    self->drained_ += got;
                                    if (ec || self->drained_ > 64 * 1024 * 1024)
                                        return self->close();
                                    self->drain();
                                });
    }

    // Ends the connection after what was sent. (Sockets are abortive by default, see accept().)
    void close() {
        beast::error_code ignored;
        stream_.socket().set_option(net::socket_base::linger(false, 0), ignored);
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.close();
    }

    // Ends a connection whose peer is too slow or gone: at once, with what is still queued for
    // it dropped (a graceful close would leave the kernel sending it as slowly as it reads).
    void cutOff() { stream_.close(); }

    // Counts a streamed request from its admission to its answer.
    struct Streaming {
        explicit Streaming(std::atomic<int>& count) : count(count) { ++count; }
        ~Streaming() { --count; }
        std::atomic<int>& count;
    };

    std::shared_ptr<Impl> server_;
    const Limits& limits_;
    beast::tcp_stream stream_;
    const std::string address_;
    const Clock::time_point accepted_;
    beast::flat_buffer buffer_;
    std::optional<wire::request_parser<wire::buffer_body>> parser_;
    Request request_;
    Response response_;
    const Route* route_ = nullptr;
    std::optional<Streaming> streaming_;
    bool keepAlive_ = false;
    bool headOnly_ = false;
    bool bodyUnread_ = false;
    bool closeAfter_ = false;
    int served_ = 0;
    std::shared_ptr<BodySink> sink_; // streamed routes: where the body goes
    std::optional<MultipartParser> multipart_;
    bool sinkGoing_ = true;
    Clock::time_point bodyStart_;
    int64_t bodyBytes_ = 0;
    std::string piece_;
    std::string head_;
    std::string continueLine_;
    size_t sent_ = 0;
    Clock::time_point answerStart_;
    Clock::time_point lingerUntil_;
    int64_t drained_ = 0;
};

void Server::Impl::serve(tcp::socket socket, std::string address) {
    std::make_shared<Session>(shared_from_this(), std::move(socket), std::move(address))->start();
}

} // namespace slkserver::http
