// The override table (IOT) of an assembly document: per-occurrence overrides
// that the assembly makes to the occurrences below it, held as a tree whose
// levels follow attachment ids from the root assembly down, exactly as a
// DisplayRoadmap lists them. A node exists only where something is
// overridden at or below it.
//
// - JIDSOverrideTree: the table. It is a MemoryAllocator (offered to its
//   users through JIDSOverride::GetAllocator), owns the root JAsmOverride
//   (which carries the tree back pointer as its user datum 1), and knows the
//   owning assembly document, its style manager and its name.
// - JIDSOverride: a node. dwProps and dwPropsEx say which override values
//   are present; the values live in the node's user data (see the table in
//   the comments of JIDSOverride). A node is keyed in its parent by its
//   attachment id, or, with id 0, by its member route.
// - JAsmOverride: a node with children, kept in attachment-id order (entries
//   with equal ids in insertion order) and found by binary search.
// - JPartOverride: a leaf.
// - JIOTWalker and JAsmOverride::Walk: the depth-first walk of a subtree.
//
// Nothing here locks; a table is used on the thread of its owner.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <map>
#include <utility>
#include <vector>

#include "quorra/host/geometry.h"
#include "quorra/host/identity.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"
#include "quorra/memalloc.h"
#include "quorra/override_extensions.h"
#include "quorra/user_data.h"

class AssemblyOccurrence;
class DisplayRoadmap;
class JAsmOverride;
class JIDSOverride;
class JIDSOverrideTree;
class JMemberRoadmap;
class JMemberRoute;
class JOverrideBodyData;
class OccurrenceNode;
class SiteFileToUniversalIdentifierMap;
class JIOStreamContext;
struct IJStyleLibrary;
struct IStorage;

// How a stream reader treats the tree it loads: 1 names each replacement
// body's document by the site-file map given with it.
enum OverrideTreeType : DWORD {
  OVERRIDE_TREE_DEFAULT = 0,
  OVERRIDE_TREE_SITE_FILE_MAP = 1,
};

// ---- dwProps bits ----
constexpr DWORD IOT_STYLE = 0x1;
constexpr DWORD IOT_HIDDEN = 0x2;
constexpr DWORD IOT_ACTIVE = 0x4;
constexpr DWORD IOT_SIMPLIFIED = 0x8;
constexpr DWORD IOT_COORDSYS_ON = 0x10;
constexpr DWORD IOT_SKETCHES_ON = 0x20;
constexpr DWORD IOT_SURFACES_ON = 0x40;
constexpr DWORD IOT_CURVES_ON = 0x80;
constexpr DWORD IOT_REFPLANES_ON = 0x100;
constexpr DWORD IOT_REFAXES_ON = 0x200;
constexpr DWORD IOT_OVERRIDE_MATRIX = 0x400;
constexpr DWORD IOT_OVERRIDE_STATUS = 0x800;
constexpr DWORD IOT_OVERRIDE_BODY_OB = 0x1000;
constexpr DWORD IOT_OVERRIDE_VARIABLES = 0x2000;
constexpr DWORD IOT_ADAPTABLE = 0x4000;
constexpr DWORD IOT_OVERRIDE_BODY = 0x8000;
constexpr DWORD IOT_AS_LASTSAVED = 0x10000;
constexpr DWORD IOT_ADAPTABLE_SYNC = 0x20000;
constexpr DWORD IOT_MATRIX_SYNC = 0x40000;
constexpr DWORD IOT_ALT_STYLE = 0x80000;
constexpr DWORD IOT_BODY_SYNC = 0x100000;  // also gates the override-constraint sync flag
constexpr DWORD IOT_VARIABLE_SYNC = 0x200000;
constexpr DWORD IOT_STYLE_SYNC = 0x400000;
constexpr DWORD IOT_ADJUSTABLE_PART = 0x800000;
constexpr DWORD IOT_ADJUSTABLE_PART_SYNC = 0x1000000;
constexpr DWORD IOT_DIMENSIONS_ON = 0x4000000;
constexpr DWORD IOT_ANNOTATIONS_ON = 0x8000000;
constexpr DWORD IOT_HAVE_CONFIG_INFO = 0x10000000;
constexpr DWORD IOT_HAVE_ROUTE = 0x20000000;
constexpr DWORD IOT_PART = 0x40000000;
constexpr DWORD IOT_ASSEMBLY = 0x80000000;

// ---- dwPropsEx bits ----
constexpr DWORD IOTX_LIVESECTIONS_ON = 0x1;
constexpr DWORD IOTX_DESIGNBODIES_OFF = 0x2;
constexpr DWORD IOTX_GEOM_VERSION = 0x4;
constexpr DWORD IOTX_OWNING_CAD_SAVE_TIME = 0x8;
constexpr DWORD IOTX_ALT_ROUTE = 0x10;
constexpr DWORD IOTX_CENTERLINES_ON = 0x20;
constexpr DWORD IOTX_OVERRIDE_CONSTRAINTS = 0x100;
constexpr DWORD IOTX_OCC_PROPERTIES = 0x10000;
constexpr DWORD IOTX_OVERRIDEBODY_PROPS_ON = 0x20000;
constexpr DWORD IOTX_COLOR_OVERRIDE = 0x40000;
constexpr DWORD IOTX_DECALS_OFF = 0x80000;
constexpr DWORD IOTX_OVERRIDE_CONSTRAINTS_SYNC = 0x100000;  // printed by dumps, never set
constexpr DWORD IOTX_POINTCLOUDS_OFF = 0x200000;
constexpr DWORD IOTX_DOC_ID = 0x400000;
constexpr DWORD IOTX_BODY_OVERRIDE_DOC_ID = 0x800000;
constexpr DWORD IOTX_PREVIOUS_OVERRIDE_BODY = 0x1000000;
constexpr DWORD IOTX_BODY_OVERRIDE_VERSION_DATA = 0x2000000;

