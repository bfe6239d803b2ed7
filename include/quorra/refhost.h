// The reference host: what a CAD host provides to the library, built over
// real compound files on disk. It registers the host modules the library
// looks up by name, fills the settings table, installs a trace sink, and
// offers document objects and a progress sink to the tool and the tests.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "quorra/host/trace.h"

namespace quorra::refhost {

struct Options {
  // Print every trace on stderr as it happens.
  bool traceToStderr = false;
  // Settings put into the host's table (name, value), after refhost's own.
  std::vector<std::pair<std::wstring, std::wstring>> settings;
  // Extra folders the path search looks in after the loaders' own order
  // (quorra::host::SetExtraSearchDirectories).
  std::vector<std::string> searchPaths;
};

// Registers refhost's host modules, its module loader and its trace sink,
// and fills the settings table. Calling it again replaces the options.
void Install(const Options& options = Options());
// Removes what Install registered.
void Uninstall();
bool IsInstalled();

// The names of the host modules refhost provides.
const std::vector<std::wstring>& ModuleNames();

// The most recent trace seen by refhost's sink (empty before the first).
host::TraceEntry LastTrace();
// How many out-of-memory failures (E_OUTOFMEMORY, STG_E_INSUFFICIENTMEMORY)
// refhost's sink has seen: a host compares the count before and after a load
// to learn that the load ran out of memory somewhere below the top.
uint64_t OutOfMemoryTraces();
// "operation failed with 0x80030002 (source:line)" for the most recent trace.
std::string DescribeLastTrace();

}  // namespace quorra::refhost
