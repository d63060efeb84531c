#pragma once
// The account flows: log in, log out, create an account, change the password. Each runs as a
// polled flow (step() until it is done) so windows keep painting and the engine keeps pumping
// while the directory answers; each ends with the message a user is shown.
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/core_tables.h"
#include "core/session_state.h"
#include "core/text.h"
#include "directory/directory_client.h"

namespace orv {

inline constexpr const char* kMakerWebAddress = "www.orvantel.net";

namespace texts {
inline constexpr TextPair kCantAccessServer{"Can't access Orvantel server, Please check network!",
                                            "不能连接到服务器，请检测网络是否连通！"};
inline constexpr TextPair kLoginRefused{"Error username or password!",
                                        "登录失败，请检查用户名、密码是否正确！"};
inline constexpr TextPair kLoginElsewhere{"This user login on another machine!",
                                          "该用户已在其它机器登陆!"};
inline constexpr TextPair kWrongUserName{"Wrong user name!", "用户名只能由字母数字组成！"};
inline constexpr TextPair kWrongPassword{"Wrong password!", "错误的密码！"};
inline constexpr TextPair kBadConfirm{"Error confirm passwd!", "错误的确认密码！"};
inline constexpr TextPair kRegistered{"Register success!", "注册成功"};
inline constexpr TextPair kUserExists{"User exist,please input another user name!",
                                      "该用户名已存在，请输入其他用户名。"};
inline constexpr TextPair kCantConnect{"Can't connect to server!", "不能连接到服务器"};
inline constexpr TextPair kPromptUser{"Input User Name", "请输入用户名称"};
inline constexpr TextPair kPromptOld{"Input Old Password", "请输入旧密码"};
inline constexpr TextPair kPromptNew{"Input New Password", "请输入新密码"};
inline constexpr TextPair kPromptConfirm{"Confirm New Password", "请再次输入新密码"};
inline constexpr TextPair kPasswordInputError{"Input password error!", "输入密码错误!"};
inline constexpr TextPair kPasswordChanged{"Modify Password success.", "修改密码成功！"};
inline constexpr TextPair kPasswordNotChanged{"Fail to Modify Password.", "修改密码失败！"};
}  // namespace texts

// The notice for an account that is about to be closed, in the session's language.
std::string accountClosingNotice(UiLanguage lang);

// Only letters and digits.
bool isPlainAlnum(std::string_view s);

// The address this client reports at login: the fixed address (settings string 1) when its
// switch (number 17) is on and it is set, else the first non-loopback IPv4 address of this
// machine (loopback only when there is none); then ":" and the peer port.
// `listenAddress`: the one address the peer listener is bound to (empty or 0.0.0.0: all).
std::string loginIpValue(const CoreTables& t, int peerPort, std::string_view listenAddress = {});
std::string firstReachableIpv4();

// Up to three logout requests, stopping at the first that is acknowledged.
class LogoutFlow {
  public:
    explicit LogoutFlow(DirectoryClient& dir) : dir_(dir), ex_(dir.api(), dir.clock()) {}
    void start(const std::string& user, const std::string& password);
    // True when done; `succeeded()` says whether one request was acknowledged.
    bool step();
    bool succeeded() const { return ok_; }
    int requestsSent() const { return sent_; }
    const DirectoryExchange& exchange() const { return ex_; }

  private:
    DirectoryClient& dir_;
    DirectoryExchange ex_;
    std::string query_;
    int sent_ = 0;
    bool ok_ = false;
    bool running_ = false;
};

class LoginFlow {
  public:
    struct Input {
        std::string user, password;
        bool remember = false;
        std::string previousUser, previousPassword;
        std::string ip;         // loginIpValue()
        bool askRelay = false;  // the user wants to be reached through a relay
    };
    enum class Result { Running, LoggedIn, Refused, NoAnswer, Ignored };

    // `resetEngine` closes every peer link with a goodbye (a new user starts clean).
    LoginFlow(DirectoryClient& dir, CoreTables& tables, SessionState& state,
              std::function<void()> resetEngine);
    void start(Input in);
    Result step();
    Result result() const { return result_; }
    // Messages to show, in order (the closing notice comes with a successful login).
    const std::vector<std::string>& messages() const { return messages_; }
    int attempts() const { return attempts_; }
    bool loggedOutPrevious() const { return loggedOutPrevious_; }
    const DirectoryExchange& exchange() const { return ex_; }
    const LogoutFlow& logout() const { return logout_; }

  private:
    void finishAccepted();
    DirectoryClient& dir_;
    CoreTables& tables_;
    SessionState& state_;
    std::function<void()> resetEngine_;
    DirectoryExchange ex_;
    LogoutFlow logout_;
    Input in_;
    int attempts_ = 0;
    int connectMode_ = 0;
    bool loggingOut_ = false;
    bool loggedOutPrevious_ = false;
    Result result_ = Result::Ignored;
    std::vector<std::string> messages_;
};

// After a login: the user becomes current, and the user's own branch of the shared folders
// exists.
void makeLoginCurrent(CoreTables& t, SessionState& s, const std::string& user,
                      const std::string& password);

// A flow of one validated request that ends with a message.
class AccountRequestFlow {
  public:
    bool step();  // true when done
    bool succeeded() const { return ok_; }
    const std::string& message() const { return message_; }
    bool sentRequest() const { return sent_; }
    const DirectoryExchange& exchange() const { return ex_; }

  protected:
    explicit AccountRequestFlow(DirectoryClient& dir) : dir_(dir), ex_(dir.api(), dir.clock()) {}
    ~AccountRequestFlow() = default;
    void reset() {
        sent_ = ok_ = false;
        message_.clear();
    }
    bool refuse(const TextPair& why) {
        message_ = pick(dir_.language(), why);
        return false;
    }
    void send(const std::string& pageAndQuery) {
        dir_.start(ex_, pageAndQuery);
        sent_ = true;
    }
    // The outcome of the reply: success, and the message to show.
    virtual bool judge(const std::string& reply) = 0;

    DirectoryClient& dir_;
    DirectoryExchange ex_;
    bool sent_ = false, ok_ = false;
    std::string message_;
};

class CreateAccountFlow final : public AccountRequestFlow {
  public:
    explicit CreateAccountFlow(DirectoryClient& dir) : AccountRequestFlow(dir) {}
    // Validates; false (with the message set) when nothing is sent.
    bool start(const std::string& user, const std::string& password, const std::string& confirm);

  private:
    bool judge(const std::string& reply) override;
};

class ChangePasswordFlow final : public AccountRequestFlow {
  public:
    explicit ChangePasswordFlow(DirectoryClient& dir) : AccountRequestFlow(dir) {}
    bool start(const std::string& user, const std::string& oldPassword,
               const std::string& newPassword, const std::string& confirm);

  private:
    bool judge(const std::string& reply) override;
};

}  // namespace orv