// ---- JIDSOverrideTree state word ----
constexpr DWORD IOT_STATE_DIRTY = 0x1;
constexpr DWORD IOT_STATE_DIRTY_STRUCTURAL = 0x2;
constexpr DWORD IOT_STATE_DIRTY_GEOMETRIC = 0x4;
constexpr DWORD IOT_STATE_ADJUSTABLE_VALID = 0x8;
constexpr DWORD IOT_STATE_ADJUSTABLE_PART = 0x10;
constexpr DWORD IOT_STATE_ADAPTABLE_ASSEMBLY = 0x20;
constexpr DWORD IOT_STATE_LOADING = 0x40;

// ---- Remove mask: kinds and scopes ----
constexpr DWORD IOT_REMOVE_STYLE = 0x1;
constexpr DWORD IOT_REMOVE_MATRIX = 0x2;
constexpr DWORD IOT_REMOVE_SOLVER_STATUS = 0x4;
constexpr DWORD IOT_REMOVE_BODY = 0x8;
constexpr DWORD IOT_REMOVE_ADAPTABLE = 0x80;
constexpr DWORD IOT_REMOVE_ADAPTABLE_SYNC = 0x100;
constexpr DWORD IOT_REMOVE_MATRIX_SYNC = 0x200;
constexpr DWORD IOT_REMOVE_BODY_SYNC = 0x400;
constexpr DWORD IOT_REMOVE_VARIABLE_SYNC = 0x800;
constexpr DWORD IOT_REMOVE_STYLE_SYNC = 0x1000;
constexpr DWORD IOT_REMOVE_ADJUSTABLE_PART = 0x2000;
constexpr DWORD IOT_REMOVE_ADJUSTABLE_PART_SYNC = 0x4000;
constexpr DWORD IOT_REMOVE_OVERRIDE_CONSTRAINT_SYNC = 0x8000;
constexpr DWORD IOT_REMOVE_BELOW = 0x10000000;      // the node and every node below it (assemblies)
constexpr DWORD IOT_REMOVE_ANCESTORS = 0x20000000;  // every ancestor up to the root
constexpr DWORD IOT_REMOVE_NOT_SELF = 0x40000000;   // not the node itself

// The counter value a node may carry (user datum 88, no gate bit).
constexpr DWORD UD_IOT_COUNTER = 88;
constexpr DWORD UD_IOT_OWNING_CAD_SAVE_TIME = 90;
constexpr DWORD UD_IOT_ALT_ROUTE = 91;
constexpr DWORD UD_IOT_COLOR_OVERRIDE = 120;
constexpr DWORD UD_IOT_OVERRIDE_CONSTRAINT_SYNC = 121;
constexpr DWORD UD_IOT_DOC_ID = 128;
constexpr DWORD UD_IOT_SITE_FILE_MAP = 129;
constexpr DWORD UD_IOT_BODY_OVERRIDE_DOC_ID = 130;
constexpr DWORD UD_IOT_PREVIOUS_OVERRIDE_BODY = 131;
constexpr DWORD UD_IOT_BODY_OVERRIDE_VERSION_DATA = 132;

// A configuration setting of an override node: an id, a type (low byte of
// the stored word) and 24 flag bits (its upper three bytes).
class JConfigSetting {
 public:
  JConfigSetting() = default;
  JConfigSetting(DWORD id, BYTE type, DWORD flags) : id_(id), word_(type | (flags << 8)) {}
  virtual ~JConfigSetting() = default;
  JConfigSetting(const JConfigSetting&) = default;
  JConfigSetting& operator=(const JConfigSetting&) = default;

  DWORD SetID(DWORD id) { return id_ = id; }
  // Keeps the flags.
  BYTE SetType(BYTE type) {
    word_ = (word_ & ~0xFFu) | type;
    return type;
  }
  // Mask 0: all 24 flag bits become `value`; else only the bits in `mask`
  // take their value from `value`. Answers the new flags.
  DWORD SetFlags(DWORD value, DWORD mask);
  DWORD GetID() const { return id_; }
  BYTE GetType() const { return static_cast<BYTE>(word_ & 0xFF); }
  DWORD GetFlags() const { return word_ >> 8; }

 private:
  DWORD id_ = 0;
  DWORD word_ = 0;
};

