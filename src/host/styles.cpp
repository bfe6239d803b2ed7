// Colours, the style-library validation and the reference style library.
#include "quorra/host/styles.h"

#include <algorithm>
#include <cmath>

namespace {

DWORD ToByte(float component) {
  if (!(component > 0.0f)) return 0;  // also NaN
  if (component >= 1.0f) return 255;
  return static_cast<DWORD>(std::lround(component * 255.0f));
}

}  // namespace

DWORD GColor::ColorToRGBA() const {
  return ToByte(red) | ToByte(green) << 8 | ToByte(blue) << 16 | ToByte(alpha) << 24;
}

GColor GColor::FromRGBA(DWORD rgba) {
  return GColor((rgba & 0xFF) / 255.0f, ((rgba >> 8) & 0xFF) / 255.0f, ((rgba >> 16) & 0xFF) / 255.0f,
                ((rgba >> 24) & 0xFF) / 255.0f);
}

GColor GColor::BlendToColor(const GColor& other, float factor) const {
  auto mix = [factor](float a, float b) { return a + (b - a) * factor; };
  return GColor(mix(red, other.red), mix(green, other.green), mix(blue, other.blue), mix(alpha, other.alpha));
}

extern "C" IJStyleLibrary* ValidateStyleLibrary(IJStyleLibrary* library) {
  if (library && JIsValidInterface(library)) return library;
  return quorra::host::DefaultStyleLibrary();
}

namespace quorra::host {

GGlobalStyle3D* ReferenceStyleLibrary::FindStyle(DWORD key) {
  ++findCount_;
  auto it = styles_.find(key);
  return it == styles_.end() ? nullptr : it->second.get();
}

HRESULT ReferenceStyleLibrary::CreateStyle(DWORD key, const wchar_t* name, const GStyle3D& style) {
  ++createCount_;
  if (styles_.count(key)) return S_FALSE;
  try {
    styles_.emplace(key, std::make_unique<GGlobalStyle3D>(key, name ? name : L"", style));
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

std::vector<DWORD> ReferenceStyleLibrary::GetKeys() const {
  std::vector<DWORD> keys;
  keys.reserve(styles_.size());
  for (const auto& entry : styles_) keys.push_back(entry.first);
  return keys;
}

void ReferenceStyleLibrary::Clear() { styles_.clear(); }

ReferenceStyleLibrary* DefaultStyleLibrary() {
  // Held for the whole process: styles handed out from it stay valid.
  static ReferenceStyleLibrary* library = [] {
    auto* created = new ReferenceStyleLibrary();
    created->AddRef();
    return created;
  }();
  return library;
}

}  // namespace quorra::host
