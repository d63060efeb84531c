#include "server/http_server.h"

#include <boost/asio/dispatch.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/strand.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>

#include <array>
#include <atomic>
#include <charconv>
#include <optional>
#include <thread>
#include <vector>

#include "server/check_queue.h"

namespace orv::server {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

int defaultThreads(int requested) {
    if (requested > 0) return requested;
    unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 2 : static_cast<int>(n);
}

}  // namespace

struct HttpServer::Impl {
    Impl(DirectoryService& s, HttpServerOptions o)
        : service(s),
          options(std::move(o)),
          acceptor(io),
          checks(CheckQueueLimits{defaultThreads(options.workerThreads), options.checksPerAddress,
                                  options.checkQueue}) {}

    void accept();

    DirectoryService& service;
    HttpServerOptions options;
    asio::io_context io;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard;
    tcp::acceptor acceptor;
    CheckQueue checks;
    std::vector<std::thread> threads;
    std::atomic<bool> stopped{false};
    uint16_t port = 0;
};

namespace {

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(tcp::socket socket, HttpServer::Impl& server)
        : stream_(std::move(socket)), server_(server) {
        beast::error_code ec;
        auto address = stream_.socket().remote_endpoint(ec).address();
        if (!ec) {
            if (address.is_v6() && address.to_v6().is_v4_mapped()) {
                address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
            }
            peer_ = address.to_string();
        }
        for (const auto& proxy : server_.options.proxyProtocolFrom) {
            if (proxy == peer_) awaitingProxyLine_ = true;
        }
    }

    void start() {
        asio::dispatch(stream_.get_executor(),
                       beast::bind_front_handler(&Session::readRequest, shared_from_this()));
    }

  private:
    void readRequest() {
        parser_.emplace();
        // The parser's own limit applies to each piece it is handed; the whole header is
        // counted here instead.
        parser_->header_limit(static_cast<std::uint32_t>(server_.options.maxHeaderBytes + 1));
        parser_->body_limit(0);
        headerBytes_ = 0;
        lineEnd_ = std::string_view::npos;
        stream_.expires_after(server_.options.idleTimeout);
        if (buffer_.size() > 0) {
            parse();  // a request that came in behind the previous one
        } else {
            readMore();
        }
    }

    void readMore() {
        stream_.async_read_some(buffer_.prepare(8192),
                                beast::bind_front_handler(&Session::onRead, shared_from_this()));
    }

    void onRead(beast::error_code ec, std::size_t n) {
        if (ec) {
            // End of stream, reset or timeout: nothing to answer, or nobody to answer to.
            close();
            return;
        }
        buffer_.commit(n);
        parse();
    }

