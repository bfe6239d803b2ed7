// Occurrences: one OccurrenceNode per path of attachments from the root
// assembly down. AssemblyOccurrence owns its children (kept sorted by
// attachment id); PartOccurrence is always a leaf. An occurrence carries the
// per-instance display state: visibility, in-place activation, display
// switches, its world range and world matrix with their dirtiness, and typed
// user data.
//
// Occurrences are not reference counted: AddRef and Release only satisfy
// the interface, and a node's life ends in Destroy.
#pragma once

#include <iosfwd>
#include <cstdio>
#include <map>
#include <new>
#include <utility>
#include <vector>

#include "quorra/attachment.h"
#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/kv_data.h"
#include "quorra/host/text.h"
#include "quorra/node_list.h"
#include "quorra/probe.h"
#include "quorra/site.h"
#include "quorra/tree.h"
#include "quorra/user_data.h"

class AsmTree;
class AssemblyOccurrence;
class AttachmentMatrix;
class AttachmentNode;
class DisplayRoadmap;
class GGlobalStyle3D;
class GraphicInfo;
class JGraphicContext;
class JOverrideBodyData;
class JOverrideExtensions;
class PartOccurrence;
class SiteNode;
class TreeWalkCallback;
struct IJStyleLibrary;
struct IJTimelineCategory;
struct TreeWalkContext;

// ---- Occurrence flag word ----
constexpr DWORD OCC_PART = 0x1;
constexpr DWORD OCC_ASSEMBLY = 0x2;
constexpr DWORD OCC_HIDDEN = 0x4;
constexpr DWORD OCC_DIRTY = 0x8;
constexpr DWORD OCC_POSSIBLY_DIRTY = 0x10;
constexpr DWORD OCC_UNADDED = 0x20;
constexpr DWORD OCC_XFORM_DIRTY = 0x40;
constexpr DWORD OCC_OPEN = 0x80;
constexpr DWORD OCC_IPA = 0x100;
constexpr DWORD OCC_PARENT_IPA = 0x200;
constexpr DWORD OCC_HIDDEN_BY_PARENT = 0x400;
constexpr DWORD OCC_IS_ACTIVE = 0x800;
constexpr DWORD OCC_CONSIDERED_ACTIVE = 0x1000;
constexpr DWORD OCC_LOCK_STYLE = 0x2000;
constexpr DWORD OCC_SIMPLIFIED = 0x4000;
constexpr DWORD OCC_EXPLODE_MATRIX = 0x8000;
constexpr DWORD OCC_OVERRIDDEN_MATRIX = 0x10000;
constexpr DWORD OCC_OVERRIDDEN_BODY = 0x20000;
constexpr DWORD OCC_OVERRIDDEN_STATUS = 0x40000;
constexpr DWORD OCC_OVERRIDDEN_VARIABLES = 0x80000;
constexpr DWORD OCC_OVERRIDDEN = 0xF0000;
constexpr DWORD OCC_COORDSYS_ON = 0x100000;
constexpr DWORD OCC_SKETCHES_ON = 0x200000;
constexpr DWORD OCC_SURFACES_ON = 0x400000;
constexpr DWORD OCC_CURVES_ON = 0x800000;
constexpr DWORD OCC_CONSTRUCTIONS_ON = 0xC00000;
constexpr DWORD OCC_REFPLANES_ON = 0x1000000;
constexpr DWORD OCC_REFAXES_ON = 0x2000000;
constexpr DWORD OCC_ADAPTABLE = 0x4000000;
constexpr DWORD OCC_AS_LASTSAVED = 0x8000000;
constexpr DWORD OCC_ADJUSTABLE_PART = 0x10000000;
constexpr DWORD OCC_IS_ASM_BODY = 0x20000000;
constexpr DWORD OCC_IS_MARKED = 0x80000000u;

// ---- Extended flag word ----
constexpr DWORD OCCX_DIMENSIONS_ON = 0x1;
constexpr DWORD OCCX_ANNOTATIONS_ON = 0x2;
constexpr DWORD OCCX_ANIMATED_STATE_VALID = 0x4;
constexpr DWORD OCCX_USE_IPA_STYLE = 0x8;
constexpr DWORD OCCX_FEA_DISPLAY = 0x10;
constexpr DWORD OCCX_LIVE_SECTIONS_DISPLAY = 0x20;
constexpr DWORD OCCX_DESIGN_BODIES_OFF = 0x40;
constexpr DWORD OCCX_CENTER_LINE_DISPLAY = 0x80;
constexpr DWORD OCCX_FEA_MESH_DISPLAY = 0x100;
constexpr DWORD OCCX_HIDE_IN_DRAWING = 0x200;
constexpr DWORD OCCX_HIDE_IN_SUBASSEMBLY = 0x400;
constexpr DWORD OCCX_NOT_SELECTABLE = 0x800;
constexpr DWORD OCCX_DISPLAY_AS_REFERENCE_IN_DRAFT = 0x1000;
constexpr DWORD OCCX_EXCLUDE_FROM_PHYSICAL_PROPERTIES = 0x2000;
constexpr DWORD OCCX_EXCLUDE_FROM_REPORTS = 0x4000;
constexpr DWORD OCCX_EXCLUDE_FROM_INTERFERENCE = 0x8000;
constexpr DWORD OCCX_PROCESS_FOR_GHOSTING = 0x10000;
constexpr DWORD OCCX_EXCLUDED_FROM_DYNAMIC_SECTION_VIEW = 0x20000;
constexpr DWORD OCCX_DECALS_OFF = 0x40000;
constexpr DWORD OCCX_POINTCLOUDS_OFF = 0x80000;

