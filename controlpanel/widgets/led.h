#pragma once

#include <QPixmap>
#include <QWidget>

namespace Ui {
class LED;
}

// An 18 x 18 status lamp: off, green or blue.
class LED : public QWidget {
    Q_OBJECT
public:
    explicit LED(QWidget* parent = nullptr);
    ~LED() override;

    void setOff();
    void setGreen();
    void setBlue();

private:
    Ui::LED* ui;
    QPixmap offPixmap;
    QPixmap greenPixmap;
    QPixmap bluePixmap;
};
