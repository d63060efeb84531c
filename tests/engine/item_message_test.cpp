// The item message codec: what the delivery encodes the reception decodes, in the layout
// peers expect, and a body cut short anywhere decodes to whole fields or nothing.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/item_message.h"

namespace orv {
namespace {

std::string le32(int32_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 4);
}
std::string le64(int64_t v) {
    return std::string(reinterpret_cast<const char*>(&v), 8);
}
std::string list(const std::string& nulTerminated) {
    return le32(static_cast<int32_t>(nulTerminated.size())) + nulTerminated;
}

ItemMessage sampleItem() {
    ItemMessage item;
    // Every byte of the record set, reserved ones too: the record travels verbatim.
    auto* raw = reinterpret_cast<uint8_t*>(&item.record);
    for (size_t i = 0; i < sizeof item.record; ++i)
        raw[i] = static_cast<uint8_t>(0x40 + i);
    item.record.kind = MailKind::Outbox;
    item.subject = "report";
    item.sender = "alice";
    item.recipient = "bob";
    item.fileNames = {"a.txt", "b.bin"};
    item.fileSizes = {10, 20};
    item.recipients = {"bob", "carol"};
    item.addressEntries = {"team"};
    item.attachments.resize(2);
    item.attachments[0].total = 10;
    item.attachments[0].attFlags = AttFlags::isBodyPart;
    item.attachments[1].total = 20;
    item.attachments[1].fileTime = 0x0102030405060708;
    return item;
}

void expectSameAttachments(const std::vector<AttachmentRecord>& a,
                           const std::vector<AttachmentRecord>& b) {
    ASSERT_EQ(a.size(), b.size());
    EXPECT_EQ(std::memcmp(a.data(), b.data(), a.size() * sizeof(AttachmentRecord)), 0);
}

TEST(ItemMessageCodec, EncodesTheLayoutPeersReadAndDecodesItBack) {
    WireCodec codec;
    ItemMessage item = sampleItem();
    std::vector<uint8_t> msg = encodeItemMessage(item, codec);

    // Built by hand from the documented layout, independent of the codec.
    std::string body(reinterpret_cast<const char*>(&item.record), sizeof item.record);
    body += list(std::string("report\0alice\0bob\0", 17));
    body += list(std::string("a.txt\0b.bin\0", 12));
    body += le32(2) + le64(10) + le64(20);
    body += list(std::string("bob\0carol\0", 10));
    body += list(std::string("team\0", 5));
    body += le32(2);
    body.append(reinterpret_cast<const char*>(item.attachments.data()), 2 * 40);
    std::string expected = le32(Command::ItemMessage) + le32(static_cast<int32_t>(body.size()));
    EXPECT_EQ(std::string(msg.begin(), msg.end()), expected + body);

    ItemMessage back;
    ASSERT_TRUE(decodeItemMessage(std::span(msg).subspan(kHeaderSize), back, codec));
    EXPECT_EQ(std::memcmp(&back.record, &item.record, sizeof item.record), 0);
    EXPECT_EQ(back.subject, "report");
    EXPECT_EQ(back.sender, "alice");
    EXPECT_EQ(back.recipient, "bob");
    EXPECT_EQ(back.fileNames, item.fileNames);
    EXPECT_EQ(back.fileSizes, item.fileSizes);
    EXPECT_EQ(back.recipients, item.recipients);
    EXPECT_EQ(back.addressEntries, item.addressEntries);
    expectSameAttachments(back.attachments, item.attachments);

    // Names pass the wire encoding both ways.
    item.subject = "报告";
    item.fileNames = {"张三.txt"};
    msg = encodeItemMessage(item, codec);
    EXPECT_NE(std::string(msg.begin(), msg.end()).find("\xB1\xA8\xB8\xE6"), std::string::npos);
    ASSERT_TRUE(decodeItemMessage(std::span(msg).subspan(kHeaderSize), back, codec));
    EXPECT_EQ(back.subject, "报告");
    EXPECT_EQ(back.fileNames, item.fileNames);
}

TEST(ItemMessageCodec, BodyCutShortDecodesWholeFieldsInOrderOrNothing) {
    WireCodec codec;
    ItemMessage item = sampleItem();
    std::vector<uint8_t> msg = encodeItemMessage(item, codec);
    const size_t full = msg.size() - kHeaderSize;
    for (size_t cut = 0; cut <= full; ++cut) {
        SCOPED_TRACE(cut);
        // A buffer of exactly the cut length, so a read past it is caught by the sanitizers.
        std::vector<uint8_t> body(msg.begin() + kHeaderSize, msg.begin() + kHeaderSize + cut);
        ItemMessage got;
        bool ok = decodeItemMessage(body, got, codec);
        if (cut < sizeof(MailRecord)) {
            EXPECT_FALSE(ok);
            continue;
        }
        ASSERT_TRUE(ok);
        EXPECT_EQ(std::memcmp(&got.record, &item.record, sizeof item.record), 0);
        // Each field is whole or empty, and once one is missing so is everything after it.
        std::vector<bool> whole = {
            got.sender == item.sender && got.subject == item.subject &&
                got.recipient == item.recipient,
            got.fileNames == item.fileNames,
            got.fileSizes == item.fileSizes,
            got.recipients == item.recipients,
            got.addressEntries == item.addressEntries,
            got.attachments.size() == item.attachments.size(),
        };
        std::vector<bool> empty = {
            got.sender.empty() && got.subject.empty() && got.recipient.empty(),
            got.fileNames.empty(),
            got.fileSizes.empty(),
            got.recipients.empty(),
            got.addressEntries.empty(),
            got.attachments.empty(),
        };
        bool missing = false;
        for (size_t f = 0; f < whole.size(); ++f) {
            EXPECT_TRUE(whole[f] || empty[f]) << "field " << f;
            if (missing) {
                EXPECT_TRUE(empty[f]) << "field " << f;
            }
            if (!whole[f]) missing = true;
        }
        EXPECT_EQ(missing, cut < full);
    }
}

TEST(ItemMessageCodec, ListingRepliesCarryTheListingInsteadOfTheFiles) {
    WireCodec codec;
    ItemMessage item = sampleItem();
    item.record.kind = MailKind::ListTreeReply;
    item.subject = "shared/docs";
    std::vector<uint8_t> msg = encodeItemMessage(item, codec, [&codec](WireWriter& w) {
        w.i32(7);
        w.stringList(std::vector<std::string>{"docs"}, codec);
    });
    auto body = std::span(msg).subspan(kHeaderSize);
    WireReader rd(body);
    ItemMessage got;
    ASSERT_TRUE(readItemHead(rd, got, codec));
    EXPECT_EQ(got.subject, "shared/docs");
    int32_t first = 0;
    ASSERT_TRUE(rd.readI32(first));
    EXPECT_EQ(first, 7);  // the listing follows the head directly
    EXPECT_EQ(rd.readStringList(codec), std::vector<std::string>{"docs"});
    EXPECT_TRUE(rd.atEnd());

    // The whole decode leaves the listing alone rather than reading it as files.
    ASSERT_TRUE(decodeItemMessage(body, got, codec));
    EXPECT_TRUE(got.fileNames.empty());
    EXPECT_TRUE(got.attachments.empty());

    // Without a listing an empty one goes out: four empty lists.
    msg = encodeItemMessage(item, codec);
    WireReader empty{std::span<const uint8_t>(msg).subspan(kHeaderSize)};
    ASSERT_TRUE(readItemHead(empty, got, codec));
    EXPECT_EQ(empty.remaining(), 16u);
    for (int i = 0; i < 4; ++i) {
        int32_t v = -1;
        empty.readI32(v);
        EXPECT_EQ(v, 0);
    }
}

}  // namespace
}  // namespace orv
