// refhost's progress sink: what a host hands to AsmTreeCreateAndLoad so that
// it hears of every file a load reads and can stop the load.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "quorra/host/com.h"

namespace quorra::refhost {

// Counts the reports of a load, keeps their texts (when asked to) and the
// last one, hands each to an observer, and answers JPROGRESS_CONTINUE until
// told to stop. Reports may come from any thread (a threaded load reports
// from its worker); the observer runs on the reporting thread.
class ProgressSink final : public host::ComObject<JProgress> {
 public:
  // Called with each report's text and the number of reports so far (this
  // one included).
  using Observer = std::function<void(const wchar_t* text, uint64_t reports)>;

  static host::ComPtr<ProgressSink> Create(Observer observer = {});

  HRESULT SetRange(DWORD total) override;                // slot 3
  HRESULT Step(DWORD amount) override;                   // slot 4
  HRESULT ReportProgress(const wchar_t* text) override;  // slot 5

  // Every report after the first `reports` ones answers `answer` instead of
  // JPROGRESS_CONTINUE (anything else asks the load to stop).
  void StopAfter(uint64_t reports, HRESULT answer = S_OK);
  // From the next report on.
  void Stop(HRESULT answer = S_OK);
  // Keeps every report's text for Texts() (off by default).
  void KeepTexts(bool keep);

  uint64_t Reports() const;
  std::wstring LastText() const;
  std::vector<std::wstring> Texts() const;
  DWORD Total() const;
  DWORD Position() const;

 private:
  explicit ProgressSink(Observer observer) : observer_(std::move(observer)) {}
  ~ProgressSink() override = default;

  mutable std::mutex mutex_;
  Observer observer_;
  uint64_t reports_ = 0;
  uint64_t stopAfter_ = UINT64_MAX;
  HRESULT stopAnswer_ = S_OK;
  bool keepTexts_ = false;
  std::wstring last_;
  std::vector<std::wstring> texts_;
  DWORD total_ = 0;
  DWORD position_ = 0;
};

}  // namespace quorra::refhost