namespace quorra {
// User datum 37 of a node: its configuration settings by id. An assembly
// occurrence's display-setting map (its user datum 83, UD_DISPLAY_SETTING_MAP)
// has the same form: key -> (key, type, flags).
using ConfigSettingMap = std::map<DWORD, JConfigSetting>;
// User datum 42 of a node: variable kind -> (second key, value).
using IOTVariableMap = std::multimap<DWORD, std::pair<DWORD, double>>;
using IOTVariableRange = std::pair<IOTVariableMap::const_iterator, IOTVariableMap::const_iterator>;
// User data 98 (constraints) and 132 (body-override version data).
using IOTDwordMap = std::map<DWORD, DWORD>;
// User datum 101 of a node: occurrence-property overrides in insertion
// order, at most one pair per type.
using OccPropertyOverrides = std::vector<std::pair<JOverrideExtensionsType, int>>;
}  // namespace quorra

// What a walk hands each walker operation.
struct JIOTWalkContext {
  uintptr_t context;  // the caller's value given to Walk (a number or a pointer)
  DWORD depth;        // 0 at the walk's root
  DWORD childCount;   // children of the assembly whose children are visited
  DWORD childIndex;   // index of the child being visited
};

// Walk codes (shared with the occurrence walks): 0 continue; 3 (from
// VisitAssemblyChild) skip that assembly's children; 4 stop, the walk
// answers 1; 5 stop, the walk answers 5; negative: failure, the walk ends
// with that code.
class JIOTWalker {
 public:
  virtual ~JIOTWalker() = default;
  // An assembly whose children are about to be visited (the walk's root too).
  virtual HRESULT BeginAssembly(JAsmOverride* node, JIOTWalkContext* context);  // slot 1
  // A part child.
  virtual HRESULT VisitPart(JIDSOverride* node, JIOTWalkContext* context);  // slot 2
  // An assembly child before its children; also the root with visitRoot.
  virtual HRESULT VisitAssemblyChild(JAsmOverride* node, JIOTWalkContext* context);  // slot 3
  // After an assembly's children (the walk's root too).
  virtual HRESULT EndAssembly(JAsmOverride* node, JIOTWalkContext* context);  // slot 4
};

// A node of the override table. Which values a node holds, where (user data
// type id) and under which gate bit:
//   style 4 (dwProps 0x1), geometric version 5 (Ex 0x4), route 36
//   (0x20000000), configuration settings 37 (0x10000000), matrix 39 (0x400),
//   solver status 40 (0x800), body 41 (0x8000), variables 42 (0x2000),
//   adaptable 46 (0x4000), adaptable sync 51 (0x20000), matrix sync 52
//   (0x40000), alternate style 57 (0x80000), body sync 59 (0x100000),
//   variable sync 63 (0x200000), style sync 65 (0x400000), adjustable part
//   73 (0x800000), adjustable part sync 74 (0x1000000), counter 88 (none),
//   owning-document save time 90 (Ex 0x8), alternate route 91 (Ex 0x10),
//   constraints 98 (Ex 0x100), occurrence-property overrides 101
//   (Ex 0x10000), colour 120 (Ex 0x40000), override-constraint sync 121
//   (0x100000), document id 128 (Ex 0x400000), body-override document id 130
//   (Ex 0x800000), previous override body 131 (Ex 0x1000000), body-override
//   version data 132 (Ex 0x2000000).
// The node owns every value (the root's tree back pointer excepted).
//
// "Dirty (s, g)" below means the owning tree's SetDirtyFlag(s, g).
class JIDSOverride {
 public:
  JIDSOverride() = default;
  JIDSOverride(const JIDSOverride&) = delete;
  JIDSOverride& operator=(const JIDSOverride&) = delete;
  virtual ~JIDSOverride();
  virtual BOOL IsPart() const { return 0; }
  virtual BOOL IsAssembly() const { return 0; }

  // ---- plain access ----
  DWORD GetProps() const { return dwProps_; }
  void SetProps(DWORD props) { dwProps_ = props; }
  DWORD GetPropsEx() const { return dwPropsEx_; }
  void SetPropsEx(DWORD props) { dwPropsEx_ = props; }
  DWORD GetAttachmentID() const { return attachmentId_; }
  void SetAttachmentID(DWORD id) { attachmentId_ = id; }
  JAsmOverride* GetParent() const { return parent_; }
  void SetParent(JAsmOverride* parent) { parent_ = parent; }
  // The tree, found through the root's back pointer; null for a node that is
  // not under a root.
  JIDSOverrideTree* GetTree() const;
  MemoryAllocator* GetAllocator() const;
  HRESULT GetStyleManager(REFIID iid, void** out) const;

