// The reference host: what a CAD host would provide to the library, built
// over real compound files on disk.
#include "quorra/refhost.h"

namespace quorra::refhost {

void Install() {}

}  // namespace quorra::refhost
