// Creating geometry caches: the display library's JCreateGeometryCache (a
// cache the loader fills from a document's display storage) and
// JCreateDisplayCache (a cache the host keeps for a document by name, used
// when the document itself cannot be opened). The caches come from a factory
// the host installs; without one, no cache can be made.
//
// How the loaders use a cache (IJGeometryCache slots 5 to 7): Initialize,
// then LoadFromStorage with GEOMETRY_CACHE_LOAD_RANGE, then, unless the
// state word (query GEOMETRY_CACHE_QUERY_STATE) has
// GEOMETRY_CACHE_STATE_COMPLETE, LoadFromStorage with
// GEOMETRY_CACHE_LOAD_DETAIL, both with GEOMETRY_CACHE_LOAD_PARAMETER; then
// the range (query GEOMETRY_CACHE_QUERY_RANGE).
#pragma once

#include <functional>

#include "quorra/host/display.h"
#include "quorra/host/types.h"

// The kind of cache the loaders ask for: one body of a document.
constexpr DWORD GEOMETRY_CACHE_KIND_DOCUMENT = 0;

// Load kinds of IJGeometryCache::LoadFromStorage.
constexpr DWORD GEOMETRY_CACHE_LOAD_RANGE = 2;     // the range and what is needed to show the body at once
constexpr DWORD GEOMETRY_CACHE_LOAD_DETAIL = 128;  // every remaining level of detail
// The parameter the loaders pass with both kinds.
constexpr DWORD GEOMETRY_CACHE_LOAD_PARAMETER = 48;

// Queries of IJGeometryCache::Query.
constexpr DWORD GEOMETRY_CACHE_QUERY_RANGE = 1;  // result: tagGBox*, the body's range
constexpr DWORD GEOMETRY_CACHE_QUERY_STATE = 8;  // result: DWORD*, the state word below

// State word bits.
constexpr DWORD GEOMETRY_CACHE_STATE_RANGE = 0x1;     // the range is known
constexpr DWORD GEOMETRY_CACHE_STATE_COMPLETE = 0x2;  // every level of detail is loaded

extern "C" {

// Makes an empty geometry cache of `kind` for work in `context` (may be
// null). E_POINTER for a null `out`; E_NOTIMPL (traced) when the host
// installed no factory; else the factory's answer.
HRESULT JCreateGeometryCache(DWORD kind, JGraphicContext* context, IJGeometryCache** out);

// The host's display cache for the document `name` (with a reference for the
// caller), or null when it has none.
IJGeometryCache* JCreateDisplayCache(const wchar_t* name);

}  // extern "C"

namespace quorra::host {

// What the host provides for the two functions above. Either may be empty.
struct GeometryCacheFactory {
  std::function<HRESULT(DWORD kind, JGraphicContext* context, IJGeometryCache** out)> createGeometryCache;
  std::function<IJGeometryCache*(const wchar_t* name)> createDisplayCache;
};

// Installs the factory (an empty one removes it) and returns the previous
// one. Safe to call while caches are being made on other threads: a call in
// progress finishes with the factory it started with.
GeometryCacheFactory SetGeometryCacheFactory(GeometryCacheFactory factory);

}  // namespace quorra::host