  HRESULT AddUserData(DWORD type, void* value) { return userData_.Add(type, value); }
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }
  UserDataMap* GetUserDataMap() const { return userData_.Map(); }

  // ---- display bits (no dirty marking) ----
  void SetHidden(BOOL flag) { SetBit(IOT_HIDDEN, flag); }
  BOOL GetHidden() const { return (dwProps_ & IOT_HIDDEN) ? 1 : 0; }
  void SetCoordSysDisplay(BOOL flag) { SetBit(IOT_COORDSYS_ON, flag); }
  BOOL GetCoordSysDisplay() const { return (dwProps_ & IOT_COORDSYS_ON) ? 1 : 0; }
  void SetSketchesDisplay(BOOL flag) { SetBit(IOT_SKETCHES_ON, flag); }
  BOOL GetSketchesDisplay() const { return (dwProps_ & IOT_SKETCHES_ON) ? 1 : 0; }
  void SetSurfacesDisplay(BOOL flag) { SetBit(IOT_SURFACES_ON, flag); }
  BOOL GetSurfacesDisplay() const { return (dwProps_ & IOT_SURFACES_ON) ? 1 : 0; }
  void SetCurvesDisplay(BOOL flag) { SetBit(IOT_CURVES_ON, flag); }
  BOOL GetCurvesDisplay() const { return (dwProps_ & IOT_CURVES_ON) ? 1 : 0; }
  void SetRefPlanesDisplay(BOOL flag) { SetBit(IOT_REFPLANES_ON, flag); }
  BOOL GetRefPlanesDisplay() const { return (dwProps_ & IOT_REFPLANES_ON) ? 1 : 0; }
  void SetRefAxesDisplay(BOOL flag) { SetBit(IOT_REFAXES_ON, flag); }
  BOOL GetRefAxesDisplay() const { return (dwProps_ & IOT_REFAXES_ON) ? 1 : 0; }

  // ---- styles ----
  // No change when `id` is the current value. Otherwise, with `notify`, an
  // old id other than 0 and 0xFFFFFFFF is released with the style manager
  // and a new id other than 0 and 0xFFFFFFFF is added to it. Id 0 clears the
  // gate bit.
  HRESULT SetStyle(DWORD id, BOOL notify);
  HRESULT SetAltStyle(DWORD id, BOOL notify);
  DWORD GetStyle() const;
  DWORD GetAltStyle() const;

  // ---- stored values (0 when the gate bit is clear) ----
  DWORD GetColorOverride() const;
  HRESULT SetColorOverride(DWORD color);
  DWORD GetDocID() const;
  DWORD SetDocID(DWORD id);
  DWORD GetBodyOverrideDocID() const;
  DWORD SetBodyOverrideDocID(DWORD id);
  DWORD GetGeometricVersion() const;
  HRESULT SetGeometricVersion(DWORD version);
  DWORD GetCounter() const;
  HRESULT SetCounter(DWORD counter);
  HRESULT SetOwningCADSaveTime(const FILETIME& time);
  HRESULT GetOwningCADSaveTime(FILETIME* out) const;
  HRESULT SetBodyOverrideVersionData(const quorra::IOTDwordMap& versions);
  const quorra::IOTDwordMap* GetBodyOverrideVersionData() const;

  // ---- matrix, solver status, body ----
  // Null removes the matrix; else a copy is stored. Dirty (1, 1).
  HRESULT SetMatrix(const tagG4x4* matrix);
  const tagG4x4* GetMatrix() const;
  HRESULT GetMatrix(tagG4x4* out) const;
  // Non-zero stores, zero removes. Dirty (1, 0).
  HRESULT SetSolverStatus(DWORD status);
  HRESULT GetSolverStatus(DWORD* out) const;
  // Takes ownership of `body` (null removes). Dirty (1, 1).
  HRESULT SetBodyData(JOverrideBodyData* body);
  JOverrideBodyData* GetBodyData() const;
  HRESULT SetCurrentDocPreviousOverrideBodyData(JOverrideBodyData* body);
  JOverrideBodyData* GetCurrentDocPreviousOverrideBodyData() const;

  // ---- adaptable, adjustable part and the sync flags ----
  // All change the tree's adjustable-state cache and mark dirty (1, 0).
  HRESULT SetAdaptable();
  HRESULT RemoveAdaptable();
  HRESULT ClearAdaptable() { return RemoveAdaptable(); }
  HRESULT SetAdjustablePart();
  HRESULT RemoveAdjustablePart();
  HRESULT ClearAdjustablePart() { return RemoveAdjustablePart(); }
  // out = 0 first; gate bit clear: S_OK with 0; value absent: S_FALSE with 0;
  // else S_OK with the value. Null out: E_INVALIDARG.
  HRESULT GetAdaptable(DWORD* out) const;
  HRESULT GetAdjustablePart(DWORD* out) const;
  HRESULT SetAdaptableSync();
  HRESULT SetMatrixSync();
  HRESULT SetVariableSync();
  HRESULT SetStyleSync();
  HRESULT SetOverrideConstraintSync();
  HRESULT SetBodySync();            // nothing when it already reads 1
  HRESULT SetAdjustablePartSync();  // nothing when it already reads 1
  HRESULT RemoveAdaptableSync();
  HRESULT RemoveMatrixSync();
  HRESULT RemoveVariableSync();
  HRESULT RemoveStyleSync();
  HRESULT RemoveBodySync();                // clears 0x100000
  HRESULT RemoveOverrideConstraintSync();  // clears 0x100000 too
  HRESULT RemoveAdjustablePartSync();
  HRESULT GetAdaptableSync(DWORD* out) const;
  HRESULT GetMatrixSync(DWORD* out) const;
  HRESULT GetVariableSync(DWORD* out) const;
  HRESULT GetStyleSync(DWORD* out) const;
  HRESULT GetBodySync(DWORD* out) const;
  HRESULT GetOverrideConstraintSync(DWORD* out) const;
  HRESULT GetAdjustablePartSync(DWORD* out) const;

  // ---- variables ----
  // Replaces the value of every entry (kind, key) or inserts one. Dirty (1, 1).
  HRESULT SetVariable(DWORD kind, DWORD key, double value);
  HRESULT GetVariable(DWORD kind, DWORD key, double* out) const;
  HRESULT GetVariable(DWORD kind, quorra::IOTVariableRange* range) const;
  HRESULT GetVariables(quorra::IOTVariableMap* out) const;
  // E_UNEXPECTED when 0x2000 is clear, E_POINTER without a map, E_FAIL when
  // no entry; erases the first (kind, key) entry. Dirty (1, 1).
  HRESULT ClearVariable(DWORD kind, DWORD key);

  // ---- configuration settings ----
  HRESULT AddConfigSetting(DWORD id, BYTE type, DWORD flags);
  HRESULT GetConfigSetting(DWORD id, BYTE* outType, DWORD* outFlags) const;
  HRESULT RemoveConfigSetting(DWORD id);
  quorra::ConfigSettingMap* GetConfigSettingMap(bool create);

  // ---- constraints ----
  HRESULT AddConstraint(DWORD key, DWORD value);
  HRESULT RemoveConstraint(DWORD key);
  HRESULT ClearConstraints();
  quorra::IOTDwordMap* GetConstraints(bool create);

  // ---- occurrence-property overrides ----
  // Replaces the value of `type` or appends the pair; sets Ex 0x10000. S_OK.
  HRESULT AddOccurrencePropertyOverride(JOverrideExtensionsType type, int value);
  // Removes the first pair of `type`; the last pair going clears all. S_OK.
  HRESULT RemoveOccurrencePropertyOverride(JOverrideExtensionsType type);
  // Removes the pairs, clears Ex 0x10000, dirty (1, 1).
  HRESULT ClearOccurrencePropertyOverrides();
  quorra::OccPropertyOverrides* GetOccurrencePropertyOverrides(bool create);

  // ---- routes ----
  // Null clears; an equal route changes nothing; else a copy is stored.
  HRESULT SetRoute(const JMemberRoute* route);
  // Null when 0x20000000 is clear.
  const JMemberRoute* GetRoute() const;
  HRESULT SetAltRoute(const JMemberRoute* route);
  HRESULT GetAltRoute(JMemberRoute* out) const;
  // The node's path from the root's children down.
  HRESULT GetRoadmap(JRoadmap* out) const;
  JRoadmap GetRoadmap() const;

  // ---- identity in the parent ----
  // Gives a route-identified node (id 0, route present) its real id and
  // re-keys it in its parent.
  HRESULT UpdateAttachmentID(DWORD id);
  // Changes the id field only (E_UNEXPECTED for id 0 nodes and the root).
  HRESULT ChangeAttachmentID(DWORD id);

  // ---- the occurrence ----
  // The occurrence of the owning document's live tree this node stands for.
  HRESULT GetOccurrenceNode(OccurrenceNode** out) const;
  // Seeds the display bits from the occurrence (when there is one).
  HRESULT CopyOccurrenceProps();
  // Takes `node` out of its parent and destroys it (an assembly with its
  // subtree; a part after releasing its style).
  static HRESULT Delete(JIDSOverride* node);

 protected:
  friend class JAsmOverride;
  friend class JIDSOverrideTree;

  void SetBit(DWORD bit, BOOL on) { dwProps_ = on ? (dwProps_ | bit) : (dwProps_ & ~bit); }
  void MarkDirty(DWORD structural, DWORD geometric) const;
  void InvalidateAdjustableState() const;
  HRESULT SetStyleValue(DWORD type, DWORD bit, DWORD id, BOOL notify);
  DWORD GatedValue(DWORD type, DWORD gate, bool extended) const;
  HRESULT SetFlagValue(DWORD type, DWORD gate);
  HRESULT RemoveFlagValue(DWORD type, DWORD gate);
  HRESULT GetFlagValue(DWORD type, DWORD gate, DWORD* out) const;

  DWORD dwProps_ = 0;
  DWORD attachmentId_ = 0;
  quorra::UserDataHolder userData_;
  JAsmOverride* parent_ = nullptr;
  DWORD dwPropsEx_ = 0;
};

