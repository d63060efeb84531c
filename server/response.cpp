#include "server/response.h"

namespace orv::server {

std::string renderResponse(const Reply& reply, bool keepAlive) {
    std::string out;
    out.reserve(128 + reply.reason.size() + reply.body.size());
    out += "HTTP/1.1 ";
    out += std::to_string(reply.status);
    out += ' ';
    out += reply.reason;
    // The bodies are GB18030 bytes as the clients sent them.
    out += "\r\nContent-Type: text/plain; charset=GB18030\r\nContent-Length: ";
    out += std::to_string(reply.body.size());
    out += keepAlive ? "\r\nConnection: keep-alive\r\n\r\n" : "\r\nConnection: close\r\n\r\n";
    out += reply.body;
    return out;
}

std::size_t responseOverhead(const Reply& reply, std::size_t bodyBytes, bool keepAlive) {
    Reply empty{reply.status, reply.reason, {}};
    std::size_t base = renderResponse(empty, keepAlive).size();
    return base - 1 + std::to_string(bodyBytes).size();
}

Reply errorReply(int status, std::string_view reason) {
    return Reply{status, std::string(reason), std::string(reason)};
}

}  // namespace orv::server
