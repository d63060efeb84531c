#include "engine/file_server.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "engine/listener.h"

namespace orv {

namespace {

// Only players on this machine are served.
constexpr const char* kLoopback = "127.0.0.1";
constexpr uint32_t kLoopbackAddress = 0x7F000001u;

constexpr std::string_view kWholeTemplate =
    "HTTP/1.1 200 OK\r\nServer: Microsoft-IIS/5.0\r\nContent-Type: "
    "application/octet-stream\r\nAccept-Ranges: bytes\r\nContent-Length: \r\n\r\n";
constexpr std::string_view kRangeTemplate =
    "HTTP/1.1 206 Partial Content\r\nServer: Apache/1.3.26 (Unix) PHP/4.1.2 mod_ssl/2.8.10 "
    "OpenSSL/0.9.6e\r\nAccept-Ranges: bytes\r\nContent-Length: \r\nContent-Range: bytes "
    "\r\n\r\n";

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

size_t findIgnoreCase(std::string_view text, std::string_view what) {
    if (what.size() > text.size()) return std::string_view::npos;
    for (size_t i = 0; i + what.size() <= text.size(); ++i)
        if (equalsIgnoreCase(text.substr(i, what.size()), what)) return i;
    return std::string_view::npos;
}

// A decimal number as "%d" reads it: blanks, a sign, digits. Nothing when there are no digits.
std::optional<int64_t> leadingNumber(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t'))
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '-' || s[i] == '+')) negative = s[i++] == '-';
    size_t digits = i;
    int64_t v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i)
        v = std::min<int64_t>(v * 10 + (s[i] - '0'), INT64_C(1) << 62);
    if (i == digits) return std::nullopt;
    return negative ? -v : v;
}

std::string insertAt(std::string_view text, std::string_view after, std::string_view what) {
    size_t at = text.find(after);
    std::string out(text);
    if (at != std::string_view::npos) out.insert(at + after.size(), what);
    return out;
}

}  // namespace

// ---------------------------------------------------------------- requests and answers

