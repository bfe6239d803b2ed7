// JMercury: the occurrence-property service (Mercury) as a COM object for
// the host's COM clients, behind the interface IJMercury. Every interface
// method forwards to the Mercury member of the same name with the same
// arguments and returns its result unchanged. Objects are made by the
// library's class factory, which the exported DllGetClassObject hands out.
//
//   IClassFactory* factory = nullptr;
//   DllGetClassObject(CLSID_JMercury, IID_IClassFactory, (void**)&factory);
//   IJMercury* mercury = nullptr;
//   factory->CreateInstance(nullptr, IID_IJMercury, (void**)&mercury);
//   factory->Release();
//   mercury->SetContext(document, &roadmap);
//   mercury->SetHidden(TRUE);
//   mercury->Release();
#pragma once

#include <map>
#include <vector>

#include "quorra/host/class_factory.h"
#include "quorra/host/com.h"
#include "quorra/host/geometry.h"
#include "quorra/host/types.h"
#include "quorra/mercury.h"

// {4A368A45-0559-4009-9A75-FF789A303D36}
constexpr CLSID CLSID_JMercury = {0x4a368a45, 0x0559, 0x4009, {0x9a, 0x75, 0xff, 0x78, 0x9a, 0x30, 0x3d, 0x36}};
// {F1153B00-3746-442C-B90E-7F05C9E79E17}
constexpr IID IID_IJMercury = {0xf1153b00, 0x3746, 0x442c, {0xb9, 0x0e, 0x7f, 0x05, 0xc9, 0xe7, 0x9e, 0x17}};

