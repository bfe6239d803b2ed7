// The override table's stream: storage "IOT", stream "Default". A version
// word, then the root's record; an assembly record ends with its child count
// and the children's records. Version 2 is written and read; versions 1 and 0
// (version 1 followed by the display-bit upgrade) are read only.
//
// Every field goes through one JIOStreamContext::DoIO call, integers as they
// lie in memory (little-endian). Routes are JMemberRoute records of route
// version 0 (u32 length, then the bytes).
#include <cstring>
#include <new>

#include "quorra/host/iostream_context.h"
#include "quorra/host/modules.h"
#include "quorra/host/override_services.h"
#include "quorra/host/switches.h"
#include "quorra/host/trace.h"
#include "quorra/ids_stream.h"
#include "quorra/iot_walkers.h"
#include "quorra/member_roadmap.h"
#include "quorra/override_body_data.h"
#include "quorra/override_tree.h"

namespace {
constexpr const char* kTraceSource = "SERVICES/quorra/dev/iot";
constexpr const wchar_t* kStorageName = L"IOT";
constexpr const wchar_t* kStreamName = L"Default";
constexpr DWORD kWrittenVersion = 2;
constexpr WORD kRouteVersion = 0;
// The older body form stores a count whose top bits are never both clear in
// a property word: such a value is not a count.
constexpr DWORD kNotACountBits = 0xC0000000u;

quorra::host::LateBoundFunction<JGetDocFiledVersionSignature> gGetDocFiledVersion(L"dulcet.dll",
                                                                                   "JGetDocFiledVersion");

// Read once: a set switch makes every version-0 stream take the upgrade.
bool RestoreConstructionDisplayBehavior() {
  static const bool set = JGetDebugDWORD(L"RestoreConstructionDisplayBehavior", 0) != 0;
  return set;
}

HRESULT IoWord(const JIOStreamContext& context, DWORD* value) { return context.DoIO(value, sizeof *value); }

HRESULT IoMatrix(const JIOStreamContext& context, tagG4x4* matrix) { return context.DoIO(matrix, 128); }

// Writes count, then (key, value) pairs in map order.
HRESULT WriteDwordMap(const JIOStreamContext& context, const std::map<DWORD, DWORD>& map) {
  DWORD count = static_cast<DWORD>(map.size());
  HRESULT hr = IoWord(context, &count);
  for (auto it = map.begin(); SUCCEEDED(hr) && it != map.end(); ++it) {
    DWORD pair[2] = {it->first, it->second};
    hr = context.DoIO(pair, sizeof pair);
  }
  return hr;
}

// Reads `count` pairs into `map`; a short stream stops the read.
HRESULT ReadPairs(const JIOStreamContext& context, DWORD count, std::map<DWORD, DWORD>* map) {
  try {
    for (DWORD i = 0; i < count; ++i) {
      DWORD pair[2];
      HRESULT hr = context.DoIO(pair, sizeof pair);
      if (FAILED(hr)) return hr;
      (*map)[pair[0]] = pair[1];
    }
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

// A body's map, matrix and (when `withWord`) property word.
HRESULT WriteBody(const JIOStreamContext& context, const JOverrideBodyData& body, bool withWord) {
  HRESULT hr = WriteDwordMap(context, body.GetVersionMap());
  tagG4x4 matrix = body.GetMatrix();
  if (SUCCEEDED(hr)) hr = IoMatrix(context, &matrix);
  DWORD extra = body.GetExtra();
  if (SUCCEEDED(hr) && withWord) hr = IoWord(context, &extra);
  return hr;
}

// Reads a body of `count` pairs, then the matrix when `withMatrix` and the
// property word when `withWord`. *out gets a new body on success.
HRESULT ReadBody(const JIOStreamContext& context, DWORD count, bool withMatrix, bool withWord,
                 JOverrideBodyData** out) {
  *out = nullptr;
  JOverrideBodyData::VersionMap map;
  HRESULT hr = ReadPairs(context, count, &map);
  tagG4x4 matrix;
  if (SUCCEEDED(hr) && withMatrix) hr = IoMatrix(context, &matrix);
  DWORD extra = 0;
  if (SUCCEEDED(hr) && withWord) hr = IoWord(context, &extra);
  if (FAILED(hr)) return hr;
  auto* body = new (std::nothrow) JOverrideBodyData();
  if (!body) return E_OUTOFMEMORY;
  hr = body->PopulateEx(nullptr, map, matrix, extra);
  if (FAILED(hr)) {
    delete body;
    return hr;
  }
  *out = body;
  return S_OK;
}

HRESULT ReadRoute(const JIOStreamContext& context, JMemberRoute* route) {
  route->Reset();
  return route->Serialize(context, kRouteVersion);
}

// Whether the version-0 upgrade runs for the table's document.
bool UpgradeWanted(const JIDSOverrideTree& tree) {
  if (RestoreConstructionDisplayBehavior()) return true;
  IUnknown* document = tree.GetAssembly(IID_IUnknown);
  if (!document) return true;
  WORD major = 99;
  WORD minor = 99;
  if (auto* filedVersion = gGetDocFiledVersion.Get()) {
    if (FAILED(filedVersion(document, &major, &minor))) major = minor = 99;
  }
  document->Release();
  return !(major < 14 || (major == 14 && minor < 17));
}

// Records nest one level per assembly; a stream nested deeper than any
// assembly is damaged, and reading it on would run the stack out.
constexpr int kMaxRecordDepth = 1024;
thread_local int gRecordDepth = 0;

struct RecordDepth {
  RecordDepth() { ++gRecordDepth; }
  ~RecordDepth() { --gRecordDepth; }
  RecordDepth(const RecordDepth&) = delete;
  RecordDepth& operator=(const RecordDepth&) = delete;
  bool TooDeep() const { return gRecordDepth > kMaxRecordDepth; }
};

// The fields of a record read before its node is bound (fields 1 to 9).
struct RecordHead {
  DWORD props = 0;
  DWORD propsEx = 0;
  DWORD id = 0;
  DWORD style = 0;
  DWORD altStyle = 0;
  DWORD docId = 0;
  DWORD bodyDocId = 0;
  quorra::IOTDwordMap versionData;
  JMemberRoute route;
};

}  // namespace

// ---- storage ----

HRESULT JIDSOverrideTree::Save(IStorage* storage) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::Save");
  const DWORD mode = STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
  IStorage* sub = nullptr;
  HRESULT hr = storage->CreateStorage(kStorageName, mode, 0, 0, &sub);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::Save");
  IStream* stream = nullptr;
  hr = sub->CreateStream(kStreamName, mode, 0, 0, &stream);
  if (SUCCEEDED(hr)) {
    {
      JIOStreamContext context(stream, JIOStreamContext::kWriteContext);
      hr = SaveToStream(context);
    }
    if (SUCCEEDED(hr)) hr = stream->Commit(0);
    stream->Release();
  }
  if (SUCCEEDED(hr)) hr = sub->Commit(0);
  sub->Release();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::Save");
  return S_OK;
}

HRESULT JIDSOverrideTree::SaveToStream(const JIOStreamContext& context) {
  DWORD version = kWrittenVersion;
  HRESULT hr = IoWord(context, &version);
  if (SUCCEEDED(hr) && root_) hr = SaveOverride(context, root_);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::SaveToStream");
  return S_OK;
}

// Opens IOT/Default below `storage` and loads it.
static HRESULT LoadFromStorage(JIDSOverrideTree* tree, IStorage* storage) {
  const DWORD mode = STGM_READ | STGM_SHARE_EXCLUSIVE;
  IStorage* sub = nullptr;
  HRESULT hr = storage->OpenStorage(kStorageName, nullptr, mode, nullptr, 0, &sub);
  if (FAILED(hr)) return hr;
  IStream* stream = nullptr;
  hr = sub->OpenStream(kStreamName, nullptr, mode, 0, &stream);
  if (SUCCEEDED(hr)) {
    JIOStreamContext context(stream, JIOStreamContext::kReadContext);
    hr = tree->LoadFromStream(context, nullptr);
    stream->Release();
  }
  sub->Release();
  return hr;
}

HRESULT JIDSOverrideTree::Load(IStorage* storage) {
  if (!storage) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::Load");
  return LoadFromStorage(this, storage);
}

HRESULT JIDSOverrideTree::LoadFoaMemberIot(IStorage* storage, const wchar_t* memberName) {
  if (!storage || !memberName) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::LoadFoaMemberIot");
  IJFamilyMemberStorage* family = nullptr;
  HRESULT hr = storage->QueryInterface(IID_IJFamilyMemberStorage, reinterpret_cast<void**>(&family));
  if (FAILED(hr) || !family) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_NOINTERFACE, "JIDSOverrideTree::LoadFoaMemberIot");
  IStorage* members = nullptr;
  hr = family->GetMemberStorage(&members);
  family->Release();
  if (FAILED(hr) || !members) return QUORRA_TRACE_FAIL(FAILED(hr) ? hr : E_FAIL, "JIDSOverrideTree::LoadFoaMemberIot");
  IStorage* member = nullptr;
  hr = members->OpenStorage(memberName, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, &member);
  members->Release();
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::LoadFoaMemberIot");
  hr = LoadFromStorage(this, member);
  member->Release();
  return hr;
}

