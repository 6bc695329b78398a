#pragma once
// The font both GUI programs draw with. The forms have fixed sizes laid out
// for an 8-point dialog font of Tahoma's metrics; a wider desktop font (or a
// platform's own larger default) clips their controls.

#include <QFont>
#include <QStringList>

// Where the font's files are looked for, regular face first.
QStringList dialogFontFiles();

// Loads the dialog font (from dialogFontFiles, else a family of that name
// that fontconfig knows) and returns it at 8 points; without it, the
// platform's general font family at 8 points.
QFont loadDialogFont();

// loadDialogFont made the application's font: call after QApplication.
void useDialogFont();
