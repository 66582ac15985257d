#include "app/pending.h"

namespace app {

TPendingChatMsg* TPendingChatMsgList::FindOrCreate(std::int32_t chatMsgId) {
  for (TPendingChatMsg& record : records_) {
    if (record.ChatMsgID == chatMsgId) return &record;
  }
  return &records_.emplace_back(TPendingChatMsg{chatMsgId, {}, {}});
}

void TPendingChatMsgList::Remove(const TPendingChatMsg* record) {
  records_.remove_if([record](const TPendingChatMsg& r) { return &r == record; });
}

}  // namespace app
