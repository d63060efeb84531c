#pragma once
// The text of every directory request: one GET line under /chat/ and five fixed header lines.
// Values are wire bytes (GB18030); encodeValue turns each byte into "%xx".
#include <string>
#include <string_view>

namespace orv {

// "%" and two lower-case hexadecimal digits for every byte; "ab" becomes "%61%62".
std::string encodeValue(std::string_view wireBytes);

// The whole request for a page and its query.
std::string buildRequest(std::string_view pageAndQuery, std::string_view hostHeader);

// Request lines of the operations, without " HTTP/1.1". Text arguments are wire bytes;
// they are encoded or inserted raw as each operation wants.
namespace request {
// askRelay adds "&relay=1": the user wants to be reached through a relay (servers that do not
// know the value ignore it; without it the request is the usual one, byte for byte).
std::string login(std::string_view name, std::string_view passwd, std::string_view ip,
                  bool askRelay = false);
std::string logout(std::string_view name, std::string_view passwd);
std::string insertUser(std::string_view name, std::string_view passwd, std::string_view lang,
                       std::string_view oldPasswd);
std::string insertGroup(std::string_view user, std::string_view passwd, std::string_view group,
                        std::string_view intro, std::string_view lang, int num);
std::string insertGroupMember(std::string_view cruser, std::string_view passwd,
                              std::string_view group, std::string_view gmuser, int state);
std::string deleteGroup(std::string_view user, std::string_view passwd, std::string_view group);
std::string deleteGroupMembers(std::string_view user, std::string_view passwd);
std::string listPublicGroups(std::string_view lang);
std::string getHost(std::string_view user);
// Which relay a user who is reached through a relay keeps a link to.
std::string getRelay(std::string_view user);
std::string listMyGroups(std::string_view gmuser);
std::string listGroupMembers(std::string_view cruser, std::string_view group);
std::string listCoMembers(std::string_view cruser, std::string_view group);
std::string insertSign(std::string_view fn, std::string_view fnpasswd, std::string_view jn,
                       std::string_view sf, std::string_view sds, int sdt);
std::string updateSign(std::string_view fn, std::string_view fnp, std::string_view jn,
                       std::string_view jnp, int sdt, int sgt, std::string_view sgs,
                       std::string_view op);
std::string getSignList(std::string_view fn, int sdt, std::string_view sign);
}  // namespace request

}  // namespace orv
