#include "engine/peer_tables.h"

namespace orv {

int PeerLinkTable::add(const PeerLinkRecord& r, std::string_view user) {
    names.append(user);
    return records.append(r);
}

void PeerLinkTable::removeAt(int i) {
    if (i < 0 || i >= records.count()) return;
    names.removeAt(i);
    records.removeAt(i);
}

int PeerLinkTable::findBySocket(Socket s) const {
    for (int i = 0; i < records.count(); ++i)
        if (records[i].socket == s) return i;
    return -1;
}

std::string_view PeerLinkTable::userBySocket(Socket s) const {
    int i = findBySocket(s);
    return i < 0 ? std::string_view{} : names.view(i);
}

bool PeerLinkTable::setState(Socket s, int32_t state, const std::string_view* user) {
    int i = findBySocket(s);
    if (i < 0) return false;
    records[i].state = state;
    if (user) names.replaceAt(i, *user);
    return true;
}

Socket PeerLinkTable::findIdentified(std::string_view user) const {
    for (int i = 0; i < records.count(); ++i) {
        int32_t st = records[i].state;
        if ((st == LinkState::InboundPlain || st == LinkState::InboundExclusive) &&
            equalsIgnoreCase(names.view(i), user))
            return records[i].socket;
    }
    return kInvalidSocket;
}

}  // namespace orv