// The methods lie in the virtual table in declaration order; the slot of
// each is noted beside it.
struct IJMercury : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT SetContext(IUnknown* context, SetContextFlags flags) = 0;     // slot 3
  virtual HRESULT SetContext(IUnknown* context) = 0;                            // slot 4
  virtual HRESULT SetContext(OccurrenceNode* occurrence) = 0;                   // slot 5
  virtual HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap) = 0;  // slot 6
  virtual HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap) = 0;  // slot 7
  // Slot 8: whether the matrix is overridden, in *out (0 when the context
  // does not resolve); S_OK whenever *out could be written.
  virtual HRESULT HasOverriddenMatrix(BOOL* out) = 0;                                                       // slot 8
  virtual HRESULT GetOverrideMatrix(tagG4x4* out) = 0;                                                      // slot 9
  virtual HRESULT GetAttachmentMatrix(tagG4x4* out) = 0;                                                    // slot 10
  virtual HRESULT GetOccurrenceMatrix(tagG4x4* out) = 0;                                                    // slot 11
  virtual HRESULT GetCompleteMatrix(tagG4x4* out) = 0;                                                      // slot 12
  virtual HRESULT GetConstraintMatrix(tagG4x4* out) = 0;                                                    // slot 13
  virtual HRESULT GetConstraintMatrix(tagG4x4* out, DWORD resolveFlags) = 0;                                // slot 14
  virtual HRESULT GetOverrideSolverStatus(DWORD* out) = 0;                                                  // slot 15
  virtual HRESULT GetOverrideBodyData(JOverrideBodyData** out) = 0;                                         // slot 16
  virtual HRESULT GetOverrideVariable(DWORD firstId, DWORD secondId, double* out) = 0;                      // slot 17
  virtual HRESULT GetHidden(int* out) = 0;                                                                  // slot 18
  virtual HRESULT GetVisible(int* out) = 0;                                                                 // slot 19
  virtual HRESULT GetActive(int* out) = 0;                                                                  // slot 20
  virtual HRESULT GetSimplified(int* out) = 0;                                                              // slot 21
  virtual HRESULT GetCoordSysDisplay(int* out) = 0;                                                         // slot 22
  virtual HRESULT GetSketchesDisplay(int* out) = 0;                                                         // slot 23
  virtual HRESULT GetConstructionsDisplay(int* out) = 0;                                                    // slot 24
  virtual HRESULT GetRefPlanesDisplay(int* out) = 0;                                                        // slot 25
  virtual HRESULT GetRefAxesDisplay(int* out) = 0;                                                          // slot 26
  virtual HRESULT GetAsLastSavedDisplay(int* out) = 0;                                                      // slot 27
  virtual HRESULT GetAdaptable(int* out) = 0;                                                               // slot 28
  virtual HRESULT GetBaseData(DWORD type, KVBaseData** out) = 0;                                            // slot 29
  virtual HRESULT GetPartData(DWORD type, KVBaseData** out) = 0;                                            // slot 30
  virtual HRESULT GetLitePartData(DWORD type, KVBaseData** out) = 0;                                        // slot 31
  virtual HRESULT GetAssemblyData(DWORD type, KVBaseData** out) = 0;                                        // slot 32
  virtual HRESULT GetAssemblyData(DWORD type, KVAssemblyData** out) = 0;                                    // slot 33
  virtual HRESULT GetOccurrenceNode(OccurrenceNode** out) = 0;                                              // slot 34
  virtual HRESULT SetOverrideMatrix(tagG4x4* matrix, DWORD updateFlags) = 0;                                // slot 35
  virtual HRESULT SetOverrideMatrix(tagG4x4* matrix) = 0;                                                   // slot 36
  virtual HRESULT SetOverrideSolverStatus(DWORD status) = 0;                                                // slot 37
  virtual HRESULT SetOverrideBodyData(JOverrideBodyData* bodyData) = 0;                                     // slot 38
  virtual HRESULT SetOverrideVariable(DWORD firstId, DWORD secondId, double value) = 0;                     // slot 39
  virtual HRESULT ClearOverrideVariable(DWORD firstId, DWORD secondId) = 0;                                 // slot 40
  virtual HRESULT SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) = 0;    // slot 41
  virtual HRESULT ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) = 0;  // slot 42
  virtual HRESULT SetHidden(int value) = 0;                                                                 // slot 43
  virtual HRESULT SetActive(int value) = 0;                                                                 // slot 44
  virtual HRESULT SetSimplified(int value) = 0;                                                             // slot 45
  virtual HRESULT SetCoordSysDisplay(int value) = 0;                                                        // slot 46
  virtual HRESULT SetSketchesDisplay(int value) = 0;                                                        // slot 47
  virtual HRESULT SetConstructionsDisplay(int value) = 0;                                                   // slot 48
  virtual HRESULT SetRefPlanesDisplay(int value) = 0;                                                       // slot 49
  virtual HRESULT SetRefAxesDisplay(int value) = 0;                                                         // slot 50
  virtual HRESULT SetAsLastSavedDisplay(int value) = 0;                                                     // slot 51
  virtual HRESULT SetAdaptable(int value) = 0;                                                              // slot 52
  virtual HRESULT RemoveAdaptable() = 0;                                                                    // slot 53
  virtual HRESULT ClearOverrides(IUnknown* document, DWORD flags) = 0;                                      // slot 54
  virtual HRESULT ClearOverrides(DWORD flags) = 0;                                                          // slot 55
  virtual HRESULT ApplyOverrides(IUnknown* document, DWORD flags) = 0;                                      // slot 56
  virtual HRESULT ApplyOverrides(DWORD flags) = 0;                                                          // slot 57
  virtual HRESULT GetUnTransformedRange(tagGBox* out) = 0;                                                  // slot 58
  virtual HRESULT GetPreviousOverrideBodyData(JOverrideBodyData** out) = 0;                                 // slot 59
  virtual HRESULT UpdateIDS(DWORD flags) = 0;                                                               // slot 60
  virtual HRESULT SetOverrideBodyDataMatrix(tagG4x4* matrix) = 0;                                           // slot 61
  virtual HRESULT IsPart(int* out) = 0;                                                                     // slot 62
  virtual HRESULT IsAssembly(int* out) = 0;                                                                 // slot 63
  virtual HRESULT IsAdjustableOccPresentInIOT(bool* out) = 0;                                               // slot 64
  virtual HRESULT IsAdjustablePartPresentInIOT(bool* out) = 0;                                              // slot 65
  virtual HRESULT IsAdaptableAssemblyPresentInIOT(bool* out) = 0;                                           // slot 66
  virtual HRESULT GetAdaptableFromIOT(int* out) = 0;                                                        // slot 67
  virtual HRESULT GetAdjustablePartFromIOT(int* out) = 0;                                                   // slot 68
  virtual HRESULT GetExplodeMatrixInPath(tagG4x4* out, bool* found) = 0;                                    // slot 69
  virtual HRESULT GetStyle(DWORD* out) = 0;                                                                 // slot 70
  virtual HRESULT SetStyle(DWORD style) = 0;                                                                // slot 71
  virtual HRESULT SetDisplaySetting(DWORD key, DWORD type, DWORD flags, bool enable) = 0;                   // slot 72
  virtual HRESULT SetDisplaySetting(IUnknown* document, DWORD type, DWORD flags, bool enable) = 0;          // slot 73
  virtual HRESULT GetDisplaySetting(DWORD key, DWORD mask, bool* out) = 0;                                  // slot 74
  virtual HRESULT GetDisplaySetting(IUnknown* document, DWORD mask, bool* out) = 0;                         // slot 75
  virtual HRESULT RemoveDisplaySetting(DWORD key, DWORD type) = 0;                                          // slot 76
  virtual HRESULT RemoveDisplaySetting(IUnknown* document, DWORD type) = 0;                                 // slot 77
  virtual HRESULT GetOverrideConstraints(std::map<DWORD, DWORD>** out) = 0;                                 // slot 78
  virtual HRESULT AddOverrideConstraint(DWORD key, DWORD value) = 0;                                        // slot 79
  virtual HRESULT ClearOverrideConstraint(DWORD key) = 0;                                                   // slot 80
  virtual HRESULT GetDecalsDisplay(int* out) = 0;                                                           // slot 81
  virtual HRESULT SetDecalsDisplay(int value) = 0;                                                          // slot 82
  virtual HRESULT GetPointCloudsDisplay(int* out) = 0;                                                      // slot 83
  virtual HRESULT SetPointCloudsDisplay(int value) = 0;                                                     // slot 84
  virtual HRESULT GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** out) = 0;                       // slot 85
  virtual HRESULT GetOverrideVariable(DWORD firstId, quorra::OverrideVariableRange* out) = 0;               // slot 86
  virtual HRESULT GetSurfacesDisplay(int* out) = 0;                                                         // slot 87
  virtual HRESULT GetCurvesDisplay(int* out) = 0;                                                           // slot 88
  virtual HRESULT SetSurfacesDisplay(int value) = 0;                                                        // slot 89
  virtual HRESULT SetCurvesDisplay(int value) = 0;                                                          // slot 90
  virtual HRESULT GetAdjustablePart(int* out) = 0;                                                          // slot 91
  virtual HRESULT SetAdjustablePart(int value) = 0;                                                         // slot 92
  virtual HRESULT RemoveAdjustablePart() = 0;                                                               // slot 93
  virtual HRESULT GetLiveSectionsDisplay(int* out) = 0;                                                     // slot 94
  virtual HRESULT SetLiveSectionsDisplay(int value) = 0;                                                    // slot 95
  virtual HRESULT GetDesignBodiesDisplay(int* out) = 0;                                                     // slot 96
  virtual HRESULT SetDesignBodiesDisplay(int value) = 0;                                                    // slot 97
  virtual HRESULT SetOwningCADSaveTime(FILETIME const& time) = 0;                                           // slot 98
  virtual HRESULT GetOwningCADSaveTime(FILETIME& out) = 0;                                                  // slot 99
  virtual HRESULT GetCenterLineDisplay(int* out) = 0;                                                       // slot 100
  virtual HRESULT SetCenterLineDisplay(int value) = 0;                                                      // slot 101
  virtual HRESULT SetHideInDrawing(int value) = 0;                                                          // slot 102
  virtual HRESULT GetHideInDrawing(int* out) = 0;                                                           // slot 103
  virtual HRESULT SetHideInSubassembly(int value) = 0;                                                      // slot 104
  virtual HRESULT GetHideInSubassembly(int* out) = 0;                                                       // slot 105
  virtual HRESULT SetNotSelectable(int value) = 0;                                                          // slot 106
  virtual HRESULT GetNotSelectable(int* out) = 0;                                                           // slot 107
  virtual HRESULT SetDisplayAsDraftReference(int value) = 0;                                                // slot 108
  virtual HRESULT GetDisplayAsDraftReference(int* out) = 0;                                                 // slot 109
  virtual HRESULT SetExcludeFromPhysicalProperties(int value) = 0;                                          // slot 110
  virtual HRESULT GetExcludeFromPhysicalProperties(int* out) = 0;                                           // slot 111
  virtual HRESULT SetExcludeFromReports(int value) = 0;                                                     // slot 112
  virtual HRESULT GetExcludeFromReports(int* out) = 0;                                                      // slot 113
  virtual HRESULT SetExcludeFromInterference(int value) = 0;                                                // slot 114
  virtual HRESULT GetExcludeFromInterference(int* out) = 0;                                                 // slot 115
 protected:
  ~IJMercury() = default;
};
QUORRA_INTERFACE_ID(IJMercury, IID_IJMercury);

