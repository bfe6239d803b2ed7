// quorra: the in-memory structure of a mechanical CAD assembly for showing,
// navigating and overriding it. Everything public is reachable from here.
#pragma once

// Host layer.
#include "quorra/host/types.h"
#include "quorra/host/trace.h"
#include "quorra/host/storage.h"
#include "quorra/host/text.h"
#include "quorra/host/iostream_context.h"
#include "quorra/host/kernel.h"
#include "quorra/host/modules.h"
#include "quorra/host/switches.h"
#include "quorra/host/geometry.h"
#include "quorra/host/com.h"
#include "quorra/host/identity.h"
#include "quorra/host/kv_data.h"
#include "quorra/host/scene_items.h"
#include "quorra/host/styles.h"
#include "quorra/host/display.h"
#include "quorra/host/container.h"

// Library.
#include "quorra/roadmap.h"
#include "quorra/user_data.h"
#include "quorra/user_tokens.h"
#include "quorra/node_list.h"
#include "quorra/node_manager.h"
#include "quorra/render_advise.h"
#include "quorra/tree.h"
#include "quorra/symbology.h"
#include "quorra/site.h"
#include "quorra/attachment.h"
#include "quorra/probe.h"
#include "quorra/occurrence.h"
#include "quorra/walk.h"
