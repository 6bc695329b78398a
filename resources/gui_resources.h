#pragma once

// Registers the GUI programs' images and licence document (":/images/...",
// ":/app.ico" and its alias ":/IDI_ICON1", ":/licenses.html"). Call once
// before the first window.
void initGuiResources();
