#pragma once

// Registers the GUI programs' images and licence document (":/images/...",
// ":/app.ico", ":/licenses.html"). Call once before the first window.
void initGuiResources();
