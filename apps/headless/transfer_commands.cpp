#include "apps/headless/transfer_commands.h"

#include "apps/headless/json.h"

namespace orv {

namespace {

std::string answer(const std::string& cmd, const TransferResult& r) {
    return "{\"cmd\":" + json::quote(cmd) + ",\"ok\":" + (r.ok ? "true" : "false") +
           (r.message.empty() ? "" : ",\"message\":" + json::quote(r.message)) + "}";
}

// "/alice/a/b.txt" -> "/alice/a/" and "b.txt".
void splitFile(const std::string& path, std::string& folder, std::string& name) {
    size_t cut = path.rfind('/');
    folder = cut == std::string::npos ? std::string() : path.substr(0, cut + 1);
    name = cut == std::string::npos ? path : path.substr(cut + 1);
}

// Every download of kind file, folder or preview, as the list holds it; a folder also says
// how many of its files are still in the list.
std::string transfersJson(ClientSession& s) {
    TransferList& list = s.transfers().list();
    list.RefreshProgress(nullptr);
    std::vector<int> files(static_cast<size_t>(list.count()), 0);
    for (int i = 0; i < list.count(); ++i) {
        const TransferRecord& r = list.record(i);
        if (r.kind == TransferKind::FolderFile && r.parent >= 0 && r.parent < list.count())
            ++files[static_cast<size_t>(r.parent)];
    }
    std::string o = "[";
    bool first = true;
    for (int i = 0; i < list.count(); ++i) {
        TransferEntry e = list.entry(i);
        const TransferRecord& r = e.record;
        if (r.kind == TransferKind::FolderFile) continue;
        o += std::string(first ? "" : ",") + "{\"path\":" + json::quote(e.remotePath) +
             ",\"local\":" + json::quote(e.localPath) + ",\"kind\":" + std::to_string(r.kind) +
             ",\"state\":" + std::to_string(r.state) + ",\"total\":" +
             (r.total == kTransferSizeUnset ? std::string("-1") : std::to_string(r.total)) +
             ",\"received\":" + std::to_string(r.received) + ",\"rate\":" + std::to_string(r.rate);
        if (r.kind == TransferKind::Folder)
            o += ",\"files\":" + std::to_string(files[static_cast<size_t>(i)]);
        o += "}";
        first = false;
    }
    return o + "]";
}

}  // namespace

bool runTransferCommand(ClientSession& s, const std::vector<std::string>& w,
                        const std::function<void(const std::string&)>& emit) {
    const std::string& c = w[0];
    auto arg = [&](size_t i) { return i < w.size() ? w[i] : std::string(); };
    TransfersFacade& t = s.transfers();
    if (c == "download") {
        // download VPATH DIR: a file into DIR under its own name, or a folder (VPATH ending
        // in "/") into DIR/<its name>/.
        std::string path = arg(1), dir = arg(2);
        if (!path.empty() && path.back() == '/') {
            emit(answer(c, t.downloadFolder(path, dir)));
        } else {
            std::string folder, name;
            splitFile(path, folder, name);
            emit(answer(c, t.saveTo(folder, {name}, dir)));
        }
    } else if (c == "download-open") {
        // Into the receive folder, each under a free name; the first opens when complete.
        std::string folder, name;
        splitFile(arg(1), folder, name);
        std::vector<std::string> names;
        for (size_t i = 1; i < w.size(); ++i) {
            std::string f, n;
            splitFile(w[i], f, n);
            if (f != folder) {
                emit(answer(c, {false, "all files must be in one folder"}));
                return true;
            }
            names.push_back(n);
        }
        emit(answer(c, t.open(folder, names)));
    } else if (c == "transfers") {
        emit("{\"cmd\":\"transfers\",\"ok\":true,\"transfers\":" + transfersJson(s) + "}");
    } else if (c == "pause" || c == "resume" || c == "cancel") {
        std::string path = arg(1);
        bool known = t.list().count() > 0 && s.tables().findTransfer(path) >= 0;
        if (known) {
            if (c == "pause")
                t.pause(path);
            else if (c == "resume")
                t.start(path);
            else
                t.cancel(path);
        }
        emit(answer(c, {known, known ? std::string() : "no such download"}));
    } else {
        return false;
    }
    return true;
}

}  // namespace orv