// ---- writing ----

HRESULT JIDSOverrideTree::SaveOverride(const JIOStreamContext& context, JIDSOverride* node) {
  if (!node) return QUORRA_TRACE_FAIL(E_INVALIDARG, "JIDSOverrideTree::SaveOverride");
  DWORD p = node->GetProps();
  DWORD x = node->GetPropsEx();

  // Drop every bit whose data is missing, so that each written bit is
  // followed by its data.
  const JMemberRoute* route = node->GetRoute();
  if (!route) p &= ~IOT_HAVE_ROUTE;
  const quorra::ConfigSettingMap* config = node->GetConfigSettingMap(false);
  if (!config || config->empty()) p &= ~IOT_HAVE_CONFIG_INFO;
  const tagG4x4* matrix = node->GetMatrix();
  if (!matrix) p &= ~IOT_OVERRIDE_MATRIX;
  DWORD status = 0;
  if (node->GetSolverStatus(&status) != S_OK) p &= ~IOT_OVERRIDE_STATUS;
  const JOverrideBodyData* body = node->GetBodyData();
  if (!body || body->GetVersionMap().empty()) {
    p &= ~IOT_OVERRIDE_BODY;
    x &= ~IOTX_OVERRIDEBODY_PROPS_ON;
  }
  const JOverrideBodyData* previous = node->GetCurrentDocPreviousOverrideBodyData();
  if ((p & IOT_OVERRIDE_BODY) && (!previous || previous->GetVersionMap().empty())) x &= ~IOTX_PREVIOUS_OVERRIDE_BODY;
  quorra::IOTVariableMap variables;
  if (FAILED(node->GetVariables(&variables)) || variables.empty()) p &= ~IOT_OVERRIDE_VARIABLES;
  DWORD adaptable = 0;
  if (node->GetAdaptable(&adaptable) != S_OK) p &= ~IOT_ADAPTABLE;
  DWORD adjustable = 0;
  if (node->GetAdjustablePart(&adjustable) != S_OK) p &= ~IOT_ADJUSTABLE_PART;
  if (!node->GetParent()) p &= ~IOT_HIDDEN;
  FILETIME saveTime{};
  if (FAILED(node->GetOwningCADSaveTime(&saveTime))) x &= ~IOTX_OWNING_CAD_SAVE_TIME;
  JMemberRoute altRoute;
  if (FAILED(node->GetAltRoute(&altRoute))) x &= ~IOTX_ALT_ROUTE;
  const quorra::IOTDwordMap* constraints = node->GetConstraints(false);
  if (!constraints || constraints->empty()) x &= ~IOTX_OVERRIDE_CONSTRAINTS;
  const quorra::OccPropertyOverrides* occProps = node->GetOccurrencePropertyOverrides(false);
  if (!occProps || occProps->empty()) x &= ~IOTX_OCC_PROPERTIES;
  x &= ~IOTX_COLOR_OVERRIDE;
  // The older body form (read from version-1 streams) is never written: a
  // version-2 reader seeing its bit would take the next field for a body
  // count.
  p &= ~IOT_OVERRIDE_BODY_OB;
  const quorra::IOTDwordMap* versionData = node->GetBodyOverrideVersionData();

  HRESULT hr = IoWord(context, &p);
  if (SUCCEEDED(hr)) hr = IoWord(context, &x);
  DWORD id = node->GetAttachmentID();
  if (SUCCEEDED(hr)) hr = IoWord(context, &id);
  auto word = [&](bool when, DWORD value) {
    if (SUCCEEDED(hr) && when) hr = IoWord(context, &value);
  };
  word(p & IOT_STYLE, node->GetStyle());
  word(p & IOT_ALT_STYLE, node->GetAltStyle());
  word(x & IOTX_DOC_ID, node->GetDocID());
  word(x & IOTX_BODY_OVERRIDE_DOC_ID, node->GetBodyOverrideDocID());
  if (SUCCEEDED(hr) && (x & IOTX_BODY_OVERRIDE_VERSION_DATA))
    hr = WriteDwordMap(context, versionData ? *versionData : quorra::IOTDwordMap{});
  if (SUCCEEDED(hr) && (p & IOT_HAVE_ROUTE)) hr = const_cast<JMemberRoute*>(route)->Serialize(context, kRouteVersion);
  if (SUCCEEDED(hr) && (p & IOT_HAVE_CONFIG_INFO)) {
    word(true, static_cast<DWORD>(config->size()));
    for (auto it = config->begin(); SUCCEEDED(hr) && it != config->end(); ++it) {
      DWORD entry[3] = {it->second.GetID(), it->second.GetType(), it->second.GetFlags()};
      hr = context.DoIO(entry, sizeof entry);
    }
  }
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_MATRIX)) {
    tagG4x4 copy = *matrix;
    hr = IoMatrix(context, &copy);
  }
  word(p & IOT_OVERRIDE_STATUS, status);
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_BODY)) {
    hr = WriteBody(context, *body, (x & IOTX_OVERRIDEBODY_PROPS_ON) != 0);
    if (SUCCEEDED(hr) && previous && (x & IOTX_PREVIOUS_OVERRIDE_BODY)) hr = WriteBody(context, *previous, true);
  }
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_VARIABLES)) {
    word(true, static_cast<DWORD>(variables.size()));
    for (auto it = variables.begin(); SUCCEEDED(hr) && it != variables.end(); ++it) {
      BYTE entry[16];
      std::memcpy(entry, &it->first, 4);
      std::memcpy(entry + 4, &it->second.first, 4);
      std::memcpy(entry + 8, &it->second.second, 8);
      hr = context.DoIO(entry, sizeof entry);
    }
  }
  word(p & IOT_ADAPTABLE, adaptable ? 1 : 0);
  word(p & IOT_ADJUSTABLE_PART, adjustable ? 1 : 0);
  word(x & IOTX_GEOM_VERSION, node->GetGeometricVersion());
  word(x & IOTX_OWNING_CAD_SAVE_TIME, saveTime.dwLowDateTime);
  word(x & IOTX_OWNING_CAD_SAVE_TIME, saveTime.dwHighDateTime);
  if (SUCCEEDED(hr) && (x & IOTX_ALT_ROUTE)) hr = altRoute.Serialize(context, kRouteVersion);
  if (SUCCEEDED(hr) && (x & IOTX_OVERRIDE_CONSTRAINTS)) hr = WriteDwordMap(context, *constraints);
  if (SUCCEEDED(hr) && (x & IOTX_OCC_PROPERTIES)) {
    word(true, static_cast<DWORD>(occProps->size()));
    for (auto it = occProps->begin(); SUCCEEDED(hr) && it != occProps->end(); ++it) {
      DWORD entry[2] = {static_cast<DWORD>(it->first), static_cast<DWORD>(it->second)};
      hr = context.DoIO(entry, sizeof entry);
    }
  }
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::SaveOverride");

  if (node->IsAssembly()) {
    auto* assembly = static_cast<JAsmOverride*>(node);
    DWORD count = assembly->GetChildCount();
    hr = IoWord(context, &count);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::SaveOverride");
    for (DWORD i = 0; i < count; ++i) {
      hr = SaveOverride(context, assembly->GetChildByIndex(i));
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

// ---- reading ----

HRESULT JIDSOverrideTree::LoadFromStream(const JIOStreamContext& context, JAsmOverride* root) {
  return LoadFromStreamEx(context, root, OVERRIDE_TREE_DEFAULT, nullptr);
}

HRESULT JIDSOverrideTree::LoadFromStreamEx(const JIOStreamContext& context, JAsmOverride* root,
                                           OverrideTreeType treeType, SiteFileToUniversalIdentifierMap* siteFileMap) {
  if (!root) root = root_;
  SetLoading(1);
  DWORD version = 0;
  HRESULT hr = IoWord(context, &version);
  if (SUCCEEDED(hr)) {
    JIDSOverride* node = root;
    switch (version) {
      case 0:
        hr = LoadFromStreamOld(context, root);
        break;
      case 1:
        hr = LoadOverride1(context, nullptr, &node);
        break;
      case 2:
        hr = LoadOverrideEx(context, nullptr, &node, treeType, siteFileMap);
        break;
      default:
        hr = QUORRA_TRACE_FAIL(E_UNEXPECTED, "JIDSOverrideTree::LoadFromStreamEx");
        break;
    }
  } else {
    QUORRA_TRACE_FAIL(hr, "JIDSOverrideTree::LoadFromStreamEx");
  }
  SetLoading(0);
  return hr;
}

HRESULT JIDSOverrideTree::LoadOverride(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut) {
  return LoadOverrideEx(context, parent, inOut, OVERRIDE_TREE_DEFAULT, nullptr);
}

HRESULT JIDSOverrideTree::LoadFromStreamOld(const JIOStreamContext& context, JAsmOverride* root) {
  if (!root) root = root_;
  JIDSOverride* node = root;
  HRESULT hr = LoadOverride1(context, nullptr, &node);
  if (FAILED(hr)) return hr;
  if (UpgradeWanted(*this)) {
    UpgradeIOT upgrade;
    hr = root->Walk(&upgrade, 0, 0);
  }
  return hr;
}

namespace {

// Creates (under `parent`) or binds (`*inOut`) the node of a record and sets
// its property words. Null when no node could be had.
JIDSOverride* BindRecordNode(JAsmOverride* parent, JIDSOverride** inOut, RecordHead& head, bool withPropsEx) {
  const bool part = (head.props & IOT_PART) != 0;
  const DWORD type = part ? IOT_PART : IOT_ASSEMBLY;
  JIDSOverride* node = *inOut;
  if (!node) {
    if (!parent) return nullptr;
    const bool hasRoute = (head.props & IOT_HAVE_ROUTE) && !head.route.IsEmpty();
    if (head.id == 0 && hasRoute) {
      node = parent->AddChild(head.route, type);
    } else {
      node = parent->AddChild(head.id, type);
      if (node && hasRoute && FAILED(node->SetRoute(&head.route))) node = nullptr;
    }
    if (!node) return nullptr;
    *inOut = node;
  } else if (node->GetProps() != head.props) {
    if ((node->GetProps() & IOT_HAVE_ROUTE) && !(head.props & IOT_HAVE_ROUTE)) head.props |= IOT_HAVE_ROUTE;
    if (!node->GetParent()) head.props &= ~IOT_HIDDEN;
  }
  node->SetProps(head.props);
  if (part && withPropsEx) node->SetPropsEx(head.propsEx);
  return node;
}


// The fields that version-1 and version-2 records share, in their order:
// configuration settings, matrix and solver status...
HRESULT ReadSettingsMatrixAndStatus(const JIOStreamContext& context, JIDSOverride* node, DWORD p) {
  HRESULT hr = S_OK;
  if (p & IOT_HAVE_CONFIG_INFO) {
    DWORD count = 0;
    hr = IoWord(context, &count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
      DWORD entry[3];
      hr = context.DoIO(entry, sizeof entry);
      if (SUCCEEDED(hr)) hr = node->AddConfigSetting(entry[0], static_cast<BYTE>(entry[1]), entry[2]);
    }
  }
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_MATRIX)) {
    tagG4x4 matrix;
    hr = IoMatrix(context, &matrix);
    if (SUCCEEDED(hr)) hr = node->SetMatrix(&matrix);
  }
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_STATUS)) {
    DWORD status = 0;
    hr = IoWord(context, &status);
    if (SUCCEEDED(hr)) hr = node->SetSolverStatus(status);
  }
  return hr;
}

