// ListIterator over a site's occurrence list.
#include "quorra/node_list.h"

ListIterator::ListIterator(NodeList<OccurrenceNode>* list) : list_(list) { InitializeCriticalSection(&lock_); }

OccurrenceNode* ListIterator::GetNextNode() {
  quorra::host::CriticalSectionLock lock(&lock_);
  OccurrenceNode* node = list_->GetAt(position_);
  if (node) ++position_;
  return node;
}

void ListIterator::Rewind() {
  quorra::host::CriticalSectionLock lock(&lock_);
  position_ = 0;
}

ULONG ListIterator::AddRef() { return static_cast<ULONG>(++refCount_); }

bool ListIterator::Release() {
  if (--refCount_ != 0) return false;
  DeleteCriticalSection(&lock_);
  delete this;
  return true;
}
