#include "directory/directory_client.h"

#include "directory/request.h"
#include "net/codec.h"

namespace orv {

void DirectoryClient::start(DirectoryExchange& ex, const std::string& pageAndQuery) {
    ex.start(server(), buildRequest(pageAndQuery, kBuiltInDirectoryHost));
}

std::string DirectoryClient::exchangeBlocking(const std::string& pageAndQuery) {
    DirectoryExchange ex(api_, clock_);
    start(ex, pageAndQuery);
    while (!ex.step())
        waitFor(api_, clock_, ex, 1000);
    return ex.reply();
}

AddressAnswer DirectoryClient::askAddress(std::string_view user, bool takeOver) {
    std::string address;
    switch (lookup_.lookup(server(), kBuiltInDirectoryHost, toWire(user), takeOver, address)) {
        case LookupStatus::Pending:
            return {AddressAnswer::Failed, ""};
        case LookupStatus::NoSuchUser:
            return {AddressAnswer::NoSuchUser, ""};
        case LookupStatus::Empty:
            return {AddressAnswer::Empty, ""};
        case LookupStatus::Found:
            return {AddressAnswer::Found, fromWire(address)};
    }
    return {};
}

void DirectoryClient::addAddressWaits(std::string_view user, std::vector<PollEntry>& out) const {
    if (lookup_.busy() && equalsIgnoreCase(lookup_.name(), toWire(user)))
        lookup_.addPollEntries(out);
}

ListStatus DirectoryClient::groupFetch(const std::string& pageAndQuery,
                                       std::vector<GroupListRecord>& out) {
    out.clear();
    std::string body;
    ListStatus s = groupLists_.fetch(server(), kBuiltInDirectoryHost, pageAndQuery, body);
    if (s == ListStatus::Done) out = readGroupList(splitListBody(fromWire(body), '\n'));
    return s;
}

ListStatus DirectoryClient::listMyGroups(std::string_view user, std::vector<GroupListRecord>& out) {
    return groupFetch(request::listMyGroups(toWire(user)), out);
}

ListStatus DirectoryClient::listGroupMembers(std::string_view creator, std::string_view group,
                                             std::vector<GroupListRecord>& out) {
    std::string c = toWire(creator), g = toWire(group);
    return groupFetch(isOrganisationAccount(creator) ? request::listCoMembers(c, g)
                                                     : request::listGroupMembers(c, g),
                      out);
}

ListStatus DirectoryClient::listSigns(std::string_view sender, int mailTime, bool signedOnly,
                                      std::vector<SignRecord>& out) {
    out.clear();
    std::string body;
    ListStatus s = signLists_.fetch(
        server(), kBuiltInDirectoryHost,
        request::getSignList(toWire(sender), mailTime, signedOnly ? "Y" : "N"), body);
    if (s == ListStatus::Done) out = readSignList(splitListBody(fromWire(body), '|'));
    return s;
}

void DirectoryClient::addPollEntries(std::vector<PollEntry>& out) const {
    lookup_.addPollEntries(out);
    groupLists_.addPollEntries(out);
    signLists_.addPollEntries(out);
}

}  // namespace orv
