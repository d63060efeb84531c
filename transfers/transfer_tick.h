#pragma once
// The transfer view's one-second tick, without windows: the engine's counters copied in, each
// folder download's progress and rate folded from its files, folders whose files are all done
// completed, and the rows the view shows. Also the rule that ties a row of the view back to
// its record, so a command never acts on a download the row no longer shows.
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/records.h"
#include "transfers/transfer_list.h"
#include "transfers/transfers_facade.h"

namespace orv {

// Adds a file's rate window into its folder's: whichever has the older newest second is first
// brought up to the other's (one slot a second; a longer gap empties it), and the folder keeps
// the newer second.
void foldWindow(RateMeter& folder, RateMeter file);

// Steps over windows already refreshed from the engine (one per record): folder progress is
// the total less what its unfinished files still miss, its rate the folded windows read at
// nowMillis; a busy folder without unfinished files loses its file records and is done (a
// state change the list announces). `windows` stays one per record.
void foldFolders(CoreTables& tables, TransferList& list, std::vector<RateMeter>& windows,
                 int64_t nowMillis);

// One row per record of kind file, folder or preview, in list order.
std::vector<TransferRow> transferRows(const TransferList& list);

// The whole tick: fresh windows, RefreshProgress, folding, rows.
std::vector<TransferRow> transferTick(CoreTables& tables, TransferList& list, const Clock& clock);

// The record that row `row` of the view stands for: the row-th record of kind file, folder or
// preview, when its remote path still equals `path` exactly; -1 otherwise.
int transferOfRow(const TransferList& list, int row, std::string_view path);

// What the Name column shows: the text after the last "/", for a folder its last name.
std::string_view transferName(std::string_view remotePath);

}  // namespace orv