// The COM object: its virtual table, its reference count and its Mercury.
// A new object has count 0 and an empty Mercury; the last Release destroys
// the Mercury (releasing the documents it holds) and frees the object. The
// count is not interlocked: an object is used from one thread.
class JMercury final : public IJMercury {
 public:
  JMercury() = default;
  JMercury(const JMercury&) = delete;
  JMercury& operator=(const JMercury&) = delete;

  // The class factory's initialisation step after the first AddRef.
  HRESULT Initialize() { return S_OK; }

  // IUnknown: IID_IUnknown and IID_IJMercury answer this object; any other
  // id gives E_NOINTERFACE with *out null.
  HRESULT QueryInterface(REFIID iid, void** out) override;
  ULONG AddRef() override;
  ULONG Release() override;

  // IJMercury, slots 3-115: each forwards to the Mercury member of the same
  // name and returns its result (slot 8 as IJMercury describes it).
  HRESULT SetContext(IUnknown* context, SetContextFlags flags) override;
  HRESULT SetContext(IUnknown* context) override;
  HRESULT SetContext(OccurrenceNode* occurrence) override;
  HRESULT SetContext(IUnknown* document, DisplayRoadmap* roadmap) override;
  HRESULT SetContext(IUnknown* document, JMemberRoadmap* roadmap) override;
  HRESULT HasOverriddenMatrix(BOOL* out) override;
  HRESULT GetOverrideMatrix(tagG4x4* out) override;
  HRESULT GetAttachmentMatrix(tagG4x4* out) override;
  HRESULT GetOccurrenceMatrix(tagG4x4* out) override;
  HRESULT GetCompleteMatrix(tagG4x4* out) override;
  HRESULT GetConstraintMatrix(tagG4x4* out) override;
  HRESULT GetConstraintMatrix(tagG4x4* out, DWORD resolveFlags) override;
  HRESULT GetOverrideSolverStatus(DWORD* out) override;
  HRESULT GetOverrideBodyData(JOverrideBodyData** out) override;
  HRESULT GetOverrideVariable(DWORD firstId, DWORD secondId, double* out) override;
  HRESULT GetHidden(int* out) override;
  HRESULT GetVisible(int* out) override;
  HRESULT GetActive(int* out) override;
  HRESULT GetSimplified(int* out) override;
  HRESULT GetCoordSysDisplay(int* out) override;
  HRESULT GetSketchesDisplay(int* out) override;
  HRESULT GetConstructionsDisplay(int* out) override;
  HRESULT GetRefPlanesDisplay(int* out) override;
  HRESULT GetRefAxesDisplay(int* out) override;
  HRESULT GetAsLastSavedDisplay(int* out) override;
  HRESULT GetAdaptable(int* out) override;
  HRESULT GetBaseData(DWORD type, KVBaseData** out) override;
  HRESULT GetPartData(DWORD type, KVBaseData** out) override;
  HRESULT GetLitePartData(DWORD type, KVBaseData** out) override;
  HRESULT GetAssemblyData(DWORD type, KVBaseData** out) override;
  HRESULT GetAssemblyData(DWORD type, KVAssemblyData** out) override;
  HRESULT GetOccurrenceNode(OccurrenceNode** out) override;
  HRESULT SetOverrideMatrix(tagG4x4* matrix, DWORD updateFlags) override;
  HRESULT SetOverrideMatrix(tagG4x4* matrix) override;
  HRESULT SetOverrideSolverStatus(DWORD status) override;
  HRESULT SetOverrideBodyData(JOverrideBodyData* bodyData) override;
  HRESULT SetOverrideVariable(DWORD firstId, DWORD secondId, double value) override;
  HRESULT ClearOverrideVariable(DWORD firstId, DWORD secondId) override;
  HRESULT SetOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) override;
  HRESULT ClearOverrideVariables(const std::vector<KVMercuryVariableOverrideData>& variables) override;
  HRESULT SetHidden(int value) override;
  HRESULT SetActive(int value) override;
  HRESULT SetSimplified(int value) override;
  HRESULT SetCoordSysDisplay(int value) override;
  HRESULT SetSketchesDisplay(int value) override;
  HRESULT SetConstructionsDisplay(int value) override;
  HRESULT SetRefPlanesDisplay(int value) override;
  HRESULT SetRefAxesDisplay(int value) override;
  HRESULT SetAsLastSavedDisplay(int value) override;
  HRESULT SetAdaptable(int value) override;
  HRESULT RemoveAdaptable() override;
  HRESULT ClearOverrides(IUnknown* document, DWORD flags) override;
  HRESULT ClearOverrides(DWORD flags) override;
  HRESULT ApplyOverrides(IUnknown* document, DWORD flags) override;
  HRESULT ApplyOverrides(DWORD flags) override;
  HRESULT GetUnTransformedRange(tagGBox* out) override;
  HRESULT GetPreviousOverrideBodyData(JOverrideBodyData** out) override;
  HRESULT UpdateIDS(DWORD flags) override;
  HRESULT SetOverrideBodyDataMatrix(tagG4x4* matrix) override;
  HRESULT IsPart(int* out) override;
  HRESULT IsAssembly(int* out) override;
  HRESULT IsAdjustableOccPresentInIOT(bool* out) override;
  HRESULT IsAdjustablePartPresentInIOT(bool* out) override;
  HRESULT IsAdaptableAssemblyPresentInIOT(bool* out) override;
  HRESULT GetAdaptableFromIOT(int* out) override;
  HRESULT GetAdjustablePartFromIOT(int* out) override;
  HRESULT GetExplodeMatrixInPath(tagG4x4* out, bool* found) override;
  HRESULT GetStyle(DWORD* out) override;
  HRESULT SetStyle(DWORD style) override;
  HRESULT SetDisplaySetting(DWORD key, DWORD type, DWORD flags, bool enable) override;
  HRESULT SetDisplaySetting(IUnknown* document, DWORD type, DWORD flags, bool enable) override;
  HRESULT GetDisplaySetting(DWORD key, DWORD mask, bool* out) override;
  HRESULT GetDisplaySetting(IUnknown* document, DWORD mask, bool* out) override;
  HRESULT RemoveDisplaySetting(DWORD key, DWORD type) override;
  HRESULT RemoveDisplaySetting(IUnknown* document, DWORD type) override;
  HRESULT GetOverrideConstraints(std::map<DWORD, DWORD>** out) override;
  HRESULT AddOverrideConstraint(DWORD key, DWORD value) override;
  HRESULT ClearOverrideConstraint(DWORD key) override;
  HRESULT GetDecalsDisplay(int* out) override;
  HRESULT SetDecalsDisplay(int value) override;
  HRESULT GetPointCloudsDisplay(int* out) override;
  HRESULT SetPointCloudsDisplay(int value) override;
  HRESULT GetCurrentDocPreviousOverrideBodyData(JOverrideBodyData** out) override;
  HRESULT GetOverrideVariable(DWORD firstId, quorra::OverrideVariableRange* out) override;
  HRESULT GetSurfacesDisplay(int* out) override;
  HRESULT GetCurvesDisplay(int* out) override;
  HRESULT SetSurfacesDisplay(int value) override;
  HRESULT SetCurvesDisplay(int value) override;
  HRESULT GetAdjustablePart(int* out) override;
  HRESULT SetAdjustablePart(int value) override;
  HRESULT RemoveAdjustablePart() override;
  HRESULT GetLiveSectionsDisplay(int* out) override;
  HRESULT SetLiveSectionsDisplay(int value) override;
  HRESULT GetDesignBodiesDisplay(int* out) override;
  HRESULT SetDesignBodiesDisplay(int value) override;
  HRESULT SetOwningCADSaveTime(FILETIME const& time) override;
  HRESULT GetOwningCADSaveTime(FILETIME& out) override;
  HRESULT GetCenterLineDisplay(int* out) override;
  HRESULT SetCenterLineDisplay(int value) override;
  HRESULT SetHideInDrawing(int value) override;
  HRESULT GetHideInDrawing(int* out) override;
  HRESULT SetHideInSubassembly(int value) override;
  HRESULT GetHideInSubassembly(int* out) override;
  HRESULT SetNotSelectable(int value) override;
  HRESULT GetNotSelectable(int* out) override;
  HRESULT SetDisplayAsDraftReference(int value) override;
  HRESULT GetDisplayAsDraftReference(int* out) override;
  HRESULT SetExcludeFromPhysicalProperties(int value) override;
  HRESULT GetExcludeFromPhysicalProperties(int* out) override;
  HRESULT SetExcludeFromReports(int value) override;
  HRESULT GetExcludeFromReports(int* out) override;
  HRESULT SetExcludeFromInterference(int value) override;
  HRESULT GetExcludeFromInterference(int* out) override;

 private:
  ~JMercury() = default;  // only the last Release destroys the object

  DWORD refs_ = 0;
  Mercury mercury_;
};

template <>
struct quorra::host::ClassFactoryTraits<JMercury> {
  static constexpr const char* kOnCreateInstance = "ClassFactory<class JMercury>::OnCreateInstance";
};

extern "C" {
// The library's class factory. `iid` must be IID_IUnknown or
// IID_IClassFactory (else E_NOINTERFACE, *out untouched); *out is then set
// to null, and a class id other than CLSID_JMercury gives E_FAIL. On S_OK
// *out holds a new ClassFactory<JMercury> with one reference for the caller.
HRESULT DllGetClassObject(REFCLSID clsid, REFIID iid, void** out);
}
