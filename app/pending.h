#pragma once

// The pending chat messages: one record per chat message id whose sender and body are not both
// known yet, in a doubly linked list in order of creation that owns its records.

#include <cstddef>
#include <cstdint>
#include <string>

namespace app {

struct TPendingChatMsg {
  std::int32_t ChatMsgID = 0;
  std::string FromHandle;           // 8-bit, as the link delivers it
  std::string Body;                 // the body's UTF-8 bytes
  TPendingChatMsg* Next = nullptr;  // newer
  TPendingChatMsg* Prev = nullptr;  // older

  bool Complete() const { return !FromHandle.empty() && !Body.empty(); }
};

class TPendingChatMsgList {
 public:
  TPendingChatMsgList() = default;
  ~TPendingChatMsgList() { Clear(); }
  TPendingChatMsgList(const TPendingChatMsgList&) = delete;
  TPendingChatMsgList& operator=(const TPendingChatMsgList&) = delete;

  // The first record with this id from the head, or a new one appended at the tail.
  TPendingChatMsg* FindOrCreate(std::int32_t chatMsgId);
  // Unlinks the record and frees it.
  void Remove(TPendingChatMsg* record);
  // Frees every record; head and tail empty.
  void Clear();

  TPendingChatMsg* Head() const { return head_; }
  TPendingChatMsg* Tail() const { return tail_; }
  std::size_t Count() const;

 private:
  TPendingChatMsg* head_ = nullptr;
  TPendingChatMsg* tail_ = nullptr;
};

}  // namespace app
