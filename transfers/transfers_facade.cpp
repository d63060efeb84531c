#include "transfers/transfers_facade.h"

#include "core/share_store.h"

namespace orv {

namespace {

constexpr TextPair kNotLoggedIn{"Nobody is logged in.", "尚未登录。"};
constexpr TextPair kNotOthersFile{"Only files of other users can be previewed.",
                                  "只能预览其他用户的文件。"};
constexpr TextPair kNoServer{"Previews are not available.", "无法预览。"};

}  // namespace

TransfersFacade::TransfersFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                                 Engine& engine, MailDelivery& delivery, MailReception& reception,
                                 FileServer* fileServer)
    : tables_(tables),
      state_(state),
      clock_(clock),
      engine_(engine),
      delivery_(delivery),
      reception_(reception),
      fileServer_(fileServer),
      list_(tables, TransferEngine{}) {}

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
TransferResult TransfersFacade::preview(std::string_view remotePath, std::string& url) {
    url.clear();
    UiLanguage lang = state_.language;
    auto refuse = [lang](TextPair why) {
        return TransferResult{false, std::string(pick(lang, why))};
    };
    if (!state_.loggedIn()) return refuse(kNotLoggedIn);
    if (!fileServer_) return refuse(kNoServer);
    // "/owner/folders/name": a file of somebody else.
    size_t ownerEnd = remotePath.size() > 1 && remotePath[0] == '/' ? remotePath.find('/', 1)
                                                                    : std::string_view::npos;
    size_t cut = remotePath.rfind('/');
    if (ownerEnd == std::string_view::npos || cut + 1 >= remotePath.size() ||
        equalsIgnoreCase(remotePath.substr(1, ownerEnd - 1), state_.currentUser))
        return refuse(kNotOthersFile);
    std::string name = safeFileName(remotePath.substr(cut + 1));
    if (name.empty()) return refuse(kNotOthersFile);

    std::string folder = tables_.settingString(SettingString::ReceiveFolder);
    if (folder.empty()) folder = tables_.mailStoreFolder();
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    TransferRecord rec{};
    rec.kind = TransferKind::Preview;
    rec.state = TransferState::Paused;
    int f = tables_.share.FindFile(remotePath);
    rec.total = f >= 0 ? tables_.share.file(f).size : 0;
    // Paused until the player asks the file server for data.
    list_.AddTransfer(state_.currentUser, remotePath, UniqueLocalName(tables_, folder + name), rec);

    fileServer_->keepListenerOpen();
    url = "http://localhost:" + std::to_string(fileServer_->port()) + percentEncodePath(remotePath);
    return {true, {}};
}
std::vector<TransferRow> TransfersFacade::tick() {
    return {};
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
    return fileServer_ ? fileServer_->port() : 0;
}

}  // namespace orv
