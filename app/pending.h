#pragma once

// The pending chat messages: one record per chat message id whose sender and body are not both
// known yet, in order of creation. Records stay where they are while others come and go, so a
// handler may hold one across nested calls of the link.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>

namespace app {

struct TPendingChatMsg {
  std::int32_t ChatMsgID = 0;
  std::string FromHandle;  // 8-bit, as the link delivers it
  std::string Body;        // the body's UTF-8 bytes

  bool Complete() const { return !FromHandle.empty() && !Body.empty(); }
};

class TPendingChatMsgList {
 public:
  // The first record with this id from the oldest, or a new one after the newest.
  TPendingChatMsg* FindOrCreate(std::int32_t chatMsgId);
  // Takes the record out of the list and frees it.
  void Remove(const TPendingChatMsg* record);
  // Frees every record.
  void Clear() { records_.clear(); }

  // Oldest first.
  const std::list<TPendingChatMsg>& Records() const { return records_; }
  std::size_t Count() const { return records_.size(); }

 private:
  std::list<TPendingChatMsg> records_;
};

}  // namespace app
