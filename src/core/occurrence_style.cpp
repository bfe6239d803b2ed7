// Occurrence style: the symbology an occurrence is drawn with (its own, its
// attachment's, one made from its override colour, or a simplified-display
// colour of the view), the style of a symbology with the per-node style
// cache, the node's style library and its override colour.
#include <cstdint>

#include "core/occurrence_internal.h"
#include "quorra/symbology.h"

namespace {

constexpr DWORD kSimplifiedDisplayModes =
    ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY | ASMTREE_SIMPLIFYASM_VISIBLEFACE_DISPLAY;

// The symbologies of the four simplified-display colours, read from the
// view whenever a tree's default-symbology dirty bit is set. Process-wide,
// like the view settings they mirror.
DWORD gSimplifiedSymbologies[DISPLAY_SETTING_SIMPLIFIED_COLOR_COUNT] = {};

// A packed colour (byte 0 red, 1 green, 2 blue, 3 alpha) as a packed
// symbology: the channels as levels, first material level 0.85, the others
// 0, the width code of width 1.
DWORD PackedSymbologyOfColor(DWORD rgba) {
  auto channel = [rgba](int shift) { return ((rgba >> shift) & 0xFF) / 255.0; };
  return quorra::PackSymbology(channel(0), channel(8), channel(16), channel(24), 0.85, 0.0, 0.0, 1.0);
}

// Re-reads the four colours from the view's settings (a colour the view
// cannot give keeps its slot) and clears the tree's dirty bit.
void RefreshSimplifiedSymbologies(AsmTree* tree, IJDisplaySettings* settings) {
  for (DWORD i = 0; i < DISPLAY_SETTING_SIMPLIFIED_COLOR_COUNT; ++i) {
    DWORD color = 0;
    if (FAILED(settings->GetSetting(DISPLAY_SETTING_SIMPLIFIED_COLOR_FIRST + i, &color))) continue;
    gSimplifiedSymbologies[i] = PackedSymbologyOfColor(color | 0xFF000000u);
  }
  tree->SetDirty(tree->GetDirty() & ~ASMTREE_DIRTY_DEFAULT_SYMBOLOGY);
}

bool InSimplifiedDisplayMode(const AsmTree* tree) { return tree && (tree->GetProperties() & kSimplifiedDisplayModes); }

}  // namespace

DWORD OccurrenceNode::GetSymbology() const {
  AsmTree* tree = GetAsmTree();
  const DWORD overrideColor = GetOverrideColor();
  IJDisplaySettings* settings = nullptr;
  if (tree && overrideColor == OCC_NO_OVERRIDE_COLOR && InSimplifiedDisplayMode(tree)) {
    if (JGraphicContext* context = tree->GetGraphicContext()) settings = context->GetDisplaySettings();
  }
  if (!tree || (overrideColor == OCC_NO_OVERRIDE_COLOR && !settings)) {
    if (symbology_) return symbology_;
    return attachment_ ? attachment_->GetSymbology() : 0;
  }
  if (overrideColor != OCC_NO_OVERRIDE_COLOR) return PackedSymbologyOfColor(overrideColor);

  if (tree->GetDirty() & ASMTREE_DIRTY_DEFAULT_SYMBOLOGY) RefreshSimplifiedSymbologies(tree, settings);
  // The third colour is read with the others but has no use here.
  if (tree->GetSimplifyAsmExcludeOccs()->count(const_cast<OccurrenceNode*>(this))) return gSimplifiedSymbologies[0];
  return (tree->GetProperties() & ASMTREE_SIMPLIFYASM_EXCLUDEOCC_DISPLAY) ? gSimplifiedSymbologies[3]
                                                                          : gSimplifiedSymbologies[1];
}

HRESULT OccurrenceNode::SetSymbology(DWORD symbology) {
  symbology_ = symbology;
  return S_OK;
}

GGlobalStyle3D* OccurrenceNode::GetStyle(DWORD fallback) {
  // The simplified display modes recolour by tree state: never cached.
  if (InSimplifiedDisplayMode(GetAsmTree()))
    return quorra::FindOrCreateSymbologyStyle(GetStyleLibrary(), GetSymbology());

  const DWORD key = symbology_ ? symbology_ : fallback;
  if (cold_ && cold_->cachedStyle && cold_->cachedStyleKey == key) return cold_->cachedStyle;

  GGlobalStyle3D* style = nullptr;
  if (!symbology_ && attachment_) style = attachment_->GetStyle(fallback);
  if (!style) style = quorra::FindOrCreateSymbologyStyle(GetStyleLibrary(), key);
  // Only packed symbologies are cached: their style depends on the word
  // alone, while a library key may be restyled by the host.
  if (style && (key & SYMBOLOGY_PACKED)) {
    if (ColdState* cold = Cold()) {
      cold->cachedStyleKey = key;
      cold->cachedStyle = style;
    }
  }
  return style;
}

IJStyleLibrary* OccurrenceNode::GetStyleLibrary() const {
  return ValidateStyleLibrary(cold_ ? cold_->styleLibrary : nullptr);
}

HRESULT OccurrenceNode::SetStyleLibrary(IJStyleLibrary* library) {
  IJStyleLibrary* stored = cold_ ? cold_->styleLibrary : nullptr;
  if (library == stored) return S_OK;
  ColdState* cold = Cold();
  if (!cold) return E_OUTOFMEMORY;
  // A stored library the host has destroyed meanwhile is not released.
  if (stored && ValidateStyleLibrary(stored) == stored) stored->Release();
  IJStyleLibrary* validated = ValidateStyleLibrary(library);
  validated->AddRef();
  cold->styleLibrary = validated;
  cold->cachedStyleKey = 0;
  cold->cachedStyle = nullptr;
  return S_OK;
}

DWORD OccurrenceNode::GetOverrideColor() const { return cold_ ? cold_->overrideColor : OCC_NO_OVERRIDE_COLOR; }

HRESULT OccurrenceNode::SetOverrideColor(DWORD color) {
  if (color != OCC_NO_OVERRIDE_COLOR || cold_) {
    ColdState* cold = Cold();
    if (!cold) return E_OUTOFMEMORY;
    cold->overrideColor = color;
  }
  if (color != OCC_NO_OVERRIDE_COLOR) return S_OK;
  // Dropping the colour in a tree with display properties shows the
  // occurrence in the tree's transparent colour instead.
  AsmTree* tree = GetAsmTree();
  if (tree && tree->GetProperties() != 0) {
    RemoveUserData(UD_TRANSPARENT_DISPLAY);
    AddUserData(UD_TRANSPARENT_DISPLAY, reinterpret_cast<void*>(static_cast<uintptr_t>(tree->GetTransparentColor())));
  }
  return S_OK;
}

HRESULT OccurrenceNode::ClearOverrideColor() {
  RemoveUserData(UD_TRANSPARENT_DISPLAY);
  if (cold_) cold_->overrideColor = OCC_NO_OVERRIDE_COLOR;
  return S_OK;
}

extern "C" DWORD PartOccurrenceGetSymbolody(PartOccurrence* occurrence) {
  return occurrence ? occurrence->GetSymbology() : 0;
}

extern "C" void PartOccurrenceSetSymbolody(PartOccurrence* occurrence, DWORD symbology) {
  if (occurrence) occurrence->SetSymbology(symbology);
}
