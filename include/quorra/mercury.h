// Mercury: the occurrence-property service's context. A caller points it at
// one occurrence, named by an assembly document and a path below it (a
// DisplayRoadmap or a JMemberRoadmap) or by an occurrence node of a live
// tree, and Mercury resolves the rest lazily: the occurrence and its tree,
// the document's override table (IOT) and the override node of the path.
// Each resolution is done once and kept until the context is set again.
// Resolved tree pointers are not counted: the caller keeps the tree alive.
//
// Once the context is set, Mercury reads and changes that occurrence's
// properties. Readers answer from the live occurrence (the values after the
// overrides were applied). Writers never change the occurrence: they find
// or create the override node of the roadmap in the context document's
// IOT, change it, and notify the tree, whose host applies the table again.
#pragma once

#include <map>
#include <utility>
#include <vector>

#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/types.h"
#include "quorra/roadmap.h"

class AsmTree;
class AssemblyOccurrence;
class JIDSOverride;
class JIDSOverrideTree;
class JMemberRoadmap;
class JOverrideBodyData;
class OccurrenceNode;
class SiteNode;
struct KVAssemblyData;
struct KVBaseData;

namespace quorra {
// An occurrence's override variables: object id -> (type, value), ordered by
// object id (the same types as quorra/occurrence.h declares).
using OverrideVariableMap = std::multimap<DWORD, std::pair<DWORD, double>>;
using OverrideVariableRange = std::pair<OverrideVariableMap::const_iterator, OverrideVariableMap::const_iterator>;
}  // namespace quorra

// One override variable: its two ids and its value.
struct KVMercuryVariableOverrideData {
  DWORD firstId;
  DWORD secondId;
  double value;
};

// Resolution requests of Mercury::ResolveContext. At most one of the first
// four may be set in one request.
constexpr DWORD RC_IOT = 0x1;          // the IOT and the override node
constexpr DWORD RC_OCCURRENCE = 0x2;   // the occurrence and its tree
constexpr DWORD RC_TOP_LEVEL = 0x4;    // the top-level tree list
constexpr DWORD RC_BY_DOCUMENT = 0x8;  // search the top-level trees for the document
constexpr DWORD RC_FOR_UPDATE = 0x10;  // with RC_OCCURRENCE: the tree is wanted for a change

// How SetContext(context, flags) asks the host for a context's document and
// roadmap: 1 and 2 pass true and false to "JGetContextInformation"; any
// other value changes nothing.
enum SetContextFlags : DWORD {};

// Flags of Mercury::ApplyOverrides and Mercury::ClearOverrides. The first
// group says where to start; the second says what is applied or cleared.
constexpr DWORD MERCURY_OVERRIDES_WALK = 0x1;              // also every occurrence below the start
constexpr DWORD MERCURY_OVERRIDES_SKIP_START = 0x2;        // leave the starting occurrence itself out
constexpr DWORD MERCURY_OVERRIDES_TOP_LEVEL = 0x200;       // whole trees of the top-level documents
constexpr DWORD MERCURY_OVERRIDES_TOP_LEVEL_IPA = 0x400;   // as 0x200, an IPA tree from its IPA occurrence
constexpr DWORD MERCURY_OVERRIDES_OWN_TREE = 0x1000;       // the context occurrence's own tree
constexpr DWORD MERCURY_OVERRIDES_DOCUMENT_TREE = 0x40000000;  // apply only: the document's own tree
constexpr DWORD MERCURY_OVERRIDES_MATRIX = 0x4;            // matrix (clear: with the solver status)
constexpr DWORD MERCURY_OVERRIDES_BODY = 0x8;
constexpr DWORD MERCURY_OVERRIDES_VARIABLES = 0x10;
constexpr DWORD MERCURY_OVERRIDES_SOLVER_STATUS = 0x20;
constexpr DWORD MERCURY_OVERRIDES_STYLE = 0x40;
constexpr DWORD MERCURY_OVERRIDES_DISPLAY = 0x80;
constexpr DWORD MERCURY_OVERRIDES_ADAPTABLE = 0x100;
constexpr DWORD MERCURY_OVERRIDES_ADJUSTABLE_PART = 0x800;
constexpr DWORD MERCURY_OVERRIDES_BODY_ONE_STEP = 0x2000;
constexpr DWORD MERCURY_OVERRIDES_CONSTRAINTS = 0x4000;
constexpr DWORD MERCURY_OVERRIDES_SKIP_IPA = 0x80000000u;

// Override kinds of the override table's nodes, as AddOverride takes them.
constexpr DWORD MERCURY_KIND_ASSEMBLY = 0x80000000u;
constexpr DWORD MERCURY_KIND_PART = 0x40000000u;

