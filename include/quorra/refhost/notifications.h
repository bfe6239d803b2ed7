// The change notifications the library sends refhost's assembly module
// through "JAsmNotifyIDS" of "brenik.dex" (JNotifyIDS): refhost keeps them in
// order so that a host, the tool or a test can see what the library said.
#pragma once

#include <vector>

#include "quorra/host/types.h"

namespace quorra::refhost {

struct IdsNotification {
  void* tree = nullptr;      // the AsmTree, or null for every tree
  void* document = nullptr;  // the document, when no tree was named
  DWORD code = 0;            // the kind of notification (28: a tree changed, 31: a document's overrides)
  DWORD flags = 0;           // the change flags
};

// The notifications received since the last call, oldest first; they are
// forgotten once handed out.
std::vector<IdsNotification> TakeIdsNotifications();

}  // namespace quorra::refhost