namespace quorra {
// The children of an assembly override: entries (attachment id, node) in id
// order, entries with equal ids in insertion order. Lookups are binary
// searches; appends in id order are O(1), out-of-order inserts collect in a
// short pending list that is merged in once it grows past the square root of
// the table (so n inserts in any order cost O(n sqrt n) moves, never n^2);
// removals leave a hole that is compacted once holes are half the table.
class OverrideChildTable {
 public:
  using Entry = std::pair<DWORD, JIDSOverride*>;
  DWORD Count() const { return count_; }
  void Insert(DWORD id, JIDSOverride* node);
  // The first node under `id`, or null.
  JIDSOverride* Find(DWORD id) const;
  // Erases the first entry under `id`; when `node` is given, the first
  // entry under `id` that holds it. False when none.
  bool Erase(DWORD id, JIDSOverride* node);
  // The entries in order, without holes.
  const std::vector<Entry>& Ordered() const;
  // The first node under `id`, in order, for which f(node) answers true;
  // null when none. Does not reorder the table.
  template <class F>
  JIDSOverride* FindIf(DWORD id, F f) const {
    for (auto it = LowerBound(id); it != sorted_.end() && it->first == id; ++it)
      if (it->second && f(it->second)) return it->second;
    for (const Entry& e : pending_)
      if (e.first == id && f(e.second)) return e.second;
    return nullptr;
  }
  void Clear();
  std::vector<Entry> TakeAll();
  // Destroys every node held (in no particular order) and empties the table.
  void DeleteAll() noexcept;

