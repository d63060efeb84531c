#include "directory/account.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstdio>

#include "directory/request.h"
#include "net/codec.h"

namespace orv {

std::string accountClosingNotice(UiLanguage lang) {
    if (lang == UiLanguage::Chinese)
        return std::string("该账户即将被关闭，具体详情请访问") + kMakerWebAddress + "！";
    return std::string("These account will be closed, Please visit ") + kMakerWebAddress +
           " for more information!";
}

bool isPlainAlnum(std::string_view s) {
    for (char c : s) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!ok) return false;
    }
    return true;
}

std::string firstReachableIpv4() {
    ifaddrs* list = nullptr;
    std::string loopback = "127.0.0.1";
    std::string found;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs* i = list; i && found.empty(); i = i->ifa_next) {
            if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP))
                continue;
            uint32_t a = ntohl(reinterpret_cast<sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
            if ((a >> 24) == 127) continue;
            char buf[32];
            std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", a >> 24, (a >> 16) & 255, (a >> 8) & 255,
                          a & 255);
            found = buf;
        }
        freeifaddrs(list);
    }
    return found.empty() ? loopback : found;
}

std::string loginIpValue(const CoreTables& t, int peerPort, std::string_view listenAddress) {
    std::string fixed = t.settingString(SettingString::FixedAddress);
    // A listener bound to one address is reachable there and nowhere else.
    const bool boundToOne = !listenAddress.empty() && listenAddress != "0.0.0.0";
    std::string host = (t.settingNumber(Setting::UseFixedAddress) && !fixed.empty()) ? fixed
                       : boundToOne ? std::string(listenAddress)
                                    : firstReachableIpv4();
    return host + ":" + std::to_string(peerPort);
}

// ---------------------------------------------------------------- log out

void LogoutFlow::start(const std::string& user, const std::string& password) {
    query_ = request::logout(toWire(user), toWire(password));
    sent_ = 0;
    ok_ = false;
    running_ = true;
    dir_.start(ex_, query_);
    ++sent_;
}

bool LogoutFlow::step() {
    if (!running_) return true;
    if (!ex_.step()) return false;
    if (judgeLogout(ex_.reply())) {
        ok_ = true;
        running_ = false;
        return true;
    }
    if (sent_ >= 3) {
        running_ = false;
        return true;
    }
    dir_.start(ex_, query_);
    ++sent_;
    return false;
}

// ---------------------------------------------------------------- log in

LoginFlow::LoginFlow(DirectoryClient& dir, CoreTables& tables, SessionState& state,
                     std::function<void()> resetEngine)
    : dir_(dir),
      tables_(tables),
      state_(state),
      resetEngine_(std::move(resetEngine)),
      ex_(dir.api(), dir.clock()),
      logout_(dir) {}

void LoginFlow::start(Input in) {
    in_ = std::move(in);
    messages_.clear();
    attempts_ = 0;
    loggingOut_ = false;
    loggedOutPrevious_ = false;
    if (in_.user.empty()) {
        result_ = Result::Ignored;
        return;
    }
    result_ = Result::Running;
    dir_.start(ex_, request::login(toWire(in_.user), toWire(in_.password), in_.ip, in_.askRelay));
    ++attempts_;
}

LoginFlow::Result LoginFlow::step() {
    if (result_ != Result::Running) return result_;
    if (loggingOut_) {
        if (!logout_.step()) return result_;
        loggingOut_ = false;
        finishAccepted();
        return result_;
    }
    if (!ex_.step()) return result_;
    LoginAnswer a = judgeLogin(ex_.reply());
    if (a == LoginAnswer::NoAnswer) {
        if (attempts_ < 3) {
            dir_.start(
                ex_, request::login(toWire(in_.user), toWire(in_.password), in_.ip, in_.askRelay));
            ++attempts_;
            return result_;
        }
        messages_.emplace_back(pick(state_.language, texts::kCantAccessServer));
        result_ = Result::NoAnswer;
        return result_;
    }
    // Every recognised answer tells us our own address as the directory has it.
    if (!tables_.cachedAddress(in_.user)) tables_.cacheAddress(in_.user, in_.ip);
    if (a == LoginAnswer::Refused) {
        messages_.emplace_back(pick(state_.language, texts::kLoginRefused));
        result_ = Result::Refused;
        return result_;
    }
    connectMode_ = a == LoginAnswer::AcceptedRelay ? 1 : 0;
    if (a == LoginAnswer::AcceptedWarn) messages_.push_back(accountClosingNotice(state_.language));
    if (!in_.previousUser.empty() && !equalsIgnoreCase(in_.previousUser, in_.user)) {
        logout_.start(in_.previousUser, in_.previousPassword);
        loggingOut_ = true;
        loggedOutPrevious_ = true;
        return result_;
    }
    finishAccepted();
    return result_;
}

void LoginFlow::finishAccepted() {
    state_.connectMode = connectMode_;
    if (resetEngine_) resetEngine_();
    tables_.addressCacheNames.clear();
    tables_.addressCacheAddresses.clear();
    tables_.addressCacheTimes.clear();
    tables_.savedLogin.clear();
    if (in_.remember) {
        tables_.savedLogin.append(in_.user);
        tables_.savedLogin.append(in_.password);
        tables_.savedLogin.append("");
    }
    tables_.noteChange();
    result_ = Result::LoggedIn;
}

void makeLoginCurrent(CoreTables& t, SessionState& s, const std::string& user,
                      const std::string& password) {
    s.currentUser = user;
    s.currentPassword = password;
    s.loggedInElsewhere = false;
    std::string branch = "/" + user + "/";
    if (t.shareFolderPaths.find(branch) < 0) {
        t.shareFolderPaths.append(branch);
        t.shareFolderTags.append(0);
    }
}

// ---------------------------------------------------------------- accounts

bool AccountRequestFlow::step() {
    if (!sent_ || !message_.empty()) return true;
    if (!ex_.step()) return false;
    ok_ = judge(ex_.reply());
    return true;
}

bool CreateAccountFlow::start(const std::string& user, const std::string& password,
                              const std::string& confirm) {
    reset();
    if (user.empty() || !isPlainAlnum(user)) return refuse(texts::kWrongUserName);
    if (!isPlainAlnum(password)) return refuse(texts::kWrongPassword);
    if (confirm != password) return refuse(texts::kBadConfirm);
    send(request::insertUser(user, password, dir_.languageLetter(), ""));
    return true;
}

bool CreateAccountFlow::judge(const std::string& reply) {
    switch (judgeAccount(reply)) {
        case Outcome::Success:
            message_ = pick(dir_.language(), texts::kRegistered);
            return true;
        case Outcome::Refused:
            message_ = pick(dir_.language(), texts::kUserExists);
            return false;
        case Outcome::NoAnswer:
            message_ = pick(dir_.language(), texts::kCantConnect);
            return false;
    }
    return false;
}

bool ChangePasswordFlow::start(const std::string& user, const std::string& oldPassword,
                               const std::string& newPassword, const std::string& confirm) {
    reset();
    if (newPassword != confirm || !isPlainAlnum(newPassword))
        return refuse(texts::kPasswordInputError);
    send(
        request::insertUser(toWire(user), newPassword, dir_.languageLetter(), toWire(oldPassword)));
    return true;
}

bool ChangePasswordFlow::judge(const std::string& reply) {
    bool ok = judgeAccount(reply) == Outcome::Success;
    message_ = pick(dir_.language(), ok ? texts::kPasswordChanged : texts::kPasswordNotChanged);
    return ok;
}

}  // namespace orv
