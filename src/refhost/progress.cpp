// refhost's progress sink.
#include "quorra/refhost/progress.h"

#include <algorithm>

namespace quorra::refhost {

host::ComPtr<ProgressSink> ProgressSink::Create(Observer observer) {
  return host::ComPtr<ProgressSink>(new ProgressSink(std::move(observer)));
}

HRESULT ProgressSink::SetRange(DWORD total) {
  std::lock_guard<std::mutex> lock(mutex_);
  total_ = total;
  position_ = 0;
  return S_OK;
}

HRESULT ProgressSink::Step(DWORD amount) {
  std::lock_guard<std::mutex> lock(mutex_);
  position_ = amount > total_ - std::min(position_, total_) ? total_ : position_ + amount;
  return S_OK;
}

HRESULT ProgressSink::ReportProgress(const wchar_t* text) {
  const wchar_t* shown = text ? text : L"";
  uint64_t count;
  HRESULT answer;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    count = ++reports_;
    answer = count > stopAfter_ ? stopAnswer_ : JPROGRESS_CONTINUE;
    last_ = shown;
    if (keepTexts_) texts_.push_back(last_);
  }
  // Outside the lock: an observer may ask the sink anything.
  if (observer_) observer_(shown, count);
  return answer;
}

void ProgressSink::StopAfter(uint64_t reports, HRESULT answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopAfter_ = reports;
  stopAnswer_ = answer;
}

void ProgressSink::Stop(HRESULT answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopAfter_ = reports_;
  stopAnswer_ = answer;
}

void ProgressSink::KeepTexts(bool keep) {
  std::lock_guard<std::mutex> lock(mutex_);
  keepTexts_ = keep;
}

uint64_t ProgressSink::Reports() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return reports_;
}

std::wstring ProgressSink::LastText() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_;
}

std::vector<std::wstring> ProgressSink::Texts() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return texts_;
}

DWORD ProgressSink::Total() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return total_;
}

DWORD ProgressSink::Position() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return position_;
}

}  // namespace quorra::refhost
