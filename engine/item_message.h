#pragma once
// The item message (command 0): how a mail or control item travels between peers. Encoder and
// decoder live side by side here, so the layout is known in one place only:
//
//   MailRecord (64 bytes, as the sender holds it)
//   string list  [subject, sender, recipient]                                  -- the head
//   string list  file names          record list  int64 size per file
//   string list  every recipient     string list   address-line entries
//   record list  AttachmentRecord per file                                     -- the files
//
// Listing replies (kinds 19 and 20) carry a listing instead of the files; the listing's layout
// belongs to the shared folders, so this codec only leaves room for it.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/records.h"
#include "engine/wire.h"
#include "net/codec.h"

namespace orv {

// Records go out byte for byte: their layouts are part of the protocol.
static_assert(sizeof(MailRecord) == 64 && std::is_trivially_copyable_v<MailRecord>);
static_assert(sizeof(AttachmentRecord) == 40 && std::is_trivially_copyable_v<AttachmentRecord>);

struct ItemMessage {
    MailRecord record{};
    std::string subject;
    std::string sender;
    std::string recipient;
    // The files part (absent from listing replies). Sizes and attachment records both travel;
    // a receiver prefers the records and falls back on the sizes when there are none.
    std::vector<std::string> fileNames;
    std::vector<int64_t> fileSizes;
    std::vector<std::string> recipients;
    std::vector<std::string> addressEntries;
    std::vector<AttachmentRecord> attachments;
};

// Kinds whose item carries a listing in place of the files part.
inline bool carriesListing(int32_t kind) {
    return kind == MailKind::ListFolderReply || kind == MailKind::ListTreeReply;
}

// The whole message, header included. For a listing reply, `listing` appends the listing; when
// it is empty an empty listing goes out.
std::vector<uint8_t> encodeItemMessage(const ItemMessage& item, WireCodec& codec,
                                       const std::function<void(WireWriter&)>& listing = {});

// Reads the record and the head list. False (nothing read) when the body is shorter than the
// record; names the list lacks read as empty.
bool readItemHead(WireReader& rd, ItemMessage& item, WireCodec& codec);
// Reads the files part after the head. Lists that do not follow the rules read as empty.
void readItemFiles(WireReader& rd, ItemMessage& item, WireCodec& codec);
// Head and, unless the item carries a listing, the files part.
bool decodeItemMessage(std::span<const uint8_t> body, ItemMessage& item, WireCodec& codec);

}  // namespace orv