// The override colour that means "none".
constexpr DWORD OCC_NO_OVERRIDE_COLOR = 0xFFFFFFFEu;

// Setting ids of the four colours of simplified-assembly display, read from
// the graphic context's display settings.
constexpr DWORD DISPLAY_SETTING_SIMPLIFIED_COLOR_FIRST = 0x20014;
constexpr DWORD DISPLAY_SETTING_SIMPLIFIED_COLOR_COUNT = 4;

namespace quorra {
// Override variables of an occurrence: object id -> (type, value); an
// object id may carry several types.
using OverrideVariableMap = std::multimap<DWORD, std::pair<DWORD, double>>;
using OverrideVariableRange = std::pair<OverrideVariableMap::const_iterator, OverrideVariableMap::const_iterator>;
}  // namespace quorra

// How much of a range RefreshRange recomputes.
enum RefreshRangeOptions : DWORD {
  REFRESH_RANGE_FULL = 0,         // every node below, whatever its dirtiness
  REFRESH_RANGE_INCREMENTAL = 2,  // only possibly dirty subtrees
};

class OccurrenceNode : public IJProbeIt {
 public:
  OccurrenceNode(DWORD flags, AttachmentNode* attachment, AssemblyOccurrence* parent);
  OccurrenceNode(const OccurrenceNode& other);
  OccurrenceNode& operator=(const OccurrenceNode& other);

  // ---- IUnknown and probing (slots 0-4) ----
  HRESULT QueryInterface(REFIID iid, void** out) override;
  ULONG AddRef() override { return 1; }
  ULONG Release() override { return 1; }
  HRESULT Probe(std::wstringstream& out, const JProbeOptions& options, const JProbeFormat& format) override;
  HRESULT Probe(IJProbeResults** results, const JProbeOptions& options) override;
  virtual ~OccurrenceNode();   // slot 5
  virtual DWORD GetCrc() = 0;  // slot 6

  // Occurrences are heap objects whose memory is the library's node memory:
  // `new` and `delete` of an occurrence go there.
  static void* operator new(size_t size);
  static void* operator new(size_t size, const std::nothrow_t&) noexcept;
  static void operator delete(void* node) noexcept;
  static void operator delete(void* node, const std::nothrow_t&) noexcept;

  // Refreshes the world matrix; called right after construction.
  HRESULT Init();

  // Destroys the node (and, for an assembly, its subtree) and frees it. A
  // node destroyed by its parent (calledFromParent) does not unlink itself
  // from the parent's list. When a delete-occurrence callback fails the node
  // stays in place and the failure is returned.
  HRESULT Destroy(BOOL calledFromParent);

  // ---- Identity ----
  DWORD GetUid() const { return uid_; }
  DWORD GetFlags() const { return flags_; }
  DWORD GetFlagsEx() const { return flagsEx_; }
  const AttachmentNode* GetAttachment() const { return attachment_; }
  AttachmentNode* GetWritableAttachment() const { return attachment_; }
  DWORD GetAttachmentID() const { return attachment_ ? attachment_->GetAttachmentID() : 0; }
  const AttachmentMatrix* GetAttachmentXForm() const;
  AssemblyOccurrence* GetParent() const { return parent_; }
  // Returns the old parent and forgets it.
  AssemblyOccurrence* ClearParent();
  bool IsRootAssembly() const { return parent_ == nullptr; }
  AssemblyOccurrence* GetRootAssembly();
  SiteNode* GetSite() const { return attachment_ ? attachment_->GetAttachmentSite() : nullptr; }
  AsmTree* GetAsmTree() const {
    SiteNode* site = GetSite();
    return site ? site->GetAsmTree() : nullptr;
  }
  UserDataMap* GetUserDataMap() const { return userData_.Map(); }

  // The user name when set, else the site's file path, else null.
  const wchar_t* GetUserNameW() const;
  HRESULT SetUserName(const wchar_t* name);