std::string percentDecode(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && hexValue(s[i + 1]) >= 0 && hexValue(s[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hexValue(s[i + 1]) * 16 + hexValue(s[i + 2])));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

std::string percentEncodePath(std::string_view path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (char ch : path) {
        auto c = static_cast<unsigned char>(ch);
        bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                     c == '-' || c == '.' || c == '_' || c == '~' || c == '/';
        if (plain) {
            out.push_back(ch);
        } else {
            out.push_back('%');
            out.push_back(hex[c >> 4]);
            out.push_back(hex[c & 15]);
        }
    }
    return out;
}

HttpRequest parseHttpRequest(std::string_view text) {
    HttpRequest r;
    size_t lineEnd = text.find('\r');
    if (lineEnd == std::string_view::npos) return r;
    std::string_view line = text.substr(0, lineEnd);
    // Only GET is answered. (Looking for "POST" anywhere in the request would refuse a
    // file whose name holds those letters.)
    if (line.substr(0, 4) != "GET ") return r;
    size_t from = line.find(" /");
    // The line ends in a version of nine characters: " HTTP/1.1".
    if (from == std::string_view::npos || line.size() < 9 || line[line.size() - 9] != ' ') return r;
    ++from;
    size_t to = line.size() - 9;
    if (to < from) return r;
    r.target = percentDecode(line.substr(from, to - from));
    r.get = true;
    size_t h = findIgnoreCase(text, "\r\nRange:");
    if (h != std::string_view::npos) {
        std::string_view rest = text.substr(h + 8);
        rest = rest.substr(0, rest.find('\r'));
        size_t eq = rest.find('=');
        if (eq != std::string_view::npos && eq + 1 < rest.size())
            r.rangeStart = leadingNumber(rest.substr(eq + 1)).value_or(0);
    }
    return r;
}

std::string wholeContentHeader(int64_t length) {
    char n[32];
    std::snprintf(n, sizeof n, " %" PRId64, length);
    // The number goes before the line's end, after the blank the template already has.
    return insertAt(kWholeTemplate, "Content-Length: ", n);
}

std::string rangeHeader(int64_t start, int64_t length) {
    char n[32], range[80];
    std::snprintf(n, sizeof n, "%10" PRId64, length - start);
    std::snprintf(range, sizeof range, "%" PRId64 "-%" PRId64 "/%" PRId64, start, length - 1,
                  length);
    return insertAt(insertAt(kRangeTemplate, "Content-Length: ", n), "Content-Range: bytes ",
                    range);
}

// ---------------------------------------------------------------- the server

FileServer::FileServer(CoreTables& tables, const Clock& clock, SocketApi& sockets, int firstPort)
    : tables_(tables),
      clock_(clock),
      sockets_(sockets),
      port_(firstPort > 0 && firstPort <= 65535 ? firstPort : kDefaultHttpPort),
      nextPort_(port_) {}

FileServer::~FileServer() {
    close();
}

void FileServer::close() {
    for (size_t i = slots_.size(); i-- > 0;)
        closeSlot(i);
    if (listener_ != kInvalidSocket) sockets_.Close(listener_);
    listener_ = kInvalidSocket;
    closed_ = true;
}

void FileServer::keepListenerOpen() {
    if (listener_ != kInvalidSocket || closed_) return;
    int64_t nowMs = clock_.nowMillis();
    if (listenRetryAtMs_ >= 0 && nowMs < listenRetryAtMs_) return;
    listenRetryAtMs_ = -1;
    // Port after port without waiting in between: a pause per failed port would hold the
    // whole program for as long.
    for (int i = 0; i < kHttpPortTries; ++i) {
        int p = nextPort_;
        nextPort_ = p >= 65535 ? 1024 : p + 1;
        listener_ = sockets_.OpenListener(std::string(kLoopback), p);
        if (listener_ != kInvalidSocket) {
            port_ = p;
            return;
        }
    }
    listenRetryAtMs_ = nowMs + kListenRetryMs;
}

bool FileServer::acceptAllowed(int32_t t) const {
    return t == lastAccept_ || t - lastAccept_ > kHttpAcceptPauseSeconds;
}

bool FileServer::acceptStep(int32_t t) {
    bool work = false;
    while (listener_ != kInvalidSocket && slots_.size() < static_cast<size_t>(kHttpSlots) &&
           acceptAllowed(t)) {
        Socket s = kInvalidSocket;
        PeerAddress from;
        if (!sockets_.AcceptConnection(listener_, s, from) || s == kInvalidSocket) break;
        work = true;
        // The listener is bound to 127.0.0.1; other loopback addresses still could connect.
        if (from.ipv4 != kLoopbackAddress) {
            sockets_.Close(s);
            continue;
        }
        Slot slot;
        slot.socket = s;
        slot.client = from;
        slot.lastActivity = t;
        slots_.push_back(std::move(slot));
        lastAccept_ = t;
    }
    return work;
}

int FileServer::findPreviewTransfer(std::string_view target) const {
    // Remote paths and targets are UTF-8 alike, so one comparison ignoring case finds the
    // preview; there is no second code page to try.
    int found = -1;
    for (int i = 0; i < tables_.transfers.count(); ++i)
        if (tables_.transfers[i].kind == TransferKind::Preview &&
            equalsIgnoreCase(tables_.transferRemotePaths.view(i), target))
            found = i;
    return found;
}

void FileServer::answer(Slot& s, const HttpRequest& r) {
    s.handled = true;
    if (!r.get) return;
    int t = findPreviewTransfer(r.target);
    if (t < 0) return;
    std::string remote = tables_.transferRemotePaths.str(t);
    int32_t p = -1;
    for (int i = 0; i < tables_.previewSet.count(); ++i)
        if (equalsIgnoreCase(tables_.previewSet.view(i), remote)) p = i;
    if (p < 0) return;
    auto length = static_cast<int64_t>(tables_.transfers[t].total);
    if (length < 0) return;
    int64_t start = r.rangeStart;
    // A range outside the content is served from its start. (The window and the download
    // start there too: starting them at the asked offset would never feed this answer.)
    if (start < 0 || start >= length) start = 0;

    if (window_.bytes.empty()) window_.bytes.resize(kPreviewWindowBytes);
    int32_t previous = window_.preview;
    window_.preview = p;
    window_.start = start;
    window_.length = 0;
    if (previous >= 0 && previous != p && previous < tables_.previewSet.count() && pauseTransfer)
        pauseTransfer(tables_.previewSet.str(previous));
    if (startTransfer) startTransfer(remote, start);

    s.preview = p;
    s.contentEnd = length;
    s.position = start;
    std::string head = start == 0 ? wholeContentHeader(length) : rangeHeader(start, length);
    s.buffered = std::min(head.size(), s.buffer.size());
    std::memcpy(s.buffer.data(), head.data(), s.buffered);
}

bool FileServer::readRequest(Slot& s, bool& work) {
    char buf[kHttpSlotBuffer];
    while (!s.handled) {
        size_t room = kHttpRequestLimit - s.request.size();
        long n = sockets_.Recv(s.socket, buf, std::min(room, sizeof buf));
        if (n == kIoWouldBlock) return true;
        if (n <= 0) return false;  // gone before it asked for anything
        work = true;
        s.request.append(buf, static_cast<size_t>(n));
        // A request may come in pieces: it is read once its header block has ended.
        size_t end = s.request.find("\r\n\r\n");
        if (end != std::string::npos) {
            answer(s, parseHttpRequest(std::string_view(s.request).substr(0, end + 4)));
            s.request.clear();
            s.request.shrink_to_fit();
        } else if (s.request.size() >= kHttpRequestLimit) {
            s.handled = true;  // too long to be a player's request: no answer
            s.request.clear();
            s.request.shrink_to_fit();
        }
    }
    return true;
}

size_t FileServer::copyFromWindow(Slot& s, uint8_t* to, size_t room) {
    PreviewWindow& w = window_;
    int64_t x = s.position;
    if (s.preview < 0 || s.preview != w.preview || w.bytes.empty() || x < w.start || x >= w.end())
        return 0;
    int64_t n = std::min<int64_t>({static_cast<int64_t>(room), w.end() - x, s.contentEnd - x});
    if (n <= 0) return 0;
    std::memcpy(to, w.bytes.data() + (x - w.start), static_cast<size_t>(n));
    if (x - w.start > kPreviewSlideBytes) {
        // The reader is well into the window: its first half makes room for what follows.
        std::memmove(w.bytes.data(), w.bytes.data() + kPreviewSlideBytes,
                     static_cast<size_t>(w.length - kPreviewSlideBytes));
        w.start += kPreviewSlideBytes;
        w.length -= kPreviewSlideBytes;
    }
    return static_cast<size_t>(n);
}

bool FileServer::serve(Slot& s, int32_t t, bool& work) {
    if (!s.handled) {
        if (!readRequest(s, work)) return false;
    } else if (!s.peerEnded) {
        // Whatever else the client sends is not read as a request; its end is noticed.
        char scratch[kHttpSlotBuffer];
        long n = sockets_.Recv(s.socket, scratch, sizeof scratch);
        if (n == kIoError) return false;
        if (n == kIoClosed) s.peerEnded = true;
        if (n != kIoWouldBlock) work = true;
        // A client that asked for nothing we have and is done sending needs no slot.
        if (s.peerEnded && s.preview < 0 && s.buffered == 0) return false;
    }
    if (s.preview >= 0 || s.buffered > 0) {
        if (s.buffered > 0) {
            long n = sockets_.Send(s.socket, s.buffer.data(), s.buffered);
            if (n == kIoError) return false;
            if (n > 0) {
                auto sent = static_cast<size_t>(n);
                std::memmove(s.buffer.data(), s.buffer.data() + sent, s.buffered - sent);
                s.buffered -= sent;
                work = true;
            }
        }
        if (s.buffered < s.buffer.size() && s.position < s.contentEnd) {
            size_t got =
                copyFromWindow(s, s.buffer.data() + s.buffered, s.buffer.size() - s.buffered);
            if (got > 0) {
                s.lastActivity = t;
                s.position += static_cast<int64_t>(got);
                s.buffered += got;
                work = true;
            }
        }
        if (s.buffered == 0 && s.position >= s.contentEnd) return false;  // all sent
    }
    // A clock set back must not keep a slot forever.
    if (t < s.lastActivity) s.lastActivity = t;
    return t - s.lastActivity < kHttpIdleSeconds;
}

void FileServer::closeSlot(size_t i) {
    sockets_.Close(slots_[i].socket);
    // The last slot in use takes the freed place.
    if (i + 1 != slots_.size()) slots_[i] = std::move(slots_.back());
    slots_.pop_back();
}

bool FileServer::FileServerStep() {
    keepListenerOpen();
    int32_t t = now();
    bool work = acceptStep(t);
    for (size_t i = 0; i < slots_.size();) {
        if (serve(slots_[i], t, work)) {
            ++i;
            continue;
        }
        closeSlot(i);
        work = true;
    }
    return work;
}

PreviewTake FileServer::takePreviewData(int32_t preview, int64_t offset,
                                        std::span<const uint8_t> data) {
    PreviewWindow& w = window_;
    // Data of a preview or a stretch the window no longer streams would hold the link's
    // other messages back for good if it waited; it is dropped instead.
    if (w.bytes.empty() || preview != w.preview || offset != w.end()) return PreviewTake::Dropped;
    if (static_cast<size_t>(w.length) + data.size() > w.bytes.size()) return PreviewTake::NotNow;
    std::memcpy(w.bytes.data() + w.length, data.data(), data.size());
    w.length += static_cast<int64_t>(data.size());
    return PreviewTake::Taken;
}

void FileServer::addWaits(WaitSet& out) {
    if (closed_) return;
    int64_t nowMs = clock_.nowMillis();
    if (listener_ == kInvalidSocket) {
        out.dueAt(listenRetryAtMs_ >= 0 ? listenRetryAtMs_ : nowMs);
    } else if (slots_.size() < static_cast<size_t>(kHttpSlots)) {
        // While accepts pause, connections wait in the backlog; the listener is not watched
        // (it would be ready all the while) until the pause is over.
        int32_t t = now();
        if (acceptAllowed(t))
            out.want(listener_, kWaitRead);
        else
            out.dueAt(msAtSecond(clock_, int64_t{lastAccept_} + kHttpAcceptPauseSeconds + 1));
    }
    for (const Slot& s : slots_) {
        short ev = 0;
        if (!s.peerEnded) ev |= kWaitRead;
        if (s.buffered > 0) ev |= kWaitWrite;
        out.want(s.socket, ev);
        out.dueAt(msAtSecond(clock_, int64_t{s.lastActivity} + kHttpIdleSeconds));
    }
}

// ---------------------------------------------------------------- hooks

void connectFileServerHooks(Engine& engine, MailReception& reception, FileServer& server) {
    EngineHooks& h = engine.hooks();
    h.fileServerStep = [&server] { return server.FileServerStep(); };
    auto previous = std::move(h.addWaits);
    h.addWaits = [previous, &server](WaitSet& w) {
        if (previous) previous(w);
        server.addWaits(w);
    };
    reception.previewChunk = [&server](int32_t preview, int64_t offset,
                                       std::span<const uint8_t> data) {
        return server.takePreviewData(preview, offset, data);
    };
}

}  // namespace orv
