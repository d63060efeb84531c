#pragma once
// Notices what happened to mails between two turns of the headless client's loop and turns it
// into event lines: a mail arrived, its files are complete, a delivery finished, a mail was
// refused. It looks only at new rows and at the mails it still follows, so a large mailbox
// costs nothing per turn.
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "session/client_session.h"

namespace orv {

std::string hexKey(uint64_t key);

class MailWatch {
  public:
    explicit MailWatch(ClientSession& s) : s_(s) {}
    void poll(const std::function<void(const std::string&)>& emit);

  private:
    void follow(int m);
    ClientSession& s_;
    int seenMails_ = 0;
    bool primed_ = false;  // mails already there at start are not news
    std::set<uint64_t> sending_, receiving_, refused_;
    std::set<uint64_t> announced_;  // received mails already told of (or there at start)
};

}  // namespace orv