class Mercury {
 public:
  // State bits.
  static constexpr DWORD kIOTResolved = 0x1;
  static constexpr DWORD kOccurrenceResolved = 0x2;
  static constexpr DWORD kFoundByDocument = 0x4;
  static constexpr DWORD kTopLevelBuilt = 0x8;

  Mercury() = default;
  // Takes every field and its own reference on both documents.
  Mercury(const Mercury& other);
  Mercury& operator=(const Mercury& other);
  virtual ~Mercury();

  // Clear, then the document (its IUnknown identity) and the roadmap. A
  // roadmap without a document gives E_UNEXPECTED.
  HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap);
  HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap);
  // As SetContext, then holds `favoured` until the next Clear.
  HRESULT SetContextEx(IUnknown* document, JMemberRoadmap* roadmap, IUnknown* favoured);
  HRESULT SetContextEx(IUnknown* document, DisplayRoadmap* roadmap, IUnknown* favoured);
  // Clear, then the occurrence; its tree and document are found later.
  HRESULT SetContext(OccurrenceNode* occurrence);
  // A host membassy or context object: its document and roadmap.
  HRESULT SetContext(IUnknown* context);
  // A host context object, through "JGetContextInformation".
  HRESULT SetContext(IUnknown* context, SetContextFlags flags);

  // The resolved occurrence (RC_OCCURRENCE); E_POINTER when there is none.
  HRESULT GetOccurrenceNode(OccurrenceNode** out);
  // The override node of the roadmap (RC_IOT); E_FAIL with out null when
  // the table has no node for it.
  HRESULT GetOverride(JIDSOverride** out);
  // Tells the live tree (or every tree, flags 0x1) of a change through
  // JNotifyIDS. flags needs a bit of 0x3 and a bit of 0xC.
  HRESULT UpdateIDS(DWORD flags);

  // ---- readers of the live occurrence ----
  // Each resolves the occurrence and answers from its flags, that is the
  // value after the overrides were applied. Booleans travel as ints.
  HRESULT GetHidden(int* out);
  HRESULT GetVisible(int* out);
  HRESULT GetActive(int* out);
  HRESULT GetSimplified(int* out);
  HRESULT GetStyle(DWORD* out);
  HRESULT GetCoordSysDisplay(int* out);
  HRESULT GetSketchesDisplay(int* out);
  HRESULT GetSurfacesDisplay(int* out);
  HRESULT GetCurvesDisplay(int* out);
  HRESULT GetConstructionsDisplay(int* out);
  HRESULT GetRefPlanesDisplay(int* out);
  HRESULT GetRefAxesDisplay(int* out);
  HRESULT GetAsLastSavedDisplay(int* out);
  HRESULT GetDimensionsDisplay(int* out);
  HRESULT GetAnnotationsDisplay(int* out);
  HRESULT GetLiveSectionsDisplay(int* out);
  HRESULT GetDesignBodiesDisplay(int* out);
  HRESULT GetCenterLineDisplay(int* out);
  HRESULT GetDecalsDisplay(int* out);
  HRESULT GetPointCloudsDisplay(int* out);
  HRESULT GetHideInDrawing(int* out);
  HRESULT GetHideInSubassembly(int* out);
  HRESULT GetNotSelectable(int* out);
  HRESULT GetDisplayAsDraftReference(int* out);
  HRESULT GetExcludeFromPhysicalProperties(int* out);
  HRESULT GetExcludeFromReports(int* out);
  HRESULT GetExcludeFromInterference(int* out);
  HRESULT IsAssembly(int* out);
  HRESULT IsPart(int* out);
  HRESULT GetAdaptable(int* out);
  HRESULT GetAdjustablePart(int* out);

  // ---- writers of the override node's property bits ----
  // Each changes the override node of the roadmap (created when missing) in
  // the context document's IOT and notifies the tree; the live occurrence
  // changes only when the overrides are applied again.
  HRESULT SetHidden(int value);
  HRESULT SetActive(int value);
  HRESULT SetSimplified(int value);
  HRESULT SetCoordSysDisplay(int value);
  HRESULT SetSketchesDisplay(int value);
  HRESULT SetSurfacesDisplay(int value);
  HRESULT SetCurvesDisplay(int value);
  HRESULT SetConstructionsDisplay(int value);
  HRESULT SetRefPlanesDisplay(int value);
  HRESULT SetRefAxesDisplay(int value);
  HRESULT SetAsLastSavedDisplay(int value);
  HRESULT SetDimensionsDisplay(int value);
  HRESULT SetAnnotationsDisplay(int value);
  HRESULT SetLiveSectionsDisplay(int value);
  HRESULT SetDesignBodiesDisplay(int value);
  HRESULT SetCenterLineDisplay(int value);
  HRESULT SetDecalsDisplay(int value);
  HRESULT SetPointCloudsDisplay(int value);

  // ---- writers of occurrence-property overrides ----
  HRESULT SetHideInDrawing(int value);
  HRESULT SetHideInSubassembly(int value);
  HRESULT SetNotSelectable(int value);
  HRESULT SetDisplayAsDraftReference(int value);
  HRESULT SetExcludeFromPhysicalProperties(int value);
  HRESULT SetExcludeFromReports(int value);
  HRESULT SetExcludeFromInterference(int value);

  // ---- other writers ----
  HRESULT SetStyle(DWORD style);
  HRESULT SetOverrideMatrix(tagG4x4* matrix, DWORD updateFlags);
  HRESULT SetOverrideMatrix(tagG4x4* matrix);
  HRESULT SetOverrideSolverStatus(DWORD status);
  HRESULT SetAdaptable(int value);
  HRESULT SetAdjustablePart(int value);
  HRESULT SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables);
  HRESULT SetOverrideVariable(DWORD firstId, DWORD secondId, double value);
  HRESULT ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables);
  HRESULT ClearOverrideVariable(DWORD firstId, DWORD secondId);
  HRESULT AddOverrideConstraint(DWORD key, DWORD value);
  HRESULT ClearOverrideConstraint(DWORD key);
  // Both take ownership of `bodyData` (null removes), also when they fail
  // before the override node is reached.
  HRESULT SetOverrideBodyData(JOverrideBodyData* bodyData);
  HRESULT SetOverrideBodyDataMatrix(tagG4x4* matrix);
  HRESULT SetCurrentDocPreviousOverrideBodyData(JOverrideBodyData* bodyData);
  HRESULT SetOwningCADSaveTime(FILETIME const& time);
  HRESULT RemoveOverrides(DWORD mask);
  HRESULT RemoveAdaptable();
  HRESULT RemoveAdjustablePart();

  // ---- other readers ----
  HRESULT GetAttachmentMatrix(tagG4x4* out);
  HRESULT GetOccurrenceMatrix(tagG4x4* out);
  HRESULT GetCompleteMatrix(tagG4x4* out);
  HRESULT GetConstraintMatrix(tagG4x4* out);
  HRESULT GetConstraintMatrix(tagG4x4* out, DWORD resolveFlags);
  HRESULT GetUndecoratedMatrix(tagG4x4* out, DWORD options);
  HRESULT GetOverrideMatrix(tagG4x4* out);
  HRESULT GetExplodeMatrixInPath(tagG4x4* out, bool* found);
  BOOL HasOverriddenMatrix();
  BOOL HasOverriddenSolverStatus();
  HRESULT GetOverrideSolverStatus(DWORD* out);
  HRESULT GetOverrideVariable(DWORD firstId, DWORD secondId, double* out);
  HRESULT GetOverrideVariable(DWORD firstId, quorra::OverrideVariableRange* out);
  HRESULT GetOverrideConstraints(std::map<DWORD, DWORD>** out);
  HRESULT GetOverrideBodyData(JOverrideBodyData** out);
  HRESULT GetPreviousOverrideBodyData(JOverrideBodyData** out);
  HRESULT GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** out);
  HRESULT GetOwningCADSaveTime(FILETIME& out);
  HRESULT GetUnTransformedRange(tagGBox* out);
  HRESULT GetBaseData(DWORD type, KVBaseData** out);
  HRESULT GetAssemblyData(DWORD type, KVBaseData** out);
  HRESULT GetAssemblyData(DWORD type, KVAssemblyData** out);
  HRESULT GetPartData(DWORD type, KVBaseData** out);
  HRESULT GetLitePartData(DWORD type, KVBaseData** out);
  HRESULT IsAdaptableAssemblyPresentInIOT(bool* out);
  HRESULT IsAdjustableOccPresentInIOT(bool* out);
  HRESULT IsAdjustablePartPresentInIOT(bool* out);
  HRESULT GetAdaptableFromIOT(int* out);
  HRESULT GetAdjustablePartFromIOT(int* out);

  // ---- per-document display settings ----
  // The key is the id of a document; the document forms find it through
  // the document's persist manager.
  HRESULT SetDisplaySetting(DWORD key, DWORD type, DWORD flags, bool enable);
  HRESULT SetDisplaySetting(IUnknown* document, DWORD type, DWORD flags, bool enable);
  HRESULT GetDisplaySetting(DWORD key, DWORD mask, bool* out);
  HRESULT GetDisplaySetting(IUnknown* document, DWORD mask, bool* out);
  HRESULT RemoveDisplaySetting(DWORD key, DWORD type);
  HRESULT RemoveDisplaySetting(IUnknown* document, DWORD type);

  // ---- applying and clearing overrides on live occurrences ----
  // See the MERCURY_OVERRIDES_ flags.
  HRESULT ApplyOverrides(DWORD flags);
  HRESULT ApplyOverrides(IUnknown* document, DWORD flags);
  HRESULT ClearOverrides(DWORD flags);
  HRESULT ClearOverrides(IUnknown* document, DWORD flags);

 protected:
  HRESULT ApplyOverridesHelper(DWORD flags, SiteNode* site);
  HRESULT ClearOverridesHelper(DWORD flags, SiteNode* site);

  void Clear();
  HRESULT SetDocument(IUnknown* document);
  HRESULT SetDocumentToFavourForResolveContext(IUnknown* document);
  HRESULT SetRoadmap(JMemberRoadmap* roadmap);
  HRESULT SetRoadmap(DisplayRoadmap* roadmap);

  HRESULT ResolveContext(DWORD flags);
  HRESULT ResolveIOT();
  HRESULT ResolveOccurrence(AssemblyOccurrence* start);
  HRESULT ResolveOccurrenceDocument();

  DWORD state_ = 0;
  IUnknown* document_ = nullptr;  // counted
  DisplayRoadmap roadmap_;
  AsmTree* tree_ = nullptr;
  OccurrenceNode* occurrence_ = nullptr;
  std::vector<AsmTree*> topLevelTrees_;
  JIDSOverrideTree* iot_ = nullptr;
  JIDSOverride* override_ = nullptr;
  IUnknown* favouredDocument_ = nullptr;  // counted

 private:
  // How a writer chooses the kind of the override node it creates.
  enum class KindRule { kOccurrence, kSite, kPart, kAssembly };
  // The steps every property writer shares: the occurrence (for update),
  // its kind by `rule`, the IOT, and the override node of the roadmap
  // (created when missing). Failures are traced with `operation`; a site
  // rule on an occurrence without a site gives E_FAIL untraced.
  HRESULT ResolveOverrideForWrite(KindRule rule, const char* operation, DWORD* kind, JIDSOverride** node);
  // The occurrence for a reader; failures traced with `operation`.
  HRESULT ResolveOccurrenceForRead(const char* operation);
  // The IOT and the roadmap's existing node (null when there is none).
  HRESULT ResolveExistingOverride(const char* operation, JIDSOverride** node);
  // Asks the host whether the context document is a master (and in edit
  // mode); failures traced with `operation`.
  HRESULT CheckMasterAndEditMode(const char* operation, BOOL* master, BOOL* editMode);
  // Shared body of the int readers and the bit writers.
  HRESULT ReadFlag(const char* operation, bool (*read)(const OccurrenceNode&), int* out);
  HRESULT WriteNodeBit(const char* operation, KindRule rule, bool extended, DWORD bit, bool set);
  HRESULT WriteOccurrenceProperty(const char* operation, DWORD type, int value);
  HRESULT GetDocumentKey(IUnknown* document, const char* operation, DWORD* key);
  // The shared body of ApplyOverrides and ClearOverrides.
  HRESULT RunOverrides(DWORD flags, bool apply, const char* operation);

  template <typename Roadmap>
  HRESULT SetDocumentContext(IUnknown* document, Roadmap* roadmap);
  template <typename Roadmap>
  HRESULT SetFavouredDocumentContext(IUnknown* document, Roadmap* roadmap, IUnknown* favoured);
  HRESULT BuildTopLevelTrees();
  HRESULT FindOccurrenceByDocument();
};

extern "C" {
// The member roadmap and the display roadmap (attachment ids from the root
// down) of the occurrence a membassy stands for, found by walking its
// owners up to the document. Either roadmap may be null, not both;
// *displayRoadmapValid says whether every level gave an attachment id.
HRESULT JGetRoadmapsFromMembassy(IUnknown* membassy, JMemberRoadmap* memberRoadmap, DisplayRoadmap* displayRoadmap,
                                 bool* displayRoadmapValid);
// Gives `node` the display setting of document `key`: type, and flags when
// `enable` (else 0); marks the node as having settings.
HRESULT JAddDisplaySetting(JIDSOverride* node, DWORD key, DWORD type, DWORD flags, bool enable);
}
