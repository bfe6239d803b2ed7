// Probe interfaces: diagnostic self-description of library objects. An
// object that implements IJProbeIt describes itself as text or as a list of
// named values for the host's inspection tools.
#pragma once

#include <iosfwd>
#include <string>

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

// The probe adaptor: what an object that is not reference counted (an
// occurrence) hands out for the probe-related interface ids below. Each
// adaptor is a separate COM object that refers to the probed object without
// keeping it alive: release it before the object goes.

// {C41D2A82-6F3B-4E51-8A97-0D5E2B6C7F10}
constexpr IID IID_IJProbeText = {0xc41d2a82, 0x6f3b, 0x4e51, {0x8a, 0x97, 0x0d, 0x5e, 0x2b, 0x6c, 0x7f, 0x10}};
// {C41D2A83-6F3B-4E51-8A97-0D5E2B6C7F10}
constexpr IID IID_IJProbeResultsSource = {0xc41d2a83, 0x6f3b, 0x4e51, {0x8a, 0x97, 0x0d, 0x5e, 0x2b, 0x6c, 0x7f, 0x10}};
// {C41D2A84-6F3B-4E51-8A97-0D5E2B6C7F10}
constexpr IID IID_IJProbeTarget = {0xc41d2a84, 0x6f3b, 0x4e51, {0x8a, 0x97, 0x0d, 0x5e, 0x2b, 0x6c, 0x7f, 0x10}};

// The probed object's text probe as one string.
struct IJProbeText : IUnknown {
  virtual HRESULT GetProbeText(const JProbeOptions& options, std::wstring* text) = 0;  // slot 3

 protected:
  ~IJProbeText() = default;
};

// The probed object's structured probe.
struct IJProbeResultsSource : IUnknown {
  virtual HRESULT GetProbeResults(IJProbeResults** results, const JProbeOptions& options) = 0;  // slot 3

 protected:
  ~IJProbeResultsSource() = default;
};

// The probed object itself (no reference is added to it).
struct IJProbeTarget : IUnknown {
  virtual IJProbeIt* GetProbeTarget() = 0;  // slot 3

 protected:
  ~IJProbeTarget() = default;
};

QUORRA_INTERFACE_ID(IJProbeText, IID_IJProbeText);
QUORRA_INTERFACE_ID(IJProbeResultsSource, IID_IJProbeResultsSource);
QUORRA_INTERFACE_ID(IJProbeTarget, IID_IJProbeTarget);
