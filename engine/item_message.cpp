#include "engine/item_message.h"

#include <algorithm>
#include <cstring>

namespace orv {

std::vector<uint8_t> encodeItemMessage(const ItemMessage& item, WireCodec& codec,
                                       const std::function<void(WireWriter&)>& listing) {
    WireWriter w(Command::ItemMessage);
    w.raw(&item.record, sizeof item.record);
    w.stringList({item.subject, item.sender, item.recipient}, codec);
    if (carriesListing(item.record.kind)) {
        if (listing) {
            listing(w);
        } else {
            w.i32(0);  // folder paths
            w.i32(0);  // folder tags
            w.i32(0);  // file names
            w.i32(0);  // file records
        }
        return w.take();
    }
    w.stringList(item.fileNames, codec);
    w.records(item.fileSizes.data(), static_cast<int32_t>(item.fileSizes.size()));
    w.stringList(item.recipients, codec);
    w.stringList(item.addressEntries, codec);
    w.records(item.attachments.data(), static_cast<int32_t>(item.attachments.size()));
    return w.take();
}

bool readItemHead(WireReader& rd, ItemMessage& item, WireCodec& codec) {
    auto rec = rd.readBytes(sizeof(MailRecord));
    if (rec.empty()) return false;
    std::memcpy(&item.record, rec.data(), sizeof(MailRecord));
    std::vector<std::string> head = rd.readStringList(codec);
    head.resize(std::max<size_t>(head.size(), 3));
    item.subject = std::move(head[0]);
    item.sender = std::move(head[1]);
    item.recipient = std::move(head[2]);
    return true;
}

void readItemFiles(WireReader& rd, ItemMessage& item, WireCodec& codec) {
    item.fileNames = rd.readStringList(codec);
    item.fileSizes = rd.readRecords<int64_t>();
    item.recipients = rd.readStringList(codec);
    item.addressEntries = rd.readStringList(codec);
    item.attachments = rd.readRecords<AttachmentRecord>();
}

bool decodeItemMessage(std::span<const uint8_t> body, ItemMessage& item, WireCodec& codec) {
    WireReader rd(body);
    if (!readItemHead(rd, item, codec)) return false;
    if (!carriesListing(item.record.kind)) readItemFiles(rd, item, codec);
    return true;
}

}  // namespace orv
