// quorra: the in-memory structure of a mechanical CAD assembly for showing,
// navigating and overriding it. Everything public is reachable from here.
#pragma once

#include "quorra/host/types.h"
#include "quorra/host/trace.h"
#include "quorra/host/storage.h"
#include "quorra/host/compound_file.h"
#include "quorra/host/moniker.h"
