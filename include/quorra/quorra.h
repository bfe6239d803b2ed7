// quorra: the in-memory structure of a mechanical CAD assembly for showing,
// navigating and overriding it. Everything public is reachable from here.
#pragma once

#include "quorra/host/types.h"
#include "quorra/host/trace.h"
#include "quorra/host/storage.h"
#include "quorra/host/geometry.h"
#include "quorra/host/com.h"
#include "quorra/host/identity.h"
