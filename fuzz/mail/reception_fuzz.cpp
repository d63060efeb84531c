// Peer messages into the real reception and delivery: a valid mail with two files arrives
// first, then the input's messages (items, chunks, replies), framed and delivered over the
// scripted socket fake. The files land in a scratch receive folder, emptied after every run;
// nothing may crash, read or write out of bounds, or write outside that folder.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/delivery.h"
#include "engine/engine.h"
#include "engine/item_message.h"
#include "engine/reception.h"
#include "engine/wire.h"
#include "net/fake_socket_api.h"

namespace {

constexpr uint64_t kKey = 0x1122334455667788ull;
constexpr int32_t kCreated = 1'700'000'000;

// Made once per fuzzing process and removed at its exit (the name outlives static destructors).
const std::string& scratch() {
    static const std::string* dir = [] {
        char tmpl[] = "/tmp/orv-fuzz-reception-XXXXXX";
        const char* d = mkdtemp(tmpl);
        auto* name = new std::string(d ? d : "/tmp/orv-fuzz-reception");
        std::atexit([] {
            std::error_code ec;
            std::filesystem::remove_all(scratch(), ec);
        });
        return name;
    }();
    return *dir;
}

std::vector<uint8_t> firstMail(orv::WireCodec& codec) {
    orv::ItemMessage item;
    item.record.recipientCount = 1;
    item.record.created = kCreated;
    item.record.key = kKey;
    item.record.size = 5000;
    item.subject = "subject";
    item.sender = "bob";
    item.recipient = "alice";
    item.fileNames = {"a.bin", "../b.bin"};
    item.fileSizes = {3000, 2000};
    item.recipients = {"alice"};
    item.addressEntries = {"alice"};
    item.attachments.resize(2);
    item.attachments[0].total = 3000;
    item.attachments[1].total = 2000;
    return orv::encodeItemMessage(item, codec);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    orv::ManualClock clock{kCreated};
    std::string folder = scratch() + "/store/";
    std::filesystem::create_directories(folder);
    orv::CoreTables tables{clock, folder};
    orv::SessionState session;
    session.currentUser = "alice";
    orv::FakeSocketApi fake;
    orv::EngineConfig config;
    orv::Engine engine(tables, session, clock, fake, config);
    orv::MailDelivery delivery(engine, tables, session, clock);
    orv::MailReception reception(engine, tables, session, clock, delivery);
    orv::connectMailHooks(engine, delivery, reception);

    engine.SocketStep();
    orv::Socket s = fake.addPendingConnection(engine.peerListener());
    engine.EnginePump();
    auto mail = firstMail(engine.codec());
    fake.deliver(s, std::string_view(reinterpret_cast<const char*>(mail.data()), mail.size()));
    engine.EnginePump();

    // Each message: a type byte, a 16-bit length, the body. Chunks with the low type bit set
    // carry the stored mail's key and created time, so they reach its files.
    size_t off = 0;
    while (off + 3 <= size) {
        uint8_t type = data[off];
        size_t len = data[off + 1] | (size_t{data[off + 2]} << 8);
        off += 3;
        len = std::min(len, size - off);
        std::vector<uint8_t> body(data + off, data + off + len);
        off += len;
        int32_t command;
        switch ((type >> 1) % 4) {
            case 0:
                command = orv::Command::FileChunk;
                if ((type & 1) && body.size() >= 16) {
                    std::memcpy(body.data(), &kKey, 8);
                    std::memcpy(body.data() + 12, &kCreated, 4);
                }
                break;
            case 1:
                command = orv::Command::ItemMessage;
                break;
            case 2:
                command = orv::Command::SendFiles;
                break;
            default:
                command = orv::Command::AllReceived;
                break;
        }
        orv::WireWriter w(command);
        w.raw(body.data(), body.size());
        const auto& bytes = w.finish();
        fake.deliver(s,
                     std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        engine.EnginePump();
        clock.advanceMillis(300);
        fake.takeSent(s);
    }
    clock.advanceSeconds(30);
    engine.EnginePump();
    reception.closeIncomingFiles();
    engine.shutdown();

    // Everything written stays inside the store.
    for (const auto& e : std::filesystem::recursive_directory_iterator(scratch())) {
        if (e.is_regular_file() && e.path().parent_path().string() + "/" != folder) std::abort();
    }
    std::filesystem::remove_all(folder);
    return 0;
}