 private:
  std::vector<Entry>::const_iterator LowerBound(DWORD id) const;
  void Normalize() const;
  mutable std::vector<Entry> sorted_;   // may hold holes (null nodes)
  mutable std::vector<Entry> pending_;  // insertion order
  mutable DWORD holes_ = 0;
  DWORD count_ = 0;
};
}  // namespace quorra

class JAsmOverride : public JIDSOverride {
 public:
  JAsmOverride();
  ~JAsmOverride() override;
  BOOL IsAssembly() const override { return 1; }

  // Finds or creates the child under `id` of the requested type (0x80000000
  // assembly, 0x40000000 part; another type keeps an existing child and
  // creates a part). An existing child of the other type is replaced: a part
  // by a new assembly (its style released), an assembly by a new part (its
  // subtree deleted). Null when memory ran out.
  JIDSOverride* AddChild(DWORD id, DWORD type);
  // The same for a route-identified child (id 0), found by route equality.
  JIDSOverride* AddChild(const JMemberRoute& route, DWORD type);
  JIDSOverride* GetChild(DWORD id) const;
  JIDSOverride* GetChild(const JMemberRoute& route) const;
  // The i-th child in key order; null past the end.
  JIDSOverride* GetChildByIndex(DWORD index) const;
  HRESULT GetChildren(std::vector<JIDSOverride*>& out) const;
  DWORD GetChildCount() const { return children_.Count(); }
  // Erases the first entry under the node's id (the node is not destroyed).
  HRESULT RemoveChild(JIDSOverride* node);
  // Re-keys children: every child under an old id takes the new id. S_FALSE
  // for an empty list.
  HRESULT ChangeChildIDs(const std::vector<std::pair<DWORD, DWORD>>& pairs);
  // Re-keys `node` under `id`.
  HRESULT UpdateChildAttachmentID(JIDSOverride* node, DWORD id);
  // Walks this subtree (see JIOTWalker for the codes): 0 done, 1 stopped by
  // code 4, 3 root skipped, 5 stopped by code 5, negative failure.
  HRESULT Walk(JIOTWalker* walker, uintptr_t context, BOOL visitRoot);

  // Process-wide count of live assembly overrides.
  static DWORD GetInstanceCount();

 protected:
  friend class JIDSOverride;
  friend class JIDSOverrideTree;
  friend class DeleteTreeWalker;
  // Inserts a node under its id: E_UNEXPECTED (traced) when a non-zero id
  // is taken already.
  HRESULT AddChild(JIDSOverride* node);
  JIDSOverride* AddChildHelper(JIDSOverride* existing, DWORD type, DWORD id);
  HRESULT InternalWalk(JIOTWalker* walker, JIOTWalkContext* context);

  quorra::OverrideChildTable children_;
};

class JPartOverride : public JIDSOverride {
 public:
  JPartOverride();
  ~JPartOverride() override;
  BOOL IsPart() const override { return 1; }
  // Process-wide count of live part overrides.
  static DWORD GetInstanceCount();
};

// The override table of an assembly document.
class JIDSOverrideTree : public MemoryAllocator {
 public:
  JIDSOverrideTree();
  ~JIDSOverrideTree();
  JIDSOverrideTree(const JIDSOverrideTree&) = delete;
  JIDSOverrideTree& operator=(const JIDSOverrideTree&) = delete;

  // ---- identities and name ----
  HRESULT SetAssembly(IUnknown* document);
  // The document in interface `iid`, null when there is none.
  IUnknown* GetAssembly(REFIID iid) const;
  const JDocIdentity& GetAssemblyIdentity() const { return assembly_; }
  HRESULT SetStyleManager(IUnknown* manager);
  HRESULT GetStyleManager(REFIID iid, void** out) const;
  BOOL HaveStyleManager() const { return styleManager_.ObjectSet(); }
  void SetAssemblyName(const GUserText& name) { assemblyName_ = name; }
  // The document's file name through the host, else the stored name (E_FAIL
  // when that is empty).
  HRESULT GetAssemblyName(GUserText* out) const;
  // Releases both identities and leaves the live-tree set; nodes stay.
  void ObjectLeaked();

  // ---- the nodes ----
  JAsmOverride* GetAsmOverride() const { return root_; }
  // Every node below the root is deleted; the root stays.
  HRESULT Clear();
  HRESULT GetOverride(DWORD count, const DWORD* ids, JIDSOverride** out) const;
  HRESULT AddOverride(DWORD count, const DWORD* ids, DWORD type, JIDSOverride** out);
  // Removes the kinds of `mask` from the node at the path, with the scopes of
  // the mask (IOT_REMOVE_...).
  HRESULT Remove(DWORD mask, DWORD count, const DWORD* ids);
  static HRESULT Remove(DWORD mask, JIDSOverride* node);

