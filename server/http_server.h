#pragma once
// The directory's HTTP/1.1 front: accepts connections on one address, reads GET requests with
// bounded request lines and headers, passes the page and its query to the DirectoryService and
// sends each answer with a single write. Beside the pages under /chat/ it answers /health (the
// process runs) and /ready (and its database answers) for load balancers. Runs its own threads
// until stop().
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "server/service.h"

namespace orv::server {

struct HttpServerOptions {
    std::string address = "127.0.0.1";
    uint16_t port = 0;       // 0 picks a free port
    int networkThreads = 0;  // 0: one per core
    int workerThreads = 0;   // password checks; 0: one per core
    // Password checks waiting or running, from one network address and from everyone; beyond
    // these a request is refused at once with 503.
    std::size_t checksPerAddress = 16;
    std::size_t checkQueue = 256;
    // Balancers in TCP mode that name each client with a PROXY protocol line; the address
    // named there is the request's address for the login binding and the check queue.
    std::vector<std::string> proxyProtocolFrom;
    std::size_t maxTargetBytes = 4096;
    std::size_t maxHeaderBytes = 16384;
    std::chrono::milliseconds idleTimeout{10000};
    // How long a login waits for its announced listener to accept a connection before the login
    // is marked to be reached through a relay; 0 checks nothing. Other requests go on meanwhile.
    std::chrono::milliseconds reachProbeTimeout{0};
    // Called after each answer went out, with its size and the number of write calls it took.
    std::function<void(std::size_t bytes, int writeCalls)> onReplyWritten;
};

class HttpServer {
  public:
    // Binds and starts serving; nullptr with *error set when the address cannot be used.
    static std::unique_ptr<HttpServer> start(DirectoryService& service, HttpServerOptions options,
                                             std::string* error);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    uint16_t port() const;
    // Stops accepting, ends open connections and joins the threads. Safe to call twice.
    void stop();

    // Store connections the server's threads may hold at once.
    static int storeConnectionsNeeded(const HttpServerOptions& options);

    struct Impl;

  private:
    explicit HttpServer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace orv::server
