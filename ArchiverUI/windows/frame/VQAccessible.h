// What a screen reader gets from the viewer's own controls: the status bar's
// panels read as the text they show, and a checkable tool bar command runs
// its command when an assistive tool toggles it, as a click does (Qt's own
// "Toggle" only flips the check mark, which the command then puts back).
#pragma once

// Installs the interfaces for the application; the application object does
// it once at start.
void InstallViewerAccessibility();
