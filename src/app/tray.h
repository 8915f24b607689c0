#pragma once

namespace pelmora {
// The switch between the window and the tray icon, and the icon's tooltip:
// everything the program does about the tray.

// Into the tray when quiet is set, back to the window otherwise.
void applyTrayMode();
void refreshTrayTip();
void deleteTrayIcon();

// The three ways the switch is asked for: the window minimised, a
// double-click on the icon (ignored with nowin), the monitor server's
// toggle command (which flips nowin too).
void trayOnMinimise();
void trayOnDoubleClick();
void trayOnServerToggle();

} // namespace pelmora