  // ---- Site-derived state ----
  bool IsLite() const;
  bool IsLocal() const;
  bool IsVirtualComponent() const;
  HRESULT GetVirtualComponent(REFIID iid, void** out) const;
  void SetIsLite();
  void ClearIsLite();
  bool IsTrueTypeAssembly() const;
  bool IsTrueTypePart() const;
  // Not hidden, not hidden by a parent, and the site is not missing.
  bool IsDisplayable() const;

  // Node dump lines of the occurrence: node, parent, attachment, flags,
  // user name, range, then the attachment's own dump.
  void Dump(FILE* file);
  bool IsGhostMode() const;

  // ---- Host services reached through the attachment and the tree ----
  HRESULT GetHelixReference(REFIID iid, void** out) const;
  // The document this occurrence places, in interface `iid`, from the host
  // reference's occurrence document.
  HRESULT GetSourceDocument(REFIID iid, void** out) const;
  HRESULT GetKVDataServer(IKVDataServer** out) const;
  HRESULT GetKVData(DWORD type, KVBaseData** out);
  JGraphicContext* GetGraphicContext() const;
  // A typed graphic the occurrence holds for display (type, graphic) under
  // `key`. Occurrences hold none yet: both outputs are cleared, E_FAIL.
  HRESULT GetTypedGraphic(DWORD* type, void** graphic, DWORD key) const;
  bool HasCachedGeometry() const;

