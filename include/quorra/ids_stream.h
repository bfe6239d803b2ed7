// Saving the IDS into a structured storage and rebuilding it without the
// documents. Two streams hold it: "IDS" (AsmTree::SaveIDS / LoadIDS: sites,
// their flags, ranges and user data, and the attachments between them) and
// "Sites" (SiteFileToUniversalIdentifierMap::Save / Load: the table that turns
// each site's file path into a small number, so that "IDS" names files by
// number only). The caller owns the storage and the map and saves or loads
// both: Build (or Update) the map, SaveIDS, map Save; into a fresh tree, map
// Load, then LoadIDS.
//
// Every stored field goes through one JIOStreamContext::DoIO call (integers
// little-endian as they lie in memory) or GUserText::Serialize.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "quorra/host/iostream_context.h"
#include "quorra/host/text.h"
#include "quorra/host/types.h"
#include "quorra/roadmap.h"

class AsmTree;
class SiteManager;

// The stream context of the IDS streams: two sets of four versions. Writers
// decide what to write by the program's versions; readers decide what to
// read by the stream's versions, which DoIOVersions transfers. Version 2 (the
// second) governs the site record, version 3 the attachment record.
class IDSStreamContext : public JIOStreamContext {
 public:
  static constexpr DWORD kVersionCount = 4;

  IDSStreamContext(IStream* stream, DWORD mode);
  ~IDSStreamContext() override;

  // Reads or writes the stream's four versions.
  HRESULT DoIOVersions();

  // Index 0 to 3 (the versions are numbered 1 to 4 in the record layouts).
  DWORD GetProgramVersion(DWORD index) const { return index < kVersionCount ? programVersions_[index] : 0; }
  DWORD GetStreamVersion(DWORD index) const { return index < kVersionCount ? streamVersions_[index] : 0; }

 private:
  DWORD programVersions_[kVersionCount] = {1, 3, 2, 1};
  DWORD streamVersions_[kVersionCount] = {1, 3, 2, 1};
};

// Turns site file paths into 64-bit identifiers (from 1; 0 names no file)
// and back, and finds a file again by its base name when its directory
// changed.
class SiteFileToUniversalIdentifierMap {
 public:
  SiteFileToUniversalIdentifierMap() = default;
  SiteFileToUniversalIdentifierMap(const SiteFileToUniversalIdentifierMap& other);
  SiteFileToUniversalIdentifierMap(SiteFileToUniversalIdentifierMap&& other) noexcept;
  SiteFileToUniversalIdentifierMap& operator=(const SiteFileToUniversalIdentifierMap& other);
  SiteFileToUniversalIdentifierMap& operator=(SiteFileToUniversalIdentifierMap&& other) noexcept;
  ~SiteFileToUniversalIdentifierMap() = default;

  // Gives `path` the next id (S_OK; E_INVALIDARG for null).
  HRESULT AddFile(const wchar_t* path);
  // The id of the lower-cased path, else the id of the path's base name
  // (as given), as 32 bits; 0 when neither is mapped.
  DWORD Find(const wchar_t* path) const;
  // The path of `id`, or null.
  const wchar_t* Find(uint64_t id) const;
  // Clear, then every site of the tree (assemblies first, each manager in
  // its order) under its lower-cased path.
  HRESULT Build(AsmTree* tree);
  // Maps the site of each roadmap's occurrence (bound from the root): an
  // unmapped path whose base name is mapped takes over that id, so a moved
  // file keeps its id; any other unmapped path gets a new id. Then forgets
  // each id of `removed`.
  HRESULT Update(AsmTree* tree, const std::set<DisplayRoadmap>& roadmaps, const std::vector<uint64_t>& removed);
  void Clear();
  // The files added minus those removed.
  uint64_t GetSiteCount() const { return count_; }

  // The "Sites" stream.
  HRESULT Save(IStorage* storage);
  HRESULT Load(IStorage* storage);

 private:
  HRESULT AddFileWithID(uint64_t id, const wchar_t* path);
  DWORD BuildHelper(SiteManager* manager);
  HRESULT ReplaceFileInMap(uint64_t id, const wchar_t* path);
  void RemoveSiteHelper(uint64_t id);
  // Points the id map at this object's own path keys (after a copy).
  void RelinkIdMap(const SiteFileToUniversalIdentifierMap& other);

  uint64_t nextId_ = 1;
  uint64_t count_ = 0;
  std::map<GUserText, uint64_t> pathMap_;
  // Each value is a key of pathMap_.
  std::map<uint64_t, const GUserText*> idMap_;
  std::map<GUserText, uint64_t> baseNameMap_;
  // Set once an id and a path were not added together (an existing key kept
  // its entry): then two ids may share one path key.
  bool aliased_ = false;
};

namespace quorra {

// User data 133 of a site: a set of 32-bit values, stored in the "IDS"
// stream with the site. The value is a heap SiteValueSet owned by the site.
constexpr DWORD kSiteValueSetUserData = 133;
using SiteValueSet = std::set<DWORD>;

// The names of the two streams.
constexpr const wchar_t* kIDSStreamName = L"IDS";
constexpr const wchar_t* kSitesStreamName = L"Sites";

}  // namespace quorra