// ...the body's pair count (a record of the old body form holds no count:
// the word read belongs to the body, so the stream steps back over it)...
HRESULT ReadBodyCount(const JIOStreamContext& context, DWORD p, DWORD* count) {
  HRESULT hr = IoWord(context, count);
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_BODY_OB) && (*count & kNotACountBits)) {
    *count = 0;
    LARGE_INTEGER back{};
    back.QuadPart = -4;
    hr = context.GetStream()->Seek(back, STREAM_SEEK_CUR, nullptr);
  }
  return hr;
}

// ...and the variables, adaptable and adjustable-part words after the body.
HRESULT ReadVariablesAndFlags(const JIOStreamContext& context, JIDSOverride* node, DWORD p) {
  HRESULT hr = S_OK;
  if (SUCCEEDED(hr) && (p & IOT_OVERRIDE_VARIABLES)) {
    DWORD count = 0;
    hr = IoWord(context, &count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
      BYTE entry[16];
      hr = context.DoIO(entry, sizeof entry);
      if (FAILED(hr)) break;
      DWORD kind, key;
      double value;
      std::memcpy(&kind, entry, 4);
      std::memcpy(&key, entry + 4, 4);
      std::memcpy(&value, entry + 8, 8);
      hr = node->SetVariable(kind, key, value);
    }
  }
  if (SUCCEEDED(hr) && (p & IOT_ADAPTABLE)) {
    DWORD value = 0;
    hr = IoWord(context, &value);
    if (SUCCEEDED(hr)) hr = value ? node->SetAdaptable() : node->ClearAdaptable();
  }
  if (SUCCEEDED(hr) && (p & IOT_ADJUSTABLE_PART)) {
    DWORD value = 0;
    hr = IoWord(context, &value);
    if (SUCCEEDED(hr)) hr = value ? node->SetAdjustablePart() : node->ClearAdjustablePart();
  }
  return hr;
}

}  // namespace

