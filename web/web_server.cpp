#include "web/web_server.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <exception>
#include <optional>
#include <set>
#include <thread>
#include <utility>

#include "console/interrupt.h"
#include "web/web_guard.h"

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

namespace {

std::chrono::milliseconds after(double seconds) {
    return std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
}

// The address as a Host header writes it; an IPv4 address reached through
// an IPv6 socket as the IPv4 one.
std::string address_text(const asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return asio::ip::make_address_v4(asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

class Connection;

}  // namespace

struct WebServer::Impl {
    Impl(WebSite& served, const WebLimits& limits_given) : site(served), limits(limits_given), acceptor(io) {}

    void accept();
    void wake_streams();
    void close_all();

    WebSite& site;
    const WebLimits limits;
    asio::io_context io;  // first in, last out: the connections below hold its sockets
    tcp::acceptor acceptor;
    std::vector<std::string> names;
    unsigned port = 0;
    std::set<std::shared_ptr<Connection>> clients;  // those counted against the limit
    std::set<std::shared_ptr<Connection>> streams;  // of those, the event streams
    std::thread thread;
};

namespace {

class Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(tcp::socket socket, WebServer::Impl& server, bool over_limit)
        : stream_(std::move(socket)), server_(server), keep_alive_(server.io), over_limit_(over_limit) {}

    void start() { read_request(); }
    // New events, or (`comment`) the stream's keep-alive: written unless a write is under way.
    void flush(bool comment);
    void close();

private:
    void read_request();
    void on_read(beast::error_code error);
    void handle(const http::request<http::string_body>& request);
    void send(const HttpAnswer& answer, bool keep_open);
    void begin_stream(std::uint64_t after_id);
    void ping();
    void finish();

    beast::tcp_stream stream_;
    WebServer::Impl& server_;
    beast::flat_buffer buffer_;
    std::optional<http::request_parser<http::string_body>> parser_;
    http::response<http::string_body> response_;
    asio::steady_timer keep_alive_;
    std::string pending_;  // a stream's text still to write
    std::string writing_text_;
    bool over_limit_;
    bool streaming_ = false;
    bool writing_ = false;
    bool done_ = false;
    std::uint64_t last_id_ = 0;
};

void Connection::read_request() {
    parser_.emplace();
    parser_->header_limit(static_cast<std::uint32_t>(server_.limits.head_bytes));
    parser_->body_limit(server_.limits.body_bytes);
    stream_.expires_after(after(server_.limits.head_s));
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code error, std::size_t) { self->on_read(error); });
}

void Connection::on_read(beast::error_code error) {
    if (done_) return;
    if (error == http::error::header_limit) return send(error_answer(431, "the request's head is over 8 KiB"), false);
    if (error == http::error::body_limit) return send(error_answer(413, "the request's body is over 64 KiB"), false);
    if (error == beast::error::timeout || error == http::error::end_of_stream || error == asio::error::eof ||
        error == asio::error::connection_reset || error == asio::error::operation_aborted) {
        return finish();  // slow, gone, or closed by stop()
    }
    if (error) return send(error_answer(400, "not an HTTP request this server reads"), false);
    if (over_limit_) return send(error_answer(503, "too many clients; try again shortly"), false);
    handle(parser_->get());
}

void Connection::handle(const http::request<http::string_body>& request) {
    const auto host = request[http::field::host];
    if (host.empty()) return send(error_answer(400, "a request needs its Host header"), false);
    std::vector<std::string> names = server_.names;
    beast::error_code ignored;
    names.push_back(address_text(stream_.socket().local_endpoint(ignored).address()));
    if (!host_allowed(std::string(host), names, server_.port)) {
        return send(error_answer(421, "this server does not answer for " + std::string(host)), false);
    }
    HttpRequest asked;
    asked.method = std::string(request.method_string());
    asked.target = std::string(request.target());
    const std::size_t question = asked.target.find('?');
    asked.path = asked.target.substr(0, question);
    if (question != std::string::npos) asked.query = asked.target.substr(question + 1);
    asked.authorization = std::string(request[http::field::authorization]);
    asked.content_type = std::string(request[http::field::content_type]);
    const auto id = request.find("Last-Event-ID");
    asked.has_last_event_id = id != request.end();
    if (asked.has_last_event_id) asked.last_event_id = std::string(id->value());
    asked.body = request.body();
    HttpAnswer answer;
    try {
        answer = server_.site.answer(asked);
    } catch (const std::exception&) {
        answer = error_answer(500, "the request could not be answered");
    }
    if (answer.stream) return begin_stream(answer.stream_after);
    send(answer, request.keep_alive());
}

void Connection::send(const HttpAnswer& answer, bool keep_open) {
    response_ = {};
    response_.version(11);
    response_.result(static_cast<unsigned>(answer.status));
    response_.set(http::field::content_type, answer.content_type);
    response_.set(http::field::cache_control, "no-store");
    response_.set("X-Content-Type-Options", "nosniff");
    for (const auto& [name, value] : answer.headers) response_.set(name, value);
    response_.body() = answer.body;
    response_.keep_alive(keep_open);
    response_.prepare_payload();
    stream_.expires_after(after(server_.limits.keep_alive_s * 2));
    http::async_write(stream_, response_, [self = shared_from_this(), keep_open](beast::error_code error, std::size_t) {
        if (error || !keep_open || self->done_) return self->finish();
        self->read_request();
    });
}

