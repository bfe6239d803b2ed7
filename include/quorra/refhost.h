// The reference host: host modules, settings, trace sinks, document objects
// over real compound files, a style library and a progress sink, so the
// library runs end to end outside a CAD host.
#pragma once

namespace quorra::refhost {

// Registers refhost's host modules and fills the settings table. Idempotent.
void Install();

}  // namespace quorra::refhost