  // ---- path operations (Set: created when missing; Get: E_FAIL when no node) ----
  HRESULT SetMatrix(DWORD count, const DWORD* ids, const tagG4x4* matrix, DWORD type);
  HRESULT GetMatrix(DWORD count, const DWORD* ids, tagG4x4* out) const;
  HRESULT SetSolverStatus(DWORD count, const DWORD* ids, DWORD status, DWORD type);
  HRESULT GetSolverStatus(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT SetStyleID(DWORD count, const DWORD* ids, DWORD styleId, DWORD type, BOOL alternate);
  HRESULT GetStyleID(DWORD count, const DWORD* ids, DWORD* out, BOOL alternate) const;
  HRESULT RemoveStyleID(DWORD count, const DWORD* ids, BOOL alternate);
  HRESULT SetAdaptable(DWORD count, const DWORD* ids, BOOL on, DWORD type);
  HRESULT SetAdjustablePart(DWORD count, const DWORD* ids, BOOL on, DWORD type);
  HRESULT GetAdaptable(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetAdjustablePart(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT SetAdaptableSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetMatrixSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetBodySync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetVariableSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetStyleSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetAdjustablePartSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT SetOverrideConstraintSync(DWORD count, const DWORD* ids, DWORD type);
  HRESULT GetAdaptableSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetMatrixSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetBodySync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetVariableSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetStyleSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetAdjustablePartSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT GetOverrideConstraintSync(DWORD count, const DWORD* ids, DWORD* out) const;
  HRESULT RemoveAdaptableSync(DWORD count, const DWORD* ids);
  HRESULT RemoveMatrixSync(DWORD count, const DWORD* ids);
  HRESULT RemoveBodySync(DWORD count, const DWORD* ids);
  HRESULT RemoveVariableSync(DWORD count, const DWORD* ids);
  HRESULT RemoveStyleSync(DWORD count, const DWORD* ids);
  HRESULT RemoveAdjustablePartSync(DWORD count, const DWORD* ids);
  HRESULT RemoveOverrideConstraintSync(DWORD count, const DWORD* ids);
  // Always E_NOTIMPL.
  HRESULT RemoveMatrix(DWORD count, const DWORD* ids);
  HRESULT RemoveSolverStatus(DWORD count, const DWORD* ids);
  HRESULT RemoveAdaptable(DWORD count, const DWORD* ids);
  HRESULT RemoveAdjustablePart(DWORD count, const DWORD* ids);

  // ---- state word ----
  HRESULT GetDirtyFlag(DWORD* out) const;
  // Asks the host whether the document is a master and in edit mode; a
  // master gains 0x1, 0x2 with `structural`, 0x4 with `geometric` or edit
  // mode. Answers the host query's result.
  HRESULT SetDirtyFlag(DWORD structural, DWORD geometric);
  void ClearDirtyFlag() { state_ &= ~(IOT_STATE_DIRTY | IOT_STATE_DIRTY_STRUCTURAL | IOT_STATE_DIRTY_GEOMETRIC); }
  BOOL IsLoading() const { return (state_ & IOT_STATE_LOADING) ? 1 : 0; }
  // For the stream reader: sets or clears the loading bit.
  void SetLoading(BOOL loading);
  void ClearAdjustableStateFlags() {
    state_ &= ~(IOT_STATE_ADJUSTABLE_VALID | IOT_STATE_ADJUSTABLE_PART | IOT_STATE_ADAPTABLE_ASSEMBLY);
  }
  HRESULT UpdateAdjustableStateFlags();
  HRESULT IsAdaptableAssemblyPresent(BOOL* out);
  HRESULT IsAdjustablePartPresent(BOOL* out);
  HRESULT IsAdjustableOccPresent(BOOL* out);
  // The host's two answers for the assembly document (both 0 without a
  // document or the host function).
  HRESULT CheckFoaMasterAndEditMode(BOOL* master, BOOL* editMode) const;

  // ---- apply bookkeeping (set only while an apply runs) ----
  void* GetApplySource() const { return applySource_; }
  JIDSOverride* GetApplySourceOverride() const { return applySourceOverride_; }
  void SetApplySource(void* source, JIDSOverride* sourceOverride) {
    applySource_ = source;
    applySourceOverride_ = sourceOverride;
  }

  // ---- tree-level user data ----
  HRESULT AddUserData(DWORD type, void* value) { return userData_.Add(type, value); }
  void* GetUserData(DWORD type, int* found) const { return userData_.Get(type, found); }
  HRESULT RemoveUserData(DWORD type) { return userData_.Remove(type); }
  // Type 129: a borrowed map; null removes it.
  HRESULT SetSiteFileMap(SiteFileToUniversalIdentifierMap* map);
  SiteFileToUniversalIdentifierMap* GetSiteFileMap() const;

  // ---- the "IOT"/"Default" stream ----
  // Version 2 is written; versions 0, 1 and 2 are read. A load adds to what
  // the tree holds; a failing load keeps the nodes read before the failure.
  HRESULT Save(IStorage* storage);
  HRESULT SaveToStream(const JIOStreamContext& context);
  HRESULT Load(IStorage* storage);
  // Loads the table of the family member `memberName` of `storage` (a
  // storage that offers IJFamilyMemberStorage).
  HRESULT LoadFoaMemberIot(IStorage* storage, const wchar_t* memberName);
  // `root` null: the tree's root.
  HRESULT LoadFromStream(const JIOStreamContext& context, JAsmOverride* root);
  HRESULT LoadFromStreamEx(const JIOStreamContext& context, JAsmOverride* root, OverrideTreeType treeType,
                           SiteFileToUniversalIdentifierMap* siteFileMap);

  // ---- applying the overrides to live occurrences ----
  // Copies the overrides below the starting node onto the occurrences below
  // `assemblyOccurrence`; `flags` selects the kinds (the apply selection
  // word). S_FALSE when there is no starting node.
  HRESULT Apply(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence, DWORD flags);
  // Moves the override at the from-path to the to-path.
  HRESULT Transfer(DWORD reserved, DWORD fromCount, const DWORD* fromIds, DWORD toCount, const DWORD* toIds);
  // Turns a configuration member roadmap into override nodes and settings.
  HRESULT AddConfigEntry(JMemberRoadmap* memberRoadmap, DWORD options, JIDSOverride** node);

  // ---- diagnostics ----
  // Writes the heading and one line per node (root included).
  HRESULT Probe(GUserText* out);
  // The test-log dump of the table, appended to `out`: the heading with
  // dump version `version` and the node counts, then one block per node
  // (root first, then depth first in key order). `flags` is not read yet.
  // E_INVALIDARG (traced) for a null stream.
  HRESULT DumpForATP(DWORD flags, DWORD version, std::ostringstream* out);
  HRESULT DumpForATPW(DWORD flags, DWORD version, std::wostringstream* out);

  // Whether `tree` is a live tree of this process.
  static bool IsLiveTree(const JIDSOverrideTree* tree);
  static DWORD GetLiveTreeCount();

 protected:
  JIDSOverride* Bind(DWORD count, const DWORD* ids) const { return Bind(root_, count, ids); }
  static JIDSOverride* Bind(JAsmOverride* parent, DWORD count, const DWORD* ids);
  static JIDSOverride* CreateBranch(JAsmOverride* parent, DWORD count, const DWORD* ids, DWORD type);
  // The node at the path, created when missing; null on failure.
  JIDSOverride* Branch(DWORD count, const DWORD* ids, DWORD type);

  // One record (and, for an assembly, its children). `inOut` points at the
  // node to load into, or at null to create the node under `parent`.
  HRESULT SaveOverride(const JIOStreamContext& context, JIDSOverride* node);
  HRESULT LoadOverride(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut);
  HRESULT LoadOverrideEx(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut,
                         OverrideTreeType treeType, SiteFileToUniversalIdentifierMap* siteFileMap);
  HRESULT LoadOverride1(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut);
  HRESULT LoadFromStreamOld(const JIOStreamContext& context, JAsmOverride* root);

  HRESULT Apply(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence, JAsmOverride* asmOverride,
                DWORD flags);
  HRESULT ApplyConfig(IJStyleLibrary* styleLibrary, AssemblyOccurrence* assemblyOccurrence,
                      JAsmOverride* asmOverride, DWORD flags);
  HRESULT MapConfigOverrides(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyDisplaySettings(OccurrenceNode* occurrence, JIDSOverride* override, DWORD flags);
  HRESULT ApplyStyle(IJStyleLibrary* styleLibrary, OccurrenceNode* occurrence, JIDSOverride* override,
                     BOOL alternate);
  HRESULT ApplyMatrix(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyStatus(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyBody(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyVariables(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyAdaptable(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyAdjustablePart(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyColorOverride(OccurrenceNode* occurrence, JIDSOverride* override);
  HRESULT ApplyConstraints(OccurrenceNode* occurrence, JIDSOverride* override);

 private:
  friend class JIDSOverride;
  JAsmOverride* root_ = nullptr;
  GUserText assemblyName_;
  JDocIdentity assembly_;
  JIdentity styleManager_;
  DWORD state_ = 0;
  void* applySource_ = nullptr;
  JIDSOverride* applySourceOverride_ = nullptr;
  quorra::UserDataHolder userData_;
  bool registered_ = false;
};

namespace quorra {
// Rebuilds the extension record of `document` (the table's assembly
// document) on `occurrence` from the occurrence-property overrides of
// `node` (null: none), as applying display settings does: a pair is kept
// when its value is non-zero, when the occurrence is more than one step
// below the root, or when some extension record of the occurrence already
// names its type (1 to 7). The record is set to the kept types (empty when
// none). E_INVALIDARG for a null occurrence or an unset document.
HRESULT RebuildOverrideExtensions(OccurrenceNode* occurrence, JIDSOverride* node, const JDocIdentity& document);
}  // namespace quorra

extern "C" {
// The override-table object of `document` in interface `iid`, through the
// host's persist manager and graphic support object.
HRESULT JGetIOT(IUnknown* document, REFIID iid, void** out);
// Forward both arguments to the host's "JAsmApplyIOTForPMI" and
// "JAsmPopulateIOTForPMI" of "brenik.dex" (product-manufacturing
// information) and answer their result; E_FAIL when the host has none.
HRESULT JApplyIOTForPMI(void* a, void* b);
HRESULT JPopulateIOTForPMI(void* a, void* b);
}
