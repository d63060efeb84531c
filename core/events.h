#pragma once
// What happened in a client session, announced by whoever knows it at that moment (the
// engine, the reception, the delivery, a subsystem's façade) and handed out by the session
// after each service, in the order pushed. Windows turn each into a Qt signal; the headless
// client prints each as an event line. Nobody finds changes by comparing tables.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace orv {

enum class EventKind : uint8_t {
    MailArrived,        // key: a received mail for the current user was stored
    FilesComplete,      // key: every file of a received mail is complete
    DeliveryChanged,    // key, value: a delivery of an outgoing mail reached state `value`
    DeliveryDone,       // key: an outgoing mail reached every recipient and is in Sent now
    MailRefused,        // key, text: the recipient `text` of an outgoing mail does not exist
    LoggedInElsewhere,  // text: the message to show; nobody is current any more
    ReceiptsDone,       // key, value 1 or 0, text: the receipts of a mail were registered or not
    GroupChanged,       // the group data changed
    JoinRequested,      // text, detail: user `text` asks to join the user's own group `detail`
    JoinRefused,        // text: the creator of group `text` refused the user's join request
    GroupJoined,        // text, detail: the user became a member of group `text` of `detail`
    MailSigned,         // key, value 1 or 0, text: signing a received mail ended (message)
    ListingArrived,     // text: the path of a folder listing that arrived from its owner
    ShareChanged,       // the user's own shared folders changed
    TransferChanged,    // value, text, detail: a transfer of remote path `text` to local path
                        // `detail` reached state `value` (-1: it left the list)
    RelayLinkChanged,   // value 1, text: linked to relay `text`; value 0: no relay link now
};

struct SessionEvent {
    EventKind kind = EventKind::MailArrived;
    uint64_t key = 0;
    int32_t value = 0;
    std::string text;
    std::string detail;
};

class EventQueue {
  public:
    void push(EventKind kind, uint64_t key = 0, int32_t value = 0, std::string text = {},
              std::string detail = {}) {
        events_.push_back({kind, key, value, std::move(text), std::move(detail)});
    }
    bool empty() const { return events_.empty(); }
    size_t size() const { return events_.size(); }
    // Everything pushed so far, oldest first; the queue is empty afterwards.
    std::vector<SessionEvent> take() { return std::exchange(events_, {}); }

  private:
    std::vector<SessionEvent> events_;
};

}  // namespace orv