    // A balancer in TCP mode names the client in a PROXY protocol (version 1) line before the
    // request: "PROXY TCP4 198.51.100.7 203.0.113.1 51234 8080\r\n". Only connections from the
    // configured balancers may send one, and theirs must.
    bool takeProxyLine() {
        std::string_view seen(static_cast<const char*>(buffer_.data().data()), buffer_.size());
        std::size_t end = seen.find("\r\n");
        constexpr std::size_t kMaxLine = 107;
        if (end == std::string_view::npos) {
            if (seen.size() < kMaxLine) {
                readMore();
                return false;
            }
            respond(errorReply(400, "Bad Request"), false);
            return false;
        }
        std::string_view line = seen.substr(0, end);
        std::vector<std::string_view> words;
        while (!line.empty()) {
            std::size_t space = line.find(' ');
            words.push_back(line.substr(0, space));
            line = space == std::string_view::npos ? std::string_view{} : line.substr(space + 1);
        }
        beast::error_code ec;
        bool ok =
            words.size() == 6 && words[0] == "PROXY" && (words[1] == "TCP4" || words[1] == "TCP6");
        if (ok) {
            auto address = asio::ip::make_address(std::string(words[2]), ec);
            ok = !ec;
            if (ok) {
                if (address.is_v6() && address.to_v6().is_v4_mapped()) {
                    address = asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6());
                }
                peer_ = address.to_string();
            }
        }
        if (!ok) {
            respond(errorReply(400, "Bad Request"), false);
            return false;
        }
        buffer_.consume(end + 2);
        awaitingProxyLine_ = false;
        return true;
    }

    void parse() {
        if (awaitingProxyLine_ && !takeProxyLine()) return;
        if (buffer_.size() == 0) {
            readMore();
            return;
        }
        if (lineEnd_ == std::string_view::npos) {
            std::string_view seen(static_cast<const char*>(buffer_.data().data()), buffer_.size());
            std::size_t at = seen.find('\n');
            if (at != std::string_view::npos) lineEnd_ = headerBytes_ + at;
        }
        beast::error_code ec;
        while (buffer_.size() > 0 && !parser_->is_done()) {
            std::size_t used = parser_->put(buffer_.data(), ec);
            buffer_.consume(used);
            headerBytes_ += used;
            if (ec) break;
            if (used == 0) break;
        }
        if (ec == http::error::need_more) ec = {};
        const std::size_t limit = server_.options.maxHeaderBytes;
        bool tooLong = headerBytes_ > limit ||
                       (!parser_->is_header_done() && headerBytes_ + buffer_.size() > limit);
        if (tooLong || ec == http::error::header_limit) {
            // A request line that alone fills the limit is a too-long URL.
            bool lineTooLong = lineEnd_ == std::string_view::npos || lineEnd_ >= limit;
            respond(lineTooLong ? errorReply(414, "URI Too Long")
                                : errorReply(431, "Request Header Fields Too Large"),
                    false);
            return;
        }
        if (ec == http::error::body_limit || ec == http::error::unexpected_body) {
            respond(errorReply(413, "Payload Too Large"), false);
            return;
        }
        if (ec) {
            respond(errorReply(400, "Bad Request"), false);
            return;
        }
        if (!parser_->is_done()) {
            readMore();
            return;
        }
        handleRequest();
    }

    void handleRequest() {
        const auto& req = parser_->get();
        bool keepAlive = req.keep_alive();
        if (req.method() != http::verb::get) {
            respond(errorReply(405, "Method Not Allowed"), false);
            return;
        }
        std::string_view target(req.target().data(), req.target().size());
        if (target.size() > server_.options.maxTargetBytes) {
            respond(errorReply(414, "URI Too Long"), false);
            return;
        }
        Target t = splitTarget(target);
        std::string_view path = target.substr(0, target.find('?'));
        if (path == "/health") {
            respond(Reply{200, "OK", "OK"}, keepAlive);
            return;
        }
        if (path == "/ready") {
            bool ready = !server_.stopped && server_.service.ready();
            respond(ready ? Reply{200, "OK", "Ready"} : errorReply(503, "Service Unavailable"),
                    keepAlive);
            return;
        }
        if (!DirectoryService::isKnownPage(t.page)) {
            respond(errorReply(404, "Not Found"), keepAlive);
            return;
        }
        auto params = parseQuery(t.query);
        if (!params) {
            respond(errorReply(400, "Bad Request"), false);
            return;
        }
        if (!DirectoryService::checksPassword(t.page)) {
            respond(server_.service.handle(t.page, *params, peer_), keepAlive);
            return;
        }
        // Password hashes are slow by design: keep them off the network threads, and refuse at
        // once what would only wait.
        stream_.expires_never();
        bool queued =
            server_.checks.submit(peer_, [self = shared_from_this(), page = std::move(t.page),
                                          params = std::move(*params), keepAlive]() mutable {
                ReachCheck reach;
                Reply reply = self->server_.service.handle(page, params, self->peer_, &reach);
                asio::post(
                    self->stream_.get_executor(), [self, reply = std::move(reply),
                                                   reach = std::move(reach), keepAlive]() mutable {
                        if (reach.wanted && self->server_.options.reachProbeTimeout.count() > 0) {
                            self->checkReach(std::move(reach), std::move(reply), keepAlive);
                        } else {
                            self->respond(reply, keepAlive);
                        }
                    });
            });
        if (!queued) respond(errorReply(503, "Service Unavailable"), false);
    }

    // Tries to connect to the listener a login announced and answers the login afterwards, so
    // that the client's next request already sees whether it is to be reached through a relay.
    // Asynchronous: no thread waits for the connect.
    void checkReach(ReachCheck reach, Reply reply, bool keepAlive) {
        std::string_view text = reach.address;
        std::size_t colon = text.rfind(':');
        beast::error_code ec;
        asio::ip::address host;
        unsigned port = 0;
        if (colon != std::string_view::npos) {
            host = asio::ip::make_address(std::string(text.substr(0, colon)), ec);
            auto digits = text.substr(colon + 1);
            auto [end, err] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
            if (err != std::errc{} || end != digits.data() + digits.size()) port = 0;
        }
        if (colon == std::string_view::npos || ec || port == 0 || port > 65535) {
            // A host name (the fixed-address setting may hold one) is not looked up here:
            // such a login is taken as reachable, as before.
            respond(reply, keepAlive);
            return;
        }
        auto socket = std::make_shared<tcp::socket>(stream_.get_executor());
        auto timer = std::make_shared<asio::steady_timer>(stream_.get_executor());
        timer->expires_after(server_.options.reachProbeTimeout);
        timer->async_wait([socket](beast::error_code e) {
            if (!e) {
                beast::error_code ignored;
                socket->close(ignored);  // the connect ends with operation_aborted
            }
        });
        socket->async_connect(tcp::endpoint(host, static_cast<unsigned short>(port)),
                              [self = shared_from_this(), socket, timer, reach = std::move(reach),
                               reply = std::move(reply), keepAlive](beast::error_code e) {
                                  timer->cancel();
                                  beast::error_code ignored;
                                  socket->close(ignored);
                                  if (e) self->server_.service.markUnreachable(reach);
                                  self->respond(reply, keepAlive);
                              });
    }

    void respond(const Reply& reply, bool keepAlive) {
        out_ = renderResponse(reply, keepAlive);
        keepAlive_ = keepAlive;
        written_ = 0;
        writeCalls_ = 0;
        writeMore();
    }

    // The whole answer is one buffer handed to one write; only a full socket buffer, which a
    // short answer never meets, makes a second write necessary.
    void writeMore() {
        ++writeCalls_;
        stream_.expires_after(server_.options.idleTimeout);
        stream_.async_write_some(asio::buffer(out_.data() + written_, out_.size() - written_),
                                 beast::bind_front_handler(&Session::onWrite, shared_from_this()));
    }

    void onWrite(beast::error_code ec, std::size_t n) {
        if (ec) {
            close();
            return;
        }
        written_ += n;
        if (written_ < out_.size()) {
            writeMore();
            return;
        }
        if (server_.options.onReplyWritten)
            server_.options.onReplyWritten(out_.size(), writeCalls_);
        if (keepAlive_ && !server_.stopped) {
            readRequest();
            return;
        }
        finish();
    }

    // Sends FIN first; when the peer has sent more than we read, drains it briefly so that
    // closing does not reset the connection before the answer is read.
    void finish() {
        beast::error_code ec;
        stream_.socket().shutdown(tcp::socket::shutdown_send, ec);
        std::size_t pending = stream_.socket().available(ec);
        if (ec || (pending == 0 && buffer_.size() == 0)) {
            close();
            return;
        }
        buffer_.consume(buffer_.size());
        drain();
    }

    void drain() {
        stream_.expires_after(std::chrono::seconds(2));
        stream_.async_read_some(asio::buffer(drainBuffer_),
                                [self = shared_from_this()](beast::error_code ec, std::size_t) {
                                    if (ec || ++self->drainReads_ > 64) {
                                        self->close();
                                        return;
                                    }
                                    self->drain();
                                });
    }

    void close() {
        beast::error_code ec;
        stream_.socket().close(ec);
    }

    beast::tcp_stream stream_;
    HttpServer::Impl& server_;
    beast::flat_buffer buffer_;  // bounded by the parser's header limit
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::string out_;
    std::size_t written_ = 0;
    int writeCalls_ = 0;
    bool keepAlive_ = false;
    std::size_t headerBytes_ = 0;
    std::size_t lineEnd_ = std::string_view::npos;  // offset of the request line's end
    int drainReads_ = 0;
    std::string peer_;  // the connection's network address, e.g. "127.0.0.2"
    bool awaitingProxyLine_ = false;
    std::array<char, 4096> drainBuffer_{};
};

}  // namespace