  // ---- User data ----
  HRESULT AddUserData(DWORD type, void* value) { return userData_.Add(type, value); }
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }

  // ---- Flags ----
  bool IsPart() const { return flags_ & OCC_PART; }
  bool IsAssembly() const { return flags_ & OCC_ASSEMBLY; }

  // Hides (or shows) the occurrence; with `propagate`, an assembly that is
  // not itself hidden from above passes the change down its subtree.
  HRESULT Hide(BOOL propagate);
  HRESULT Show(BOOL propagate);
  bool IsHidden() const { return flags_ & OCC_HIDDEN; }
  void HideByParent() { flags_ |= OCC_HIDDEN_BY_PARENT; }
  void ClearHideByParent() { flags_ &= ~OCC_HIDDEN_BY_PARENT; }
  bool IsHiddenByParent() const { return flags_ & OCC_HIDDEN_BY_PARENT; }

  void SetDirty();
  void SetPossiblyDirty();
  void SetXformDirty();
  void ClearDirty() { flags_ &= ~(OCC_DIRTY | OCC_POSSIBLY_DIRTY); }
  void ClearXformDirty() { flags_ &= ~OCC_XFORM_DIRTY; }
  bool IsDirty() const { return flags_ & OCC_DIRTY; }
  bool IsPossiblyDirty() const { return flags_ & (OCC_DIRTY | OCC_POSSIBLY_DIRTY); }
  bool IsXformDirty() const { return flags_ & OCC_XFORM_DIRTY; }
  void SetUnadded() { flags_ |= OCC_UNADDED; }
  void ClearUnadded() { flags_ &= ~OCC_UNADDED; }
  bool IsUnadded() const { return flags_ & OCC_UNADDED; }

  void SetOpen() { flags_ |= OCC_OPEN; }
  void ClearOpen() { flags_ &= ~OCC_OPEN; }
  bool IsOpen() const { return flags_ & OCC_OPEN; }

  // In-place activation; an assembly passes PARENT_IPA down its subtree.
  HRESULT SetIPA();
  HRESULT ClearIPA();
  bool IsIPA() const { return flags_ & OCC_IPA; }
  void SetParentIPA() { flags_ |= OCC_PARENT_IPA; }
  void ClearParentIPA() { flags_ &= ~OCC_PARENT_IPA; }
  // True when this occurrence or an ancestor is in place activated.
  bool IsParentIPA() const { return flags_ & (OCC_IPA | OCC_PARENT_IPA); }

  void SetIsActive() { flags_ |= OCC_IS_ACTIVE; }
  void ClearIsActive() { flags_ &= ~OCC_IS_ACTIVE; }
  bool IsActive() const { return flags_ & OCC_IS_ACTIVE; }
  void SetConsideredActive() { flags_ |= OCC_CONSIDERED_ACTIVE; }
  void ClearConsideredActive() { flags_ &= ~OCC_CONSIDERED_ACTIVE; }
  bool IsConsideredActive() const { return flags_ & OCC_CONSIDERED_ACTIVE; }
  void SetLockStyle() { flags_ |= OCC_LOCK_STYLE; }
  void ClearLockStyle() { flags_ &= ~OCC_LOCK_STYLE; }
  bool LockStyle() const { return flags_ & OCC_LOCK_STYLE; }

  // Simplified representation. Setting and clearing on an assembly asks
  // the host to rebind its membership first.
  HRESULT SetSimplified();
  HRESULT ClearSimplified();
  void SetSimplifiedNoRebind() { flags_ |= OCC_SIMPLIFIED; }
  bool IsSimplified() const { return flags_ & OCC_SIMPLIFIED; }

  bool IsMatrixOverridden() const { return flags_ & OCC_OVERRIDDEN_MATRIX; }
  bool IsBodyOverridden() const { return flags_ & OCC_OVERRIDDEN_BODY; }
  bool IsSolverStatusOverridden() const { return flags_ & OCC_OVERRIDDEN_STATUS; }
  bool IsOverridden() const { return flags_ & OCC_OVERRIDDEN; }

  void SetCoordSysDisplay(bool on) { SetFlag(OCC_COORDSYS_ON, on); }
  bool GetCoordSysDisplay() const { return flags_ & OCC_COORDSYS_ON; }
  void SetSketchesDisplay(bool on) { SetFlag(OCC_SKETCHES_ON, on); }
  bool GetSketchesDisplay() const { return flags_ & OCC_SKETCHES_ON; }
  void SetSurfacesDisplay(bool on) { SetFlag(OCC_SURFACES_ON, on); }
  bool GetSurfacesDisplay() const { return flags_ & OCC_SURFACES_ON; }
  void SetCurvesDisplay(bool on) { SetFlag(OCC_CURVES_ON, on); }
  bool GetCurvesDisplay() const { return flags_ & OCC_CURVES_ON; }
  // Surfaces and curves together: on only when both are on.
  void SetConstructionsDisplay(bool on) { SetFlag(OCC_CONSTRUCTIONS_ON, on); }
  bool GetConstructionsDisplay() const { return (flags_ & OCC_CONSTRUCTIONS_ON) == OCC_CONSTRUCTIONS_ON; }
  void SetRefPlanesDisplay(bool on) { SetFlag(OCC_REFPLANES_ON, on); }
  bool GetRefPlanesDisplay() const { return flags_ & OCC_REFPLANES_ON; }
  void SetRefAxesDisplay(bool on) { SetFlag(OCC_REFAXES_ON, on); }
  bool GetRefAxesDisplay() const { return flags_ & OCC_REFAXES_ON; }
  void SetAsLastSavedDisplay(bool on) { SetFlag(OCC_AS_LASTSAVED, on); }
  bool GetAsLastSavedDisplay() const { return flags_ & OCC_AS_LASTSAVED; }
  void SetIsAssemblyBody(bool on) { SetFlag(OCC_IS_ASM_BODY, on); }
  bool IsAssemblyBody() const { return flags_ & OCC_IS_ASM_BODY; }
  void SetIsMarked(bool on) { SetFlag(OCC_IS_MARKED, on); }
  bool GetIsMarked() const { return flags_ & OCC_IS_MARKED; }

  // ADAPTABLE with its user datum (46); both must be present.
  HRESULT SetAdaptable();
  HRESULT ClearAdaptable();
  bool IsAdaptable() const;
  // ADJUSTABLE_PART with its user datum (73); clearing also drops 75.
  HRESULT SetAdjustablePart();
  HRESULT ClearAdjustablePart();
  bool IsAdjustablePart() const;

  // ---- Extended flags ----
  // Dimensions and annotations stay off on an adjustable part.
  void SetDimensionsDisplay(bool on) { SetFlagEx(OCCX_DIMENSIONS_ON, on && !IsAdjustablePart()); }
  bool GetDimensionsDisplay() const { return flagsEx_ & OCCX_DIMENSIONS_ON; }
  void SetAnnotationsDisplay(bool on) { SetFlagEx(OCCX_ANNOTATIONS_ON, on && !IsAdjustablePart()); }
  bool GetAnnotationsDisplay() const { return flagsEx_ & OCCX_ANNOTATIONS_ON; }
  void SetUseIPAStyle(bool on) { SetFlagEx(OCCX_USE_IPA_STYLE, on); }
  bool GetUseIPAStyle() const { return IsGhostMode() || (flagsEx_ & OCCX_USE_IPA_STYLE); }
  void SetFEADisplay(bool on) { SetFlagEx(OCCX_FEA_DISPLAY, on); }
  bool GetFEADisplay() const { return flagsEx_ & OCCX_FEA_DISPLAY; }
  bool IsFEA() const { return GetFEADisplay(); }
  void SetLiveSectionsDisplay(bool on) { SetFlagEx(OCCX_LIVE_SECTIONS_DISPLAY, on); }
  bool GetLiveSectionsDisplay() const { return flagsEx_ & OCCX_LIVE_SECTIONS_DISPLAY; }
  void SetDesignBodiesDisplay(bool on) { SetFlagEx(OCCX_DESIGN_BODIES_OFF, !on); }
  bool GetDesignBodiesDisplay() const { return !(flagsEx_ & OCCX_DESIGN_BODIES_OFF); }
  void SetCenterLineDisplay(bool on) { SetFlagEx(OCCX_CENTER_LINE_DISPLAY, on); }
  bool GetCenterLineDisplay() const { return flagsEx_ & OCCX_CENTER_LINE_DISPLAY; }
  void SetFEAMeshDisplay(bool on) { SetFlagEx(OCCX_FEA_MESH_DISPLAY, on); }
  bool GetFEAMeshDisplay() const { return flagsEx_ & OCCX_FEA_MESH_DISPLAY; }
  bool IsFEAMesh() const { return GetFEAMeshDisplay(); }
  void SetHideInDrawing(bool on) { SetFlagEx(OCCX_HIDE_IN_DRAWING, on); }
  bool IsHiddenInDrawing() const { return flagsEx_ & OCCX_HIDE_IN_DRAWING; }
  void SetHideInSubassembly(bool on) { SetFlagEx(OCCX_HIDE_IN_SUBASSEMBLY, on); }
  bool IsHiddenInSubassembly() const { return flagsEx_ & OCCX_HIDE_IN_SUBASSEMBLY; }
  void SetNotSelectable(bool on) { SetFlagEx(OCCX_NOT_SELECTABLE, on); }
  bool IsNotSelectable() const { return flagsEx_ & OCCX_NOT_SELECTABLE; }
  void SetDisplayAsReferenceInDraft(bool on) { SetFlagEx(OCCX_DISPLAY_AS_REFERENCE_IN_DRAFT, on); }
  bool IsDisplayAsReferenceInDraft() const { return flagsEx_ & OCCX_DISPLAY_AS_REFERENCE_IN_DRAFT; }
  void SetExcludeFromPhysicalProperties(bool on) { SetFlagEx(OCCX_EXCLUDE_FROM_PHYSICAL_PROPERTIES, on); }
  bool IsExcludedFromPhysicalProperties() const { return flagsEx_ & OCCX_EXCLUDE_FROM_PHYSICAL_PROPERTIES; }
  void SetExcludeFromReports(bool on) { SetFlagEx(OCCX_EXCLUDE_FROM_REPORTS, on); }
  bool IsExcludedFromReports() const { return flagsEx_ & OCCX_EXCLUDE_FROM_REPORTS; }
  void SetExcludeFromInterference(bool on) { SetFlagEx(OCCX_EXCLUDE_FROM_INTERFERENCE, on); }
  bool IsExcludedFromInterference() const { return flagsEx_ & OCCX_EXCLUDE_FROM_INTERFERENCE; }
  void SetNodeToProcessForGhosting(bool on) { SetFlagEx(OCCX_PROCESS_FOR_GHOSTING, on); }
  bool IsNodeInValidForGhosting() const { return !(flagsEx_ & OCCX_PROCESS_FOR_GHOSTING); }
  void SetExcludedFromDynamicSectionView(bool on) { SetFlagEx(OCCX_EXCLUDED_FROM_DYNAMIC_SECTION_VIEW, on); }
  bool IsExcludedFromDynamicSectionView() const { return flagsEx_ & OCCX_EXCLUDED_FROM_DYNAMIC_SECTION_VIEW; }
  void SetDecalsDisplay(bool on) { SetFlagEx(OCCX_DECALS_OFF, !on); }
  bool GetDecalsDisplay() const { return !(flagsEx_ & OCCX_DECALS_OFF); }
  void SetPointCloudsDisplay(bool on) { SetFlagEx(OCCX_POINTCLOUDS_OFF, !on); }
  bool GetPointCloudsDisplay() const { return !(flagsEx_ & OCCX_POINTCLOUDS_OFF); }

  // ---- Matrices ----
  // The world matrix, recomputed first when XFORM_DIRTY is set (a change of
  // it ends the animated state).
  const tagG4x4& GetCurrentToWorld() {
    if (flags_ & OCC_XFORM_DIRTY) RecomputeCurrentToWorld();
    return currentToWorld_;
  }
  // Parent's world x (explode) x local placement; identity for the root.
  // With an override body, the body matrix (user data 70) follows.
  void RefreshXform();
  // The override matrix when one is set, else the attachment's matrix.
  HRESULT GetConstraintMatrix(tagG4x4* matrix) const;
  // The stored explode / override matrix, or null.
  const tagG4x4* GetExplodeMatrix() const;
  const tagG4x4* GetOverrideMatrix() const;
  // Stores (non-null) or removes (null) the matrix; the subtree becomes
  // transform-dirty.
  HRESULT SetExplodeMatrix(const tagGTransf* matrix);
  HRESULT SetOverrideMatrix(const tagGTransf* matrix);
  // The inverse of the override body's matrix, or identity.
  tagG4x4 GetEmbeddedMatrix() const;
  const tagG4x4& GetAnimatedMatrix();
  void SetAnimatedMatrix(const tagG4x4& animated, const tagG4x4& parentWorld);
  void ClearAnimatedMatrix();
  bool IsAnimated() const { return flagsEx_ & OCCX_ANIMATED_STATE_VALID; }
  // The animated placement at a frame, from the host's timeline tracks:
  // composes and stores the animated matrix (SetAnimatedMatrix) and returns
  // it. Null categories: the timeline of the host's provider and its current
  // frame; frame TIMELINE_NO_FRAME with a category: the category's current
  // frame. Any out matrix may be null; they receive, in order, the
  // undecorated world matrix W0, the embedded matrix, the world placement at
  // the frame Wf (before the embedding), the explode contribution E and the
  // occurrence's own motion P, so that Wf = P x E x W0.
  tagG4x4* GetAnimatedMatrixChain(tagG4x4* out1, tagG4x4* out2, tagG4x4* out3, tagG4x4* out4, tagG4x4* out5,
                                  IJTimelineCategory* worldCategory, IJTimelineCategory* relativeCategory, DWORD frame);
  // The placement relative to the parent, with the explode matrix when asked
  // and the animated placement while animated.
  HRESULT GetOccurrenceMatrix(tagG4x4* matrix, BOOL withExplode);
  // The world matrix from the placements alone. Options: 0x2 applies the
  // explode matrix nearest the root, 0x1 appends the embedded matrix.
  tagG4x4 GetUndecoratedMatrix(DWORD options) const;

  // ---- Ranges ----
  // The range of occurrences without one.
  static const tagGBox kEmptyRange;
  // The world range, refreshed first when possibly dirty; the shared empty
  // box when there is none.
  const tagGBox* GetRange() {
    if (IsPossiblyDirty()) RefreshRangeForQuery();
    return (range_.low[0] > -1e30 && range_.low[0] < 1e30) ? &range_ : &kEmptyRange;
  }
  // S_OK with the range, or S_FALSE with the empty box.
  HRESULT GetRange(tagGBox* box);
  // The range of the nearest occurrence from here up whose roadmap is `rm`
  // (this occurrence's when none matches).
  tagGBox GetRange(const JRoadmap& rm);
  OccurrenceNode* GetAncestor(const JRoadmap& rm);
  // Null empties the range; otherwise stores it and marks the parent
  // possibly dirty.
  HRESULT SetRange(const tagGBox* box);
  HRESULT SetRangeFromCache(const tagGBox* box) { return SetRange(box); }
  // S_OK when the stored range was set, S_FALSE when it was left alone.
  HRESULT RefreshRange(RefreshRangeOptions option);

  // ---- Roadmaps ----
  // The attachment ids from the root side down to this occurrence (the root
  // occurrence's own id 0 excluded); the same path GetDisplayRoadmap gives.
  operator JRoadmap() const;
  JRoadmap GetRoadmap() const;
  HRESULT GetRoadmap(JRoadmap* rm) const;
  // S_OK with the path root first; E_FAIL (empty roadmap) for the root.
  HRESULT GetDisplayRoadmap(DisplayRoadmap* rm) const;

  // The override matrix when one is stored, else the attachment's matrix
  // (identity without an attachment).
  const tagG4x4& LocalPlacement() const;

  // ---- Style and symbology ----
  // The symbology to draw with: a packed symbology made from the override
  // colour when one is set (in a tree); in the simplified-assembly display
  // modes of the tree, one of the view's simplified colours; otherwise the
  // own symbology, or the attachment's when the own one is 0.
  DWORD GetSymbology() const;
  HRESULT SetSymbology(DWORD symbology);
  // The style for the own symbology (or `fallback` when that is 0). Styles
  // of packed symbologies are cached per node.
  GGlobalStyle3D* GetStyle(DWORD fallback);
  // The stored library passed through ValidateStyleLibrary.
  IJStyleLibrary* GetStyleLibrary() const;
  // Holds `library` (validated) with a reference and drops the cached style.
  HRESULT SetStyleLibrary(IJStyleLibrary* library);
  // The override colour (OCC_NO_OVERRIDE_COLOR: none).
  DWORD GetOverrideColor() const;
  HRESULT SetOverrideColor(DWORD color);
  HRESULT ClearOverrideColor();

  // ---- Override state written by the override table ----
  // Replaces the variables by a copy of `vars`; `reserved` must be 0.
  HRESULT SetOverrideVariables(quorra::OverrideVariableMap* vars, DWORD reserved);
  // Replaces the value of (oid, type), or adds the entry.
  HRESULT SetOverrideVariable(DWORD oid, DWORD type, double value);
  // S_OK with the value of (oid, type); E_FAIL when there is none.
  HRESULT GetOverrideVariable(DWORD oid, DWORD type, double* value) const;
  // The entries of `oid` (an empty range when there are none).
  quorra::OverrideVariableRange GetOverrideVariable(DWORD oid) const;
  // Erases the first (oid, type) entry; the variables flag stays set.
  HRESULT ClearOverrideVariable(DWORD oid, DWORD type);
  HRESULT ClearOverrideVariables();
  // 0 clears the status.
  HRESULT SetOverrideSolverStatus(DWORD status);
  DWORD GetOverrideSolverStatus() const;
  // Stores a copy of `body` (the replaced body is kept as the previous
  // one), or removes the body (null).
  HRESULT SetOverrideBodyData(JOverrideBodyData* body);
  HRESULT GetOverrideBodyData(JOverrideBodyData** out) const;
  HRESULT GetPreviousOverrideBodyData(JOverrideBodyData** out) const;
  // Replaces the constraint map by a copy of `constraints` (null: none).
  HRESULT SetOverrideConstraints(std::map<DWORD, DWORD>* constraints);
  HRESULT GetOverrideConstraints(std::map<DWORD, DWORD>** out) const;
  // The override-extension records; with `create` an empty list is made
  // when there is none.
  HRESULT GetOverrideExtensions(std::vector<JOverrideExtensions*>** out, bool create);
  // Adds `extension` to the record of the document (made when missing).
  HRESULT SetOverrideExtensions(GUserText docName, DWORD extension);
  HRESULT SetOverrideExtensions(const JDocIdentity& document, DWORD extension);
  // Replaces the record's extensions by `extensions`.
  HRESULT SetOverrideExtensions(const JDocIdentity& document, const std::vector<DWORD>& extensions);
  // Removes one extension, or all, from the document's record. S_FALSE when
  // the occurrence has no record for the document.
  HRESULT RemoveOverrideExtensions(GUserText docName, DWORD extension);
  HRESULT RemoveOverrideExtensions(const JDocIdentity& document, DWORD extension);
  HRESULT RemoveAllOverrideExtensions(GUserText docName);
  HRESULT RemoveAllOverrideExtensions(const JDocIdentity& document);
  // Copies the custom occurrence-property overrides stored on the
  // occurrence: per overriding document name, its (property, value) pairs.
  HRESULT GetOverriddenCustomOccProperties(
      std::vector<std::pair<GUserText, std::vector<std::pair<GUserText, GUserText>>>>& out) const;

 protected:
  void SetFlag(DWORD bit, bool on) { flags_ = on ? (flags_ | bit) : (flags_ & ~bit); }
  // The slow paths of GetCurrentToWorld and GetRange.
  void RecomputeCurrentToWorld();
  void RefreshRangeForQuery();
  void SetFlagEx(DWORD bit, bool on) { flagsEx_ = on ? (flagsEx_ | bit) : (flagsEx_ & ~bit); }
  // The host's stored range of this occurrence (untransformed); E_FAIL when
  // the host has none to give.
  HRESULT GetHostStoredRange(tagGBox* box);
  // What one range refresh resolves once for every node it reaches: the
  // host's stored-range function and whether part sites may give ranges.
  struct RangePass;
  HRESULT RefreshRange(RefreshRangeOptions option, const RangePass& pass);
  HRESULT PartRefreshRange(RefreshRangeOptions option, const RangePass& pass);
  HRESULT AsmRefreshRange(RefreshRangeOptions option, const RangePass& pass);
  // A child's range as GetRange(tagGBox*) reads it, refreshed within the
  // pass when possibly dirty; null when that would answer S_FALSE.
  const tagGBox* RangeForMerge(const RangePass& pass);
  // Stores the host range (or the site range) transformed to world.
  bool StoreWorldRange(const tagGBox& local);
  // A placement matrix stored as user data (explode 3, override 39).
  HRESULT SetMatrixUserData(DWORD type, DWORD flag, const tagGTransf* matrix);
  // Keeps the override body matrix (user data 70) at current-to-world x
  // inverse(body matrix) while a body is stored.
  void RefreshOverrideBodyMatrix();
  // The stored override body when OVERRIDDEN_BODY is set, else null.
  JOverrideBodyData* StoredOverrideBody() const;
  // The override-extension record of a document, or null.
  template <class Key>
  JOverrideExtensions* FindOverrideExtensions(const Key& key);
  // Ghost-mode and display checks through the site.
  DWORD GetSiteFlags() const;
  // State most occurrences never need, allocated on first use: the user
  // name, the animated matrix, the display caches, the style library and
  // cached style, the override colour and the checksum. Keeping it out of
  // line keeps a node under four cache lines.
  struct ColdState;
  ColdState* Cold();
  // The checksum of the first `imageSize` bytes of the node, computed once.
  DWORD CachedCrc(size_t imageSize);

  // What walks read first: the flags, the range and the world matrix lie
  // in the first three cache lines of a node.
  DWORD flags_;
  DWORD flagsEx_ = 0;
  tagGBox range_;
  tagG4x4 currentToWorld_;
  AttachmentNode* attachment_;
  AssemblyOccurrence* parent_;
  DWORD uid_;
  DWORD symbology_;
  quorra::UserDataHolder userData_;
  ColdState* cold_ = nullptr;

  friend class AssemblyOccurrence;
};

