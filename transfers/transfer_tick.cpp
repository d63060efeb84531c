#include "transfers/transfer_tick.h"

#include "engine/rate_meter.h"

namespace orv {

namespace {

bool hasRow(int32_t kind) {
    return kind == TransferKind::File || kind == TransferKind::Folder ||
           kind == TransferKind::Preview;
}

}  // namespace

void foldWindow(RateMeter& folder, RateMeter file) {
    // The engine's own rule moves a window on; slots are running totals, so the sum of two
    // windows reads as the sum of their rates.
    if (file.time > folder.time)
        meterUpdate(folder, int64_t{file.time} * 1000);
    else if (file.time < folder.time)
        meterUpdate(file, int64_t{folder.time} * 1000);
    for (int i = 0; i < 6; ++i)
        folder.slots[i] += file.slots[i];
}

void foldFolders(CoreTables& tables, TransferList& list, std::vector<RateMeter>& windows,
                 int64_t nowMillis) {
    auto& recs = tables.transfers;
    int n = recs.count();
    windows.resize(static_cast<size_t>(n), RateMeter{});
    std::vector<char> unfinished(static_cast<size_t>(n), 0);
    for (int i = 0; i < n; ++i)
        if (recs[i].kind == TransferKind::Folder && recs[i].state != TransferState::Done)
            recs[i].received = recs[i].total;
    for (int i = 0; i < n; ++i) {
        const TransferRecord& f = recs[i];
        if (f.kind != TransferKind::FolderFile) continue;
        int p = f.parent;
        if (p < 0 || p >= n || recs[p].kind != TransferKind::Folder) continue;
        if (f.state != TransferState::Done) unfinished[static_cast<size_t>(p)] = 1;
        // Unsigned wrap-around: the folder's total less what the file still misses.
        recs[p].received += f.received - f.total;
        foldWindow(windows[static_cast<size_t>(p)], windows[static_cast<size_t>(i)]);
    }
    for (int i = 0; i < recs.count(); ++i) {
        if (recs[i].kind != TransferKind::Folder) continue;
        recs[i].rate = static_cast<int32_t>(meterSpeed(windows[static_cast<size_t>(i)], nowMillis));
        if (recs[i].state != TransferState::FolderBusy || unfinished[static_cast<size_t>(i)])
            continue;
        // Only the folder's own files go: another download into a folder below this one keeps
        // its records. They all follow the folder, so i stays where it is.
        for (int k = recs.count() - 1; k > i; --k) {
            if (recs[k].kind != TransferKind::FolderFile || recs[k].parent != i) continue;
            int before = recs.count();
            list.RemoveTransfer(k);
            if (recs.count() == before) continue;
            windows.erase(windows.begin() + k);
            unfinished.erase(unfinished.begin() + k);
        }
        recs[i].received = recs[i].total;
        recs[i].rate = 0;
        list.setState(i, TransferState::Done);
    }
}

std::vector<TransferRow> transferRows(const TransferList& list) {
    std::vector<TransferRow> rows;
    for (int i = 0; i < list.count(); ++i) {
        if (!hasRow(list.record(i).kind)) continue;
        TransferEntry e = list.entry(i);
        TransferRow r;
        r.index = i;
        r.name = std::string(transferName(e.remotePath));
        r.remotePath = std::move(e.remotePath);
        r.localPath = std::move(e.localPath);
        r.kind = e.record.kind;
        r.state = e.record.state;
        r.total = e.record.total;
        r.received = e.record.received;
        r.rate = e.record.rate;
        rows.push_back(std::move(r));
    }
    return rows;
}

std::vector<TransferRow> transferTick(CoreTables& tables, TransferList& list, const Clock& clock) {
    std::vector<RateMeter> windows(static_cast<size_t>(list.count()), RateMeter{});
    list.RefreshProgress(&windows);
    foldFolders(tables, list, windows, clock.nowMillis());
    return transferRows(list);
}

int transferOfRow(const TransferList& list, int row, std::string_view path) {
    if (row < 0) return -1;
    for (int i = 0; i < list.count(); ++i) {
        if (!hasRow(list.record(i).kind)) continue;
        if (row-- > 0) continue;
        return list.entry(i).remotePath == path ? i : -1;
    }
    return -1;
}

std::string_view transferName(std::string_view remotePath) {
    std::string_view p = remotePath;
    if (!p.empty() && p.back() == '/') p.remove_suffix(1);
    size_t slash = p.rfind('/');
    return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

}  // namespace orv