void Connection::begin_stream(std::uint64_t after_id) {
    streaming_ = true;
    last_id_ = after_id;
    server_.streams.insert(shared_from_this());
    pending_ = "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nCache-Control: no-store\r\n"
               "X-Content-Type-Options: nosniff\r\nConnection: keep-alive\r\n\r\nretry: 2000\n\n";
    flush(false);
    ping();
}

void Connection::flush(bool comment) {
    if (!streaming_ || done_) return;
    for (const StreamEvent& event : server_.site.events_after(last_id_)) {
        pending_ += "id: " + std::to_string(event.id) + "\ndata: " + event.data + "\n\n";
        last_id_ = event.id;
    }
    if (comment) pending_ += ": keep-alive\n\n";
    if (writing_ || pending_.empty()) return;
    writing_ = true;
    writing_text_.swap(pending_);
    pending_.clear();
    // A client that stops reading is closed once a write has waited this long.
    stream_.expires_after(after(server_.limits.keep_alive_s * 2));
    asio::async_write(stream_, asio::buffer(writing_text_), [self = shared_from_this()](beast::error_code error, std::size_t) {
        self->writing_ = false;
        self->writing_text_.clear();
        if (error) return self->finish();  // the client has gone: its place is free
        self->flush(false);
    });
}

void Connection::ping() {
    keep_alive_.expires_after(after(server_.limits.keep_alive_s));
    keep_alive_.async_wait([self = shared_from_this()](beast::error_code error) {
        if (error || self->done_) return;
        self->flush(true);
        self->ping();
    });
}

void Connection::close() {
    beast::error_code ignored;
    keep_alive_.cancel();
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.socket().close(ignored);
}

void Connection::finish() {
    if (done_) return;
    done_ = true;
    const std::shared_ptr<Connection> self = shared_from_this();
    close();
    server_.clients.erase(self);
    server_.streams.erase(self);
}

}  // namespace

void WebServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code error, tcp::socket socket) {
        if (!acceptor.is_open()) return;
        if (!error) {
            const bool over = clients.size() >= limits.clients;
            auto connection = std::make_shared<Connection>(std::move(socket), *this, over);
            if (!over) clients.insert(connection);
            connection->start();
        }
        accept();
    });
}

void WebServer::Impl::wake_streams() {
    const std::vector<std::shared_ptr<Connection>> each(streams.begin(), streams.end());
    for (const auto& stream : each) stream->flush(false);
}

void WebServer::Impl::close_all() {
    beast::error_code ignored;
    acceptor.close(ignored);
    const std::vector<std::shared_ptr<Connection>> each(clients.begin(), clients.end());
    for (const auto& client : each) client->close();
}

WebServer::WebServer(WebSite& site, const WebLimits& limits) : impl_(std::make_unique<Impl>(site, limits)) {}

WebServer::~WebServer() {
    try {
        stop();
    } catch (const std::exception&) {
        // A thread that cannot be joined at the end of the program: nothing left to do.
    }
}

bool WebServer::listen(const std::string& address, unsigned port, const std::vector<std::string>& names,
                       std::string& error) {
    beast::error_code failed;
    const asio::ip::address ip = asio::ip::make_address(address, failed);
    if (failed) {
        error = "\"" + address + "\" is no IP address";
        return false;
    }
    const tcp::endpoint endpoint(ip, static_cast<unsigned short>(port));
    const std::string where = (ip.is_v6() ? "[" + address + "]" : address) + ":" + std::to_string(port);
    impl_->acceptor.open(endpoint.protocol(), failed);
    // A port another program listens on stays refused: on Windows the same
    // option would let this server share it, so it is set on POSIX only.
    if (!failed && !STBLOAD_WINDOWS_SOCKETS) impl_->acceptor.set_option(tcp::acceptor::reuse_address(true), failed);
    if (!failed) impl_->acceptor.bind(endpoint, failed);
    if (!failed) impl_->acceptor.listen(asio::socket_base::max_listen_connections, failed);
    if (failed) {
        error = "cannot serve on " + where + ": " + failed.message();
        beast::error_code ignored;
        impl_->acceptor.close(ignored);
        return false;
    }
    impl_->port = impl_->acceptor.local_endpoint().port();
    impl_->names = names;
    impl_->names.push_back(address);
    impl_->names.push_back("localhost");
    return true;
}

unsigned WebServer::port() const { return impl_->port; }

void WebServer::start() {
    if (impl_->thread.joinable() || !impl_->acceptor.is_open()) return;
    impl_->accept();
    impl_->thread = std::thread([this] {
        keep_interrupts_off_this_thread();
        // A fault in one request's handler must not end the server for the others.
        for (;;) {
            try {
                impl_->io.run();
                return;
            } catch (const std::exception&) {
            }
        }
    });
}

void WebServer::wake() {
    asio::post(impl_->io, [this] { impl_->wake_streams(); });
}

void WebServer::stop() {
    if (!impl_->thread.joinable()) return;
    asio::post(impl_->io, [this] {
        impl_->close_all();
        impl_->io.stop();
    });
    impl_->thread.join();
}
