#include "app/pending.h"

namespace app {

TPendingChatMsg* TPendingChatMsgList::FindOrCreate(std::int32_t chatMsgId) {
  for (TPendingChatMsg* r = head_; r != nullptr; r = r->Next) {
    if (r->ChatMsgID == chatMsgId) return r;
  }
  auto* record = new TPendingChatMsg;
  record->ChatMsgID = chatMsgId;
  record->Prev = tail_;
  if (tail_ == nullptr) {
    head_ = record;
  } else {
    tail_->Next = record;
  }
  tail_ = record;
  return record;
}

void TPendingChatMsgList::Remove(TPendingChatMsg* record) {
  if (record->Prev != nullptr) {
    record->Prev->Next = record->Next;
  } else {
    head_ = record->Next;
  }
  if (record->Next != nullptr) {
    record->Next->Prev = record->Prev;
  } else {
    tail_ = record->Prev;
  }
  delete record;
}

void TPendingChatMsgList::Clear() {
  while (head_ != nullptr) Remove(head_);
}

std::size_t TPendingChatMsgList::Count() const {
  std::size_t n = 0;
  for (TPendingChatMsg* r = head_; r != nullptr; r = r->Next) ++n;
  return n;
}

}  // namespace app
