// The host's key-value data server: per-document data the host keeps for
// occurrences (part and assembly data of its own formats), asked for by file
// path, data type and occurrence.
#pragma once

#include "quorra/host/com.h"
#include "quorra/host/types.h"

class OccurrenceNode;
struct KVBaseData;
struct KVAssemblyData;
struct KVLiteAssemblyData;

constexpr IID IID_IKVDataServer = {0x6B1C5E30, 0x4D7A, 0x4F21, {0x9C, 0x3E, 0x51, 0x7A, 0x2D, 0x90, 0x4B, 0x11}};

struct IKVDataServer : IUnknown {
  virtual HRESULT GetBaseData(const wchar_t* file, DWORD type, OccurrenceNode* occurrence,
                              KVBaseData** out) = 0;  // slot 3
  virtual HRESULT ReleaseData(KVBaseData* data) = 0;  // slot 4
  virtual HRESULT GetPartData(const wchar_t* file, DWORD type, OccurrenceNode* occurrence, KVBaseData** out,
                              DWORD extra) = 0;  // slot 5
  virtual HRESULT GetAssemblyBaseData(const wchar_t* file, DWORD type, OccurrenceNode* occurrence,
                                      KVBaseData** out) = 0;  // slot 6
  virtual HRESULT GetAssemblyData(const wchar_t* file, DWORD type, OccurrenceNode* occurrence,
                                  KVAssemblyData** out) = 0;  // slot 7
  virtual HRESULT GetLiteAssemblyData(const wchar_t* file, DWORD type, OccurrenceNode* occurrence,
                                      KVLiteAssemblyData** out, DWORD extra) = 0;  // slot 8

 protected:
  ~IKVDataServer() = default;
};
QUORRA_INTERFACE_ID(IKVDataServer, IID_IKVDataServer);