HRESULT JIDSOverrideTree::LoadOverrideEx(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut,
                                         OverrideTreeType treeType, SiteFileToUniversalIdentifierMap* siteFileMap) {
  static constexpr const char* kOp = "JIDSOverrideTree::LoadOverrideEx";
  if (!inOut) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOp);
  const RecordDepth depth;
  if (depth.TooDeep()) return QUORRA_TRACE_FAIL(STG_E_DOCFILECORRUPT, kOp);
  RecordHead head;
  HRESULT hr = IoWord(context, &head.props);
  if (SUCCEEDED(hr)) hr = IoWord(context, &head.propsEx);
  if (SUCCEEDED(hr)) hr = IoWord(context, &head.id);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);
  DWORD& p = head.props;
  const DWORD x = head.propsEx;

  if (!(p & (IOT_ASSEMBLY | IOT_PART)) && *inOut) {
    const JIDSOverride* given = *inOut;
    if ((given->GetProps() & IOT_ASSEMBLY) || given->IsAssembly()) {
      p |= IOT_ASSEMBLY;
    } else if ((given->GetProps() & IOT_PART) || given->IsPart()) {
      p |= IOT_PART;
    }
  }

  if ((p & IOT_STYLE)) hr = IoWord(context, &head.style);
  if (SUCCEEDED(hr) && (p & IOT_ALT_STYLE)) hr = IoWord(context, &head.altStyle);
  if (SUCCEEDED(hr) && (x & IOTX_DOC_ID)) hr = IoWord(context, &head.docId);
  if (SUCCEEDED(hr) && (x & IOTX_BODY_OVERRIDE_DOC_ID)) hr = IoWord(context, &head.bodyDocId);
  if (SUCCEEDED(hr) && (x & IOTX_BODY_OVERRIDE_VERSION_DATA)) {
    DWORD count = 0;
    hr = IoWord(context, &count);
    if (SUCCEEDED(hr)) hr = ReadPairs(context, count, &head.versionData);
  }
  if (SUCCEEDED(hr) && (p & IOT_HAVE_ROUTE)) hr = ReadRoute(context, &head.route);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);

  JIDSOverride* node = BindRecordNode(parent, inOut, head, true);
  if (!node) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOp);
  const BOOL notify = node->IsPart() ? 0 : 1;
  if (p & IOT_STYLE) node->SetStyle(head.style, notify);
  if (p & IOT_ALT_STYLE) node->SetAltStyle(head.altStyle, notify);
  if (x & IOTX_DOC_ID) node->SetDocID(head.docId);
  if (x & IOTX_BODY_OVERRIDE_DOC_ID) node->SetBodyOverrideDocID(head.bodyDocId);
  if (x & IOTX_BODY_OVERRIDE_VERSION_DATA) {
    hr = node->SetBodyOverrideVersionData(head.versionData);
    // An empty version map still said it was there.
    if (SUCCEEDED(hr)) node->SetPropsEx(node->GetPropsEx() | IOTX_BODY_OVERRIDE_VERSION_DATA);
  }

  if (SUCCEEDED(hr)) hr = ReadSettingsMatrixAndStatus(context, node, p);
  if (SUCCEEDED(hr) && (p & (IOT_OVERRIDE_BODY | IOT_OVERRIDE_BODY_OB))) {
    DWORD count = 0;
    hr = ReadBodyCount(context, p, &count);
    if (SUCCEEDED(hr) && count != 0) {
      JOverrideBodyData* body = nullptr;
      hr = ReadBody(context, count, (p & IOT_OVERRIDE_BODY) != 0, (x & IOTX_OVERRIDEBODY_PROPS_ON) != 0, &body);
      if (SUCCEEDED(hr) && treeType == OVERRIDE_TREE_SITE_FILE_MAP && siteFileMap) {
        if (const wchar_t* file = siteFileMap->Find(static_cast<uint64_t>(head.bodyDocId)))
          hr = body->SetAsmDoc(file, nullptr);
      }
      if (SUCCEEDED(hr)) {
        hr = node->SetBodyData(body);
        if (FAILED(hr)) delete body;
      } else {
        delete body;
      }
    }
    if (SUCCEEDED(hr) && (x & IOTX_PREVIOUS_OVERRIDE_BODY)) {
      DWORD previousCount = 0;
      hr = IoWord(context, &previousCount);
      if (SUCCEEDED(hr) && previousCount != 0) {
        JOverrideBodyData* previous = nullptr;
        hr = ReadBody(context, previousCount, true, true, &previous);
        if (SUCCEEDED(hr)) {
          hr = node->SetCurrentDocPreviousOverrideBodyData(previous);
          if (FAILED(hr)) delete previous;
        }
      }
    }
  }
  if (SUCCEEDED(hr)) hr = ReadVariablesAndFlags(context, node, p);
  if (SUCCEEDED(hr) && (x & IOTX_GEOM_VERSION)) {
    DWORD value = 0;
    hr = IoWord(context, &value);
    if (SUCCEEDED(hr)) hr = node->SetGeometricVersion(value);
  }
  if (SUCCEEDED(hr) && (x & IOTX_OWNING_CAD_SAVE_TIME)) {
    FILETIME time{};
    hr = IoWord(context, &time.dwLowDateTime);
    if (SUCCEEDED(hr)) hr = IoWord(context, &time.dwHighDateTime);
    if (SUCCEEDED(hr)) hr = node->SetOwningCADSaveTime(time);
  }
  if (SUCCEEDED(hr) && (x & IOTX_ALT_ROUTE)) {
    JMemberRoute route;
    hr = ReadRoute(context, &route);
    if (SUCCEEDED(hr)) hr = node->SetAltRoute(&route);
  }
  if (SUCCEEDED(hr) && (x & IOTX_OVERRIDE_CONSTRAINTS)) {
    DWORD count = 0;
    hr = IoWord(context, &count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
      DWORD entry[2];
      hr = context.DoIO(entry, sizeof entry);
      if (SUCCEEDED(hr)) hr = node->AddConstraint(entry[0], entry[1]);
    }
  }
  if (SUCCEEDED(hr) && (x & IOTX_OCC_PROPERTIES)) {
    DWORD count = 0;
    hr = IoWord(context, &count);
    for (DWORD i = 0; SUCCEEDED(hr) && i < count; ++i) {
      DWORD entry[2];
      hr = context.DoIO(entry, sizeof entry);
      if (SUCCEEDED(hr))
        hr = node->AddOccurrencePropertyOverride(static_cast<JOverrideExtensionsType>(entry[0]),
                                                 static_cast<int>(entry[1]));
    }
  }
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);

  if (node->IsAssembly()) {
    auto* assembly = static_cast<JAsmOverride*>(node);
    DWORD count = 0;
    hr = IoWord(context, &count);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);
    for (DWORD i = 0; i < count; ++i) {
      JIDSOverride* child = nullptr;
      hr = LoadOverrideEx(context, assembly, &child, treeType, siteFileMap);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}

