// Styles of the host's display library: colours (GColor), style materials
// (GStyle3D), named styles (GGlobalStyle3D) and the style library interface
// (IJStyleLibrary) through which the library finds and makes styles by key.
//
// ValidateStyleLibrary answers the library to use for a given one: a live
// library is used as it is; a null or destroyed one is replaced by the
// process-wide reference library, so that style lookups always have a
// library to ask. The reference library (quorra::host::ReferenceStyleLibrary)
// keeps its styles in memory and can be inspected by tests and tools.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/types.h"

// A colour with components in 0..1.
struct GColor {
  float red = 0.0f;
  float green = 0.0f;
  float blue = 0.0f;
  float alpha = 1.0f;

  GColor() = default;
  GColor(float r, float g, float b, float a = 1.0f) : red(r), green(g), blue(b), alpha(a) {}

  // Packed as byte 0 red, byte 1 green, byte 2 blue, byte 3 alpha (each
  // component clamped to 0..1 and rounded to the nearest of 0..255).
  DWORD ColorToRGBA() const;
  // The inverse of ColorToRGBA.
  static GColor FromRGBA(DWORD rgba);
  // This colour moved towards `other` by `factor` (0 keeps this colour, 1
  // gives `other`), every component including alpha.
  GColor BlendToColor(const GColor& other, float factor) const;

  friend bool operator==(const GColor& a, const GColor& b) {
    return a.red == b.red && a.green == b.green && a.blue == b.blue && a.alpha == b.alpha;
  }
};

// The material of a style: its colour (with the fourth component as alpha),
// a second colour triple, three material levels in 0..1 and a line width.
struct GStyle3D {
  GColor color;
  GColor secondColor;
  float levels[3] = {0.0f, 0.0f, 0.0f};
  float lineWidth = 1.0f;
};

// A named style kept by a style library under a 32-bit key. The library owns
// it; it stays valid while the library lives.
class GGlobalStyle3D {
 public:
  GGlobalStyle3D(DWORD key, std::wstring name, const GStyle3D& style)
      : key_(key), name_(std::move(name)), style_(style) {}
  GGlobalStyle3D(const GGlobalStyle3D&) = delete;
  GGlobalStyle3D& operator=(const GGlobalStyle3D&) = delete;

  DWORD GetKey() const { return key_; }
  const std::wstring& GetName() const { return name_; }
  const GStyle3D& GetStyle3D() const { return style_; }

 private:
  DWORD key_;
  std::wstring name_;
  GStyle3D style_;
};

// {8E0C4B71-5A2D-4C39-9F1E-2B7D6A4C3E10}
constexpr IID IID_IJStyleLibrary = {0x8e0c4b71, 0x5a2d, 0x4c39, {0x9f, 0x1e, 0x2b, 0x7d, 0x6a, 0x4c, 0x3e, 0x10}};

// A library of styles by key.
struct IJStyleLibrary : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  // The style stored under `key`, or null.
  virtual GGlobalStyle3D* FindStyle(DWORD key) = 0;  // slot 3
  // Makes a style of that name and material and stores it under `key`
  // (replacing none: an existing key answers S_FALSE and keeps its style).
  virtual HRESULT CreateStyle(DWORD key, const wchar_t* name, const GStyle3D& style) = 0;  // slot 4

 protected:
  ~IJStyleLibrary() = default;
};
QUORRA_INTERFACE_ID(IJStyleLibrary, IID_IJStyleLibrary);

extern "C" {
// The library to use for `library`: itself while it is a live interface,
// else the process-wide reference library. Never null. No reference is
// added.
IJStyleLibrary* ValidateStyleLibrary(IJStyleLibrary* library);
}

namespace quorra::host {

// The reference style library: styles in an ordered map by key. Counts its
// look-ups and creations so tests can see when a cache spared a look-up.
class ReferenceStyleLibrary final : public ComObject<IJStyleLibrary> {
 public:
  ReferenceStyleLibrary() = default;

  GGlobalStyle3D* FindStyle(DWORD key) override;
  HRESULT CreateStyle(DWORD key, const wchar_t* name, const GStyle3D& style) override;

  size_t GetStyleCount() const { return styles_.size(); }
  // The keys in ascending order.
  std::vector<DWORD> GetKeys() const;
  DWORD GetFindCount() const { return findCount_; }
  DWORD GetCreateCount() const { return createCount_; }
  // Forgets every style (styles handed out before become invalid).
  void Clear();

 private:
  ~ReferenceStyleLibrary() override = default;

  std::map<DWORD, std::unique_ptr<GGlobalStyle3D>> styles_;
  DWORD findCount_ = 0;
  DWORD createCount_ = 0;
};

// The process-wide reference library that ValidateStyleLibrary answers in
// place of a missing one (created on first use, never destroyed).
ReferenceStyleLibrary* DefaultStyleLibrary();

}  // namespace quorra::host
