#include "transfers/transfer_list.h"

namespace orv {

TransferList::TransferList(CoreTables& tables, TransferEngine engine)
    : tables_(tables), engine_(std::move(engine)) {}

int TransferList::count() const {
    return static_cast<int>(tables_.transfers.count());
}

TransferEntry TransferList::entry(int index) const {
    TransferEntry e;
    e.owner = std::string(tables_.transferOwners.view(index));
    e.remotePath = std::string(tables_.transferRemotePaths.view(index));
    e.localPath = std::string(tables_.transferLocalPaths.view(index));
    e.record = tables_.transfers[index];
    return e;
}

const TransferRecord& TransferList::record(int index) const {
    return tables_.transfers[index];
}

int TransferList::AddTransfer(std::string_view, std::string_view, std::string_view,
                              TransferRecord) {
    return -1;
}
void TransferList::StartTransfer(std::string_view, int64_t) {}
void TransferList::PauseTransfer(std::string_view) {}
void TransferList::CancelTransfer(std::string_view) {}
void TransferList::RefreshProgress(std::vector<RateMeter>*) {}
void TransferList::RemoveTransfer(int) {}
void TransferList::afterLoad() {}

}  // namespace orv
