#include "transfers/transfers_facade.h"

#include "transfers/transfer_tick.h"

namespace orv {

TransfersFacade::TransfersFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                                 Engine& engine, MailDelivery& delivery, MailReception& reception)
    : tables_(tables),
      state_(state),
      clock_(clock),
      engine_(engine),
      delivery_(delivery),
      reception_(reception),
      list_(tables, TransferEngine{}, &state.currentUser) {}

TransferResult TransfersFacade::open(std::string_view, const std::vector<std::string>&) {
    return {};
}
TransferResult TransfersFacade::saveTo(std::string_view, const std::vector<std::string>&,
                                       const std::string&) {
    return {};
}
TransferResult TransfersFacade::downloadFolder(std::string_view, const std::string&) {
    return {};
}
TransferResult TransfersFacade::preview(std::string_view, std::string&) {
    return {};
}
std::vector<TransferRow> TransfersFacade::tick() {
    return transferTick(tables_, list_, clock_, state_.events);
}
void TransfersFacade::start(std::string_view remotePath) {
    list_.StartTransfer(remotePath, 0);
}
void TransfersFacade::pause(std::string_view remotePath) {
    list_.PauseTransfer(remotePath);
}
void TransfersFacade::cancel(std::string_view remotePath) {
    list_.CancelTransfer(remotePath);
}
int TransfersFacade::httpPort() const {
    return 0;
}

}  // namespace orv
