#pragma once
// The text of one HTTP answer. Clients judge the first segment they receive, so the status line,
// headers and body are always built as one contiguous buffer and sent with one write.
#include <string>
#include <string_view>

namespace orv::server {

struct Reply {
    int status = 200;
    std::string reason = "OK";  // clients look for words such as "New OK" on the status line
    std::string body;
};

// Status line, Content-Type, Content-Length, Connection, blank line, body.
std::string renderResponse(const Reply& reply, bool keepAlive);

// Bytes that renderResponse() adds around a body of `bodyBytes` bytes.
std::size_t responseOverhead(const Reply& reply, std::size_t bodyBytes, bool keepAlive);

Reply errorReply(int status, std::string_view reason);

}  // namespace orv::server