class AssemblyOccurrence : public OccurrenceNode {
 public:
  AssemblyOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent);
  ~AssemblyOccurrence() override;
  DWORD GetCrc() override;

  // ---- Children, sorted by ascending attachment id ----
  DWORD GetChildCount() const { return children_.GetCount(); }
  OccurrenceNode* GetChildByIndex(DWORD index) const { return children_.GetAt(index); }
  const NodeList<OccurrenceNode>& GetChildList() const { return children_; }
  // Binary search by attachment id; null when absent.
  OccurrenceNode* GetChildByID(DWORD id) const { return FindOccurrenceOfAttachmentID(id); }
  OccurrenceNode* FindOccurrenceOfAttachmentID(DWORD id) const;
  OccurrenceNode* FindOccurrenceOfAttachment(AttachmentNode* attachment) const;
  // Follows ids[0], ids[1], ... down from here; null as soon as one is
  // missing or a part is met with ids left.
  OccurrenceNode* Bind(DWORD count, const DWORD* ids) const;
  void SortChildren();
  // By lower-cased occurrence name (narrow or wide). The id search is
  // unreliable until SortChildren runs again.
  void SortChildrenByName();
  void SortChildrenByNameW();
  HRESULT RemoveChild(OccurrenceNode* child);
  void DestroyChildren();
  void DirtyChildRanges();
  void DirtyChildXforms();

  // ---- Ranges ----
  // Widens the range; a change marks the parent possibly dirty.
  void AddToRange(const tagGBox* box);
  void FlushRangeCache();

  // ---- Construction ----
  // Makes the children of this occurrence for the attachments (expanding
  // assembly children depth first). S_FALSE for no attachments.
  HRESULT CreateOccurrences(DWORD n, AttachmentNode* const* attachments);
  // CreateOccurrences for every attachment of the site.
  HRESULT FillInChildren();

  // ---- Walking ----
  // Walks the subtree (visiting this assembly first when visitStart is set).
  HRESULT Walk(TreeWalkCallback* callback, void* value, BOOL visitStart);

  // Node dump: the occurrence lines and the child list (one "[ASM]" line
  // when `brief` is non-zero).
  void Dump(FILE* file, DWORD brief);

  HRESULT GetKVData(DWORD type, KVBaseData** out);
  HRESULT GetKVData(DWORD type, KVAssemblyData** out);
  HRESULT GetKVData(DWORD type, KVLiteAssemblyData** out, DWORD extra);

 protected:
  HRESULT InternalWalk(TreeWalkContext* context, TreeWalkCallback* callback);
  // True when the child of `attachment` waits to be expanded by the display.
  bool DefersExpansion(AttachmentNode* attachment, bool hasGraphicContext);

 private:
  NodeList<OccurrenceNode> children_;

  friend class OccurrenceNode;
};

