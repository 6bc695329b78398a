#pragma once

#include <QObject>

// Screen-density test shared by both GUI programs.
class Utils : public QObject {
    Q_OBJECT
public:
    explicit Utils(QObject* parent = nullptr);

    // True when the primary screen's device-pixel ratio is at least 2, the
    // ratio at which the "@2x" / "_2x" images are drawn.
    static bool isHighDpiScreen();
};