HRESULT JIDSOverrideTree::LoadOverride1(const JIOStreamContext& context, JAsmOverride* parent, JIDSOverride** inOut) {
  static constexpr const char* kOp = "JIDSOverrideTree::LoadOverride1";
  if (!inOut) return QUORRA_TRACE_FAIL(E_INVALIDARG, kOp);
  const RecordDepth depth;
  if (depth.TooDeep()) return QUORRA_TRACE_FAIL(STG_E_DOCFILECORRUPT, kOp);
  RecordHead head;
  HRESULT hr = IoWord(context, &head.props);
  if (SUCCEEDED(hr)) hr = IoWord(context, &head.id);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);
  DWORD& p = head.props;
  if (p & IOT_STYLE) hr = IoWord(context, &head.style);
  if (SUCCEEDED(hr) && (p & IOT_ALT_STYLE)) hr = IoWord(context, &head.altStyle);
  if (SUCCEEDED(hr) && (p & IOT_HAVE_ROUTE)) hr = ReadRoute(context, &head.route);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);

  JIDSOverride* node = BindRecordNode(parent, inOut, head, false);
  if (!node) return QUORRA_TRACE_FAIL(E_OUTOFMEMORY, kOp);
  const BOOL notify = node->IsPart() ? 0 : 1;
  if (p & IOT_STYLE) node->SetStyle(head.style, notify);
  if (p & IOT_ALT_STYLE) node->SetAltStyle(head.altStyle, notify);

  hr = ReadSettingsMatrixAndStatus(context, node, p);
  if (SUCCEEDED(hr) && (p & (IOT_OVERRIDE_BODY | IOT_OVERRIDE_BODY_OB))) {
    DWORD count = 0;
    hr = ReadBodyCount(context, p, &count);
    if (SUCCEEDED(hr) && count != 0) {
      JOverrideBodyData* body = nullptr;
      hr = ReadBody(context, count, (p & IOT_OVERRIDE_BODY) != 0, false, &body);
      if (SUCCEEDED(hr)) {
        hr = node->SetBodyData(body);
        if (FAILED(hr)) delete body;
      }
    }
  }
  if (SUCCEEDED(hr)) hr = ReadVariablesAndFlags(context, node, p);
  if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);

  if (node->IsAssembly()) {
    auto* assembly = static_cast<JAsmOverride*>(node);
    DWORD count = 0;
    hr = IoWord(context, &count);
    if (FAILED(hr)) return QUORRA_TRACE_FAIL(hr, kOp);
    for (DWORD i = 0; i < count; ++i) {
      JIDSOverride* child = nullptr;
      hr = LoadOverride1(context, assembly, &child);
      if (FAILED(hr)) return hr;
    }
  }
  return S_OK;
}