class PartOccurrence : public OccurrenceNode {
 public:
  PartOccurrence(AttachmentNode* attachment, AssemblyOccurrence* parent);
  ~PartOccurrence() override;
  DWORD GetCrc() override;

  // Takes the part's range from the host or from the part site.
  HRESULT InitPartOccurrence();

  // Node dump: the occurrence lines (one "[PAR]" line when `brief` is
  // non-zero).
  void Dump(FILE* file, DWORD brief);

  HRESULT GetKVData(DWORD type, KVBaseData** out);
  HRESULT GetKVData(DWORD type, KVBaseData** out, DWORD extra);
};

extern "C" {
// Marks every occurrence of the site whose parent is in place activated
// (and the subtrees of those that are assemblies) PARENT_IPA.
HRESULT JMarkAllSiteOccurrencesParentIPA(SiteNode* site);
// The part's GetSymbology (0 for null) and SetSymbology (ignored for null).
DWORD PartOccurrenceGetSymbolody(PartOccurrence* occurrence);
void PartOccurrenceSetSymbolody(PartOccurrence* occurrence, DWORD symbology);
}

namespace quorra {
// The name of an occurrence in text: the host's name for its reference, or
// "NoOccurrenceName".
GUserText GetOccurrenceName(const OccurrenceNode* occurrence);
}  // namespace quorra

// Collects every occurrence created while it is registered with the tree
// (AsmTree::AddTreeModificationCallback), in creation order.
class NewOccurrencesCallback final : public TreeModificationCallback {
 public:
  explicit NewOccurrencesCallback(NodeList<OccurrenceNode>* list = nullptr) : list_(list) {}
  ~NewOccurrencesCallback() = default;
  void SetList(NodeList<OccurrenceNode>* list) { list_ = list; }
  // Appends the occurrence; E_FAIL unless the list grew by exactly one.
  HRESULT CreateOccurrence(OccurrenceNode* occurrence) override;

 private:
  NodeList<OccurrenceNode>* list_;
};
