// Arbitrary bytes into the receive path of two connections (an accepted one and an outbound
// one), delivered in slices over the scripted socket fake, with hooks that decode every
// message the way the reception does. Nothing may crash, read out of bounds or allocate
// beyond what the input justifies.
#include <cstdint>
#include <cstring>
#include <string>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/engine.h"
#include "engine/item_message.h"
#include "engine/wire.h"
#include "net/fake_socket_api.h"

namespace {

size_t sink = 0;

void decodeItem(orv::Engine& e, const orv::InboundMessage& m) {
    orv::ItemMessage item;
    if (orv::decodeItemMessage(m.body, item, e.codec())) {
        sink += item.subject.size() + item.sender.size() + item.recipient.size();
        for (const auto& s : item.fileNames)
            sink += s.size();
        sink += item.fileSizes.size();
        for (const auto& s : item.recipients)
            sink += s.size();
        for (const auto& s : item.addressEntries)
            sink += s.size();
        for (const auto& a : item.attachments)
            sink += static_cast<size_t>(a.total);
    }
    for (uint8_t b : m.body)
        sink += b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    orv::ManualClock clock{1'700'000'000};
    orv::CoreTables tables{clock};
    orv::SessionState session;
    session.currentUser = "alice";
    orv::FakeSocketApi fake;
    orv::EngineConfig config;
    config.httpRelayTarget = "127.0.0.1:8080";
    orv::Engine engine(tables, session, clock, fake, config);

    uint8_t mode = data[0];
    fake.setRecvLimit(mode & 0x0F);  // 0: whole reads
    size_t slice = 1 + (static_cast<size_t>(mode >> 4) * 97);
    int chunkRefusals = 0;
    auto& h = engine.hooks();
    h.itemMessage = [&](const orv::InboundMessage& m) { decodeItem(engine, m); };
    h.itemReply = [&](const orv::InboundMessage& m) {
        orv::WireReader r(m.body);
        int32_t v;
        for (int i = 0; i < 8; ++i)
            r.readI32(v), sink += static_cast<size_t>(v);
        if (m.command == orv::Command::AllReceived)
            for (const auto& s : r.readStringsToEnd(engine.codec()))
                sink += s.size();
    };
    h.fileChunk = [&](const orv::InboundMessage& m) {
        for (uint8_t b : m.body)
            sink += b;
        // Now and then the reception cannot take a chunk yet.
        if (!m.body.empty() && (m.body[0] & 1) && chunkRefusals++ < 3)
            return orv::ChunkVerdict::notNow(clock.nowMillis() + 500);
        return orv::ChunkVerdict{};
    };

    engine.SocketStep();
    orv::Socket inbound = fake.addPendingConnection(engine.peerListener());
    engine.EnginePump();
    orv::Socket outbound = fake.ConnectTo("127.0.0.1:29999", 29999);
    engine.openLink(outbound, orv::LinkState::Outbound, "bob", orv::Origin::Outbound);

    std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    for (size_t off = 0; off < rest.size(); off += slice) {
        std::string_view piece = rest.substr(off, slice);
        fake.deliver(inbound, piece);
        fake.deliver(outbound, piece);
        engine.EnginePump();
        orv::WaitSet w;
        engine.waitSet(w);
        clock.advanceMillis(700);
        fake.takeSent(inbound);
        fake.takeSent(outbound);
    }
    fake.closeFromPeer(inbound);
    fake.closeFromPeer(outbound);
    engine.EnginePump();
    clock.advanceSeconds(70);
    engine.EnginePump();
    engine.EnginePump();
    engine.shutdown();
    return sink == 0xFFFFFFFF ? 1 : 0;
}
