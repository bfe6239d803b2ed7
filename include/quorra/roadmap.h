// DisplayRoadmap: the path of an occurrence as the attachment ids met going
// from the root assembly down to it, root side first. The empty roadmap names
// the root occurrence; a roadmap of exactly one 0 link is the null roadmap.
#pragma once

#include "quorra/host/types.h"

class JRoadmap;

class DisplayRoadmap {
 public:
  DisplayRoadmap() = default;
  // An empty roadmap with no array when firstLink is 0; otherwise the single
  // link firstLink with room for `capacity` links (outside 1..10: 2).
  DisplayRoadmap(DWORD firstLink, DWORD capacity);
  explicit DisplayRoadmap(const JRoadmap& roadmap);
  DisplayRoadmap(const DisplayRoadmap& other);
  DisplayRoadmap(DisplayRoadmap&& other) noexcept;
  DisplayRoadmap& operator=(const DisplayRoadmap& other);
  DisplayRoadmap& operator=(DisplayRoadmap&& other) noexcept;
  DisplayRoadmap& operator=(const JRoadmap& roadmap);
  ~DisplayRoadmap();

  DWORD GetEntryCount() const { return count_; }
  const DWORD* GetData() const { return links_; }
  // The link at index, or 0xFFFFFFFF when index is not below the count.
  DWORD GetData(DWORD index) const { return (links_ && index < count_) ? links_[index] : 0xFFFFFFFFu; }
  // The number of links the array can hold without growing.
  DWORD GetCapacity() const { return links_ ? capacity_ : 0; }

  // S_OK for the empty roadmap and for the single link 0, else S_FALSE.
  HRESULT IsNullRoadmap() const;
  // Count difference when the counts differ, else memcmp of the links.
  int Compare(const DisplayRoadmap* other) const;
  // 0 when `other` is a prefix of (or equal to) this roadmap.
  int PartialCompare(const DisplayRoadmap* other) const;
  // Writes the roadmap as one line to the debug output.
  void Dump() const;

  void Clear() { count_ = 0; }
  HRESULT AddLink(DWORD link) {
    if (count_ >= GetCapacity()) {
      HRESULT hr = SetSize(GetCapacity() + 10);
      if (FAILED(hr)) return hr;
    }
    links_[count_++] = link;
    return S_OK;
  }
  HRESULT AddLinks(DWORD n, const DWORD* links);
  HRESULT SetLink(DWORD index, DWORD link);
  HRESULT SetTopLink(DWORD link);
  HRESULT RemoveTopLink();
  void InvertPath();
  HRESULT MakeNullRoadmap();
  // Makes the array hold exactly `capacity` links; the count is unchanged.
  HRESULT SetSize(DWORD capacity);
  HRESULT Copy(const DisplayRoadmap* other);

  friend bool operator==(const DisplayRoadmap& a, const DisplayRoadmap& b) { return a.Compare(&b) == 0; }
  friend bool operator!=(const DisplayRoadmap& a, const DisplayRoadmap& b) { return a.Compare(&b) != 0; }
  // Shorter roadmaps first, then by link bytes; consistent with Compare.
  friend bool operator<(const DisplayRoadmap& a, const DisplayRoadmap& b) { return a.Compare(&b) < 0; }

 private:
  void AppendFrom(const JRoadmap& roadmap);

  DWORD count_ = 0;
  // The array's size in links. It lives in what would otherwise be padding
  // between the count and the pointer, so the value stays two words.
  DWORD capacity_ = 0;
  DWORD* links_ = nullptr;
};

extern "C" {
// A heap roadmap made by DisplayRoadmap(firstLink, capacity); null when it
// cannot be allocated.
DisplayRoadmap* JCreateDisplayRoadmap(DWORD firstLink, DWORD capacity);
// E_INVALIDARG for null; otherwise destroys and frees it.
HRESULT JDeleteDisplayRoadmap(DisplayRoadmap* roadmap);
}
