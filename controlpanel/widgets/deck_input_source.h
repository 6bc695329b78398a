#pragma once

#include <QPixmap>
#include <QWidget>

namespace Ui {
class DeckInputSource;
}

// A deck's input source: its picture and its name.
class DeckInputSource : public QWidget {
    Q_OBJECT
public:
    explicit DeckInputSource(QWidget* parent = nullptr);
    ~DeckInputSource() override;

    void setPhono();
    void setCD();
    void setSPDIF();

private:
    void showSource(const QPixmap& picture, const QString& text);

    Ui::DeckInputSource* ui;
    QPixmap phonoPixmap;
    QPixmap cdPixmap;
    QPixmap spdifPixmap;
};
