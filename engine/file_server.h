#pragma once
// The local HTTP server for previews: a media player on this machine plays a file that is
// still being downloaded. Its GET requests are answered from the preview window, the bytes
// the reception keeps of the preview download as it arrives; a request with a byte range
// restarts that download at the range's start. The server listens on 127.0.0.1 only, serves
// at most kHttpSlots clients at once (the rest wait in the listener's backlog), and runs
// inside the engine's periodic step, reporting its waits beside it.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "engine/engine.h"
#include "engine/reception.h"
#include "engine/wait_set.h"
#include "net/socket_api.h"

namespace orv {

// Clients served at once.
inline constexpr int kHttpSlots = 10;
// Bytes a slot buffers: the response header, then content; at most this much goes out per
// slot and step.
inline constexpr size_t kHttpSlotBuffer = 2048;
// A request whose header block has not ended within this many bytes gets no answer.
inline constexpr size_t kHttpRequestLimit = 8192;
// A slot that read no content for this many seconds is closed; the player may ask again.
inline constexpr int32_t kHttpIdleSeconds = 11;
// After an accept, further connections are taken in the same second, then only once more
// than this many seconds have passed; meanwhile they wait in the backlog.
inline constexpr int32_t kHttpAcceptPauseSeconds = 3;
// Ports tried one after the other before the server waits kListenRetryMs.
inline constexpr int kHttpPortTries = 100;
// The preview window: its size, and how far it slides once the reader is that far into it.
inline constexpr size_t kPreviewWindowBytes = 0x40000;
inline constexpr int64_t kPreviewSlideBytes = 0x20000;

// The bytes of the preview being streamed, as the reception delivers them.
struct PreviewWindow {
    std::vector<uint8_t> bytes;  // kPreviewWindowBytes once a preview was asked for
    int32_t preview = -1;        // position in the preview set of the current preview
    int64_t start = 0;           // content offset of bytes[0]
    int64_t length = 0;          // valid bytes from bytes[0]
    int64_t end() const { return start + length; }
};

// A parsed request: the target (percent-decoded) and the range start (0 without a range).
struct HttpRequest {
    bool get = false;    // a GET with a target of the expected form
    std::string target;  // percent-decoded
    int64_t rangeStart = 0;
};
// Reads the header block of a request (everything up to the blank line).
HttpRequest parseHttpRequest(std::string_view text);
// "%" followed by two hexadecimal digits (either case) becomes that byte.
std::string percentDecode(std::string_view s);
// The path as a URL path: bytes outside the unreserved set and "/" become "%XX".
std::string percentEncodePath(std::string_view path);

// The response headers, byte for byte as players have always been given them.
std::string wholeContentHeader(int64_t length);
std::string rangeHeader(int64_t start, int64_t length);

class FileServer {
  public:
    FileServer(CoreTables& tables, const Clock& clock, SocketApi& sockets, int firstPort);
    ~FileServer();
    FileServer(const FileServer&) = delete;
    FileServer& operator=(const FileServer&) = delete;

    // Opens the listener when needed, accepts, and serves every slot once. True when
    // anything was accepted, received or sent.
    bool FileServerStep();
    void addWaits(WaitSet& out);
    // Opens the listener now when it is not open (the player's address needs the port).
    void keepListenerOpen();
    // Closes the listener and every client, for good.
    void close();

    // Preview data from the reception: taken when it is for the current preview, continues
    // the window exactly and fits; not now when the window is full; dropped when it belongs
    // to a preview or an offset the window no longer streams.
    PreviewTake takePreviewData(int32_t preview, int64_t offset, std::span<const uint8_t> data);

    // The port listened on (the first port to try while none is open).
    int port() const { return port_; }
    Socket listener() const { return listener_; }
    int clientCount() const { return static_cast<int>(slots_.size()); }
    const PreviewWindow& window() const { return window_; }

    // Restarts the preview download of remotePath at offset (the transfer list's start).
    std::function<void(std::string_view remotePath, int64_t offset)> startTransfer;
    // Another preview became current: the previous one's download is paused, so it does
    // not keep flowing into a window that no longer takes it.
    std::function<void(std::string_view remotePath)> pauseTransfer;

  private:
    struct Slot {
        Socket socket = kInvalidSocket;
        PeerAddress client;
        int64_t position = 0;     // next content byte to copy
        int64_t contentEnd = -1;  // content length, -1 when unknown
        int32_t lastActivity = 0;
        int32_t preview = -1;
        bool handled = false;    // a request was read
        bool peerEnded = false;  // the client sends no more
        std::string request;     // the request as it arrives
        std::array<uint8_t, kHttpSlotBuffer> buffer{};
        size_t buffered = 0;
    };
    int32_t now() const { return static_cast<int32_t>(clock_.nowSeconds()); }
    bool acceptAllowed(int32_t t) const;
    bool acceptStep(int32_t t);
    // Serves one slot; false when it is to be closed.
    bool serve(Slot& s, int32_t t, bool& work);
    bool readRequest(Slot& s, bool& work);
    void answer(Slot& s, const HttpRequest& r);
    // The kind-3 transfer whose remote path is the target (the last one), or -1.
    int findPreviewTransfer(std::string_view target) const;
    size_t copyFromWindow(Slot& s, uint8_t* to, size_t room);
    void closeSlot(size_t i);

    CoreTables& tables_;
    const Clock& clock_;
    SocketApi& sockets_;
    Socket listener_ = kInvalidSocket;
    int port_;
    int nextPort_;
    int64_t listenRetryAtMs_ = -1;
    bool closed_ = false;
    int32_t lastAccept_ = 0;
    std::vector<Slot> slots_;
    PreviewWindow window_;
};

// Runs the server from the engine's periodic step, adds its waits, and lets the reception
// put preview data into its window.
void connectFileServerHooks(Engine& engine, MailReception& reception, FileServer& server);

}  // namespace orv
