#pragma once

namespace pelmora {
// The ways the program ends besides OK (which ends the dialog with 1 and
// writes nothing): each writes the shutdown summary (any non-zero fhlog) and
// sends the exit record (stats) first.

// The close box, Alt+F4, q or a signal: the tray icon goes, the dialog ends with 0.
void closeShutdown();
// Escape: the dialog ends with 0.
void cancelShutdown();
// The monitor server's exit command: the process ends with 0 at once.
void exitRequestShutdown();

} // namespace pelmora
