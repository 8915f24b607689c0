#pragma once
// What the user sees: the window's texts and bar, and the tray icon.

void refreshStatusTexts();
void refreshTrayTip();
// Into the tray when quiet is set, back to the window otherwise.
void applyTrayMode();
void deleteTrayIcon();
