#include "controlpanel/dialog_font.h"

#include <QApplication>
#include <QFile>
#include <QFontDatabase>

namespace {

constexpr int kDialogPointSize = 8;
const char* const kDialogFamily = "Tahoma";

}  // namespace

QStringList dialogFontFiles() {
    // Debian's fonts-wine (scripts/install-deps) ships the metric-compatible
    // faces outside fontconfig's folders, so they are loaded by path.
    return {QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"), QStringLiteral("/usr/share/wine/fonts/tahomabd.ttf")};
}

QFont loadDialogFont() {
    QString family;
    for (const QString& file : dialogFontFiles()) {
        if (!QFile::exists(file))
            continue;
        const int id = QFontDatabase::addApplicationFont(file);
        const QStringList families = QFontDatabase::applicationFontFamilies(id);
        if (family.isEmpty() && !families.isEmpty())
            family = families.first();
    }
    if (family.isEmpty() && QFontDatabase().families().contains(QString::fromLatin1(kDialogFamily), Qt::CaseInsensitive))
        family = QString::fromLatin1(kDialogFamily);
    if (family.isEmpty())
        family = QFontDatabase::systemFont(QFontDatabase::GeneralFont).family();
    return QFont(family, kDialogPointSize);
}

void useDialogFont() { QApplication::setFont(loadDialogFont()); }