void HttpServer::Impl::accept() {
    acceptor.async_accept(asio::make_strand(io), [this](beast::error_code ec, tcp::socket socket) {
        if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
        if (!ec) {
            beast::error_code ignored;
            // The answer is one write; it should leave at once.
            socket.set_option(tcp::no_delay(true), ignored);
            std::make_shared<Session>(std::move(socket), *this)->start();
        }
        accept();
    });
}

HttpServer::HttpServer(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}

HttpServer::~HttpServer() {
    stop();
}

int HttpServer::storeConnectionsNeeded(const HttpServerOptions& options) {
    return defaultThreads(options.networkThreads) + defaultThreads(options.workerThreads);
}

std::unique_ptr<HttpServer> HttpServer::start(DirectoryService& service, HttpServerOptions options,
                                              std::string* error) {
    auto impl = std::make_unique<Impl>(service, std::move(options));
    beast::error_code ec;
    auto address = asio::ip::make_address(impl->options.address, ec);
    if (ec) {
        if (error) *error = "bad listen address " + impl->options.address;
        return nullptr;
    }
    tcp::endpoint endpoint(address, impl->options.port);
    impl->acceptor.open(endpoint.protocol(), ec);
    if (!ec) impl->acceptor.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) impl->acceptor.bind(endpoint, ec);
    if (!ec) impl->acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        if (error)
            *error = "cannot listen on " + impl->options.address + ":" +
                     std::to_string(impl->options.port) + ": " + ec.message();
        return nullptr;
    }
    impl->port = impl->acceptor.local_endpoint(ec).port();
    impl->guard.emplace(impl->io.get_executor());
    impl->accept();
    int n = defaultThreads(impl->options.networkThreads);
    for (int i = 0; i < n; ++i) {
        impl->threads.emplace_back([io = &impl->io] { io->run(); });
    }
    return std::unique_ptr<HttpServer>(new HttpServer(std::move(impl)));
}

uint16_t HttpServer::port() const {
    return impl_->port;
}

void HttpServer::stop() {
    if (!impl_ || impl_->stopped.exchange(true)) return;
    asio::post(impl_->io, [impl = impl_.get()] {
        beast::error_code ec;
        impl->acceptor.close(ec);
    });
    impl_->guard.reset();
    impl_->io.stop();
    for (auto& t : impl_->threads)
        t.join();
    impl_->threads.clear();
    impl_->checks.stop();
}

}  // namespace orv::server
