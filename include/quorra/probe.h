// Probe interfaces: diagnostic self-description of library objects. An
// object that implements IJProbeIt describes itself as text or as a list of
// named values for the host's inspection tools.
#pragma once

#include <iosfwd>

#include "quorra/host/com.h"
#include "quorra/host/types.h"

// What a probe should describe.
struct JProbeOptions {
  DWORD flags = 0;
  DWORD depth = 0;  // how far below the object to describe (0: the object only)
};

// How a text probe lays out its lines.
struct JProbeFormat {
  DWORD indent = 0;  // characters of indentation before each line
};

// {C41D2A80-6F3B-4E51-8A97-0D5E2B6C7F10}
constexpr IID IID_IJProbeIt = {0xc41d2a80, 0x6f3b, 0x4e51, {0x8a, 0x97, 0x0d, 0x5e, 0x2b, 0x6c, 0x7f, 0x10}};
// {C41D2A81-6F3B-4E51-8A97-0D5E2B6C7F10}
constexpr IID IID_IJProbeResults = {0xc41d2a81, 0x6f3b, 0x4e51, {0x8a, 0x97, 0x0d, 0x5e, 0x2b, 0x6c, 0x7f, 0x10}};

// The named values of a structured probe, in the order they were added.
struct IJProbeResults : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual DWORD GetCount() = 0;                                                           // slot 3
  virtual HRESULT GetItem(DWORD index, const wchar_t** name, const wchar_t** value) = 0;  // slot 4

 protected:
  ~IJProbeResults() = default;
};

struct IJProbeIt : IUnknown {
  // Slots 0-2: QueryInterface, AddRef, Release (IUnknown).
  virtual HRESULT Probe(std::wstringstream& out, const JProbeOptions& options,
                        const JProbeFormat& format) = 0;                              // slot 3
  virtual HRESULT Probe(IJProbeResults** results, const JProbeOptions& options) = 0;  // slot 4

 protected:
  ~IJProbeIt() = default;
};

QUORRA_INTERFACE_ID(IJProbeResults, IID_IJProbeResults);
QUORRA_INTERFACE_ID(IJProbeIt, IID_IJProbeIt);
