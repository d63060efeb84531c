#include "directory/request.h"

namespace orv {

std::string encodeValue(std::string_view wire) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    out.reserve(wire.size() * 3);
    for (unsigned char c : wire) {
        out.push_back('%');
        out.push_back(hex[c >> 4]);
        out.push_back(hex[c & 15]);
    }
    return out;
}

std::string buildRequest(std::string_view pageAndQuery, std::string_view hostHeader) {
    std::string r;
    r.reserve(pageAndQuery.size() + 256);
    r += "GET /chat/";
    r += pageAndQuery;
    r += " HTTP/1.1\r\n";
    r += "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n";
    r += "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
         "application/x-shockwave-flash, */*\r\n";
    r += "Accept-Language: zh-cn\r\n";
    r += "Host: ";
    r += hostHeader;
    r += "\r\n";
    r += "Connection: Close\r\n";
    r += "\r\n";
    return r;
}

namespace request {

namespace {
std::string enc(std::string_view v) {
    return encodeValue(v);
}
std::string raw(std::string_view v) {
    return std::string(v);
}
std::string num(int v) {
    return std::to_string(v);
}
}  // namespace

std::string login(std::string_view name, std::string_view passwd, std::string_view ip,
                  bool askRelay) {
    return "login.asp?name=" + enc(name) + "&leibie=0&passwd=" + raw(passwd) + "&ip=" + raw(ip) +
           "&testf=" + (askRelay ? "&relay=1" : "");
}

std::string logout(std::string_view name, std::string_view passwd) {
    return "exit.asp?name=" + enc(name) + "&passwd=" + raw(passwd);
}

std::string insertUser(std::string_view name, std::string_view passwd, std::string_view lang,
                       std::string_view oldPasswd) {
    return "insert.asp?name=" + enc(name) + "&leibie=0&passwd=" + raw(passwd) +
           "&main=" + raw(lang) + "&oldpasswd=" + raw(oldPasswd);
}

std::string insertGroup(std::string_view user, std::string_view passwd, std::string_view group,
                        std::string_view intro, std::string_view lang, int n) {
    return "insertgroup.asp?user=" + enc(user) + "&passwd=" + raw(passwd) + "&group=" + enc(group) +
           "&intro=" + enc(intro) + "&type=" + raw(lang) + "&num=" + num(n);
}

std::string insertGroupMember(std::string_view cruser, std::string_view passwd,
                              std::string_view group, std::string_view gmuser, int state) {
    return "insertgroupman.asp?cruser=" + enc(cruser) + "&passwd=" + raw(passwd) +
           "&group=" + enc(group) + "&gmuser=" + enc(gmuser) + "&state=" + num(state);
}

std::string deleteGroup(std::string_view user, std::string_view passwd, std::string_view group) {
    return "delgroup.asp?user=" + enc(user) + "&passwd=" + raw(passwd) + "&group=" + raw(group);
}

std::string deleteGroupMembers(std::string_view user, std::string_view passwd) {
    return "delgroupman.asp?user=" + enc(user) + "&passwd=" + raw(passwd);
}

std::string listPublicGroups(std::string_view lang) {
    return "listgroup.asp?main=" + raw(lang);
}

std::string getHost(std::string_view user) {
    return "gethost.asp?url=" + enc(user);
}

std::string getRelay(std::string_view user) {
    return "getrelay.asp?name=" + enc(user);
}

std::string listMyGroups(std::string_view gmuser) {
    return "listgroup1.asp?gmuser=" + enc(gmuser);
}

namespace {
std::string memberList(const char* page, std::string_view cruser, std::string_view group) {
    const char* pro = cruser.find('/') != std::string_view::npos ? "Y" : "N";
    return std::string(page) + "?cruser=" + enc(cruser) + "&group=" + enc(group) + "&pro=" + pro;
}
}  // namespace

std::string listGroupMembers(std::string_view cruser, std::string_view group) {
    return memberList("listgroupman.asp", cruser, group);
}

std::string listCoMembers(std::string_view cruser, std::string_view group) {
    return memberList("listcoman.asp", cruser, group);
}

std::string insertSign(std::string_view fn, std::string_view fnpasswd, std::string_view jn,
                       std::string_view sf, std::string_view sds, int sdt) {
    return "insertsign.asp?fn=" + enc(fn) + "&fnpasswd=" + raw(fnpasswd) + "&jn=" + enc(jn) +
           "&sf=" + enc(sf) + "&sds=" + enc(sds) + "&fh=&sdt=" + num(sdt);
}

std::string updateSign(std::string_view fn, std::string_view fnp, std::string_view jn,
                       std::string_view jnp, int sdt, int sgt, std::string_view sgs,
                       std::string_view op) {
    return "updatesign.asp?fn=" + enc(fn) + "&fnp=" + raw(fnp) + "&jn=" + enc(jn) +
           "&jnp=" + raw(jnp) + "&sdt=" + num(sdt) + "&sgt=" + num(sgt) + "&sgs=" + enc(sgs) +
           "&op=" + raw(op);
}

std::string getSignList(std::string_view fn, int sdt, std::string_view sign) {
    return "getsignlist.asp?fn=" + enc(fn) + "&sdt=" + num(sdt) + "&sign=" + raw(sign);
}

}  // namespace request
}  // namespace orv
