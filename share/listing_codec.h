#pragma once
// The listing tail of a listing reply (item kinds 19 and 20), after the item's head:
//
//   string list  folder paths          int32 count + int32 tag per folder
//   string list  file names            int32 count + 56-byte SharedFileRecord per file,
//                                      whose folder index counts in the folder list above
//
// Encoder and decoder side by side. The decoder is strict: a tail that does not follow the
// layout to its last byte is refused whole rather than read in part.
#include <cstddef>
#include <string>

#include "core/share_store.h"
#include "engine/wire.h"
#include "net/codec.h"

namespace orv {

static_assert(sizeof(SharedFileRecord) == 56 && std::is_trivially_copyable_v<SharedFileRecord>);

void encodeListingTail(WireWriter& w, const ShareListing& listing, WireCodec& codec);
// False (and `listing` unspecified) when the tail does not follow the layout.
bool decodeListingTail(WireReader& rd, ShareListing& listing, WireCodec& codec);

}  // namespace orv
