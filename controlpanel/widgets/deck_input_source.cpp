#include "controlpanel/widgets/deck_input_source.h"

#include "controlpanel/widgets/utils.h"
#include "ui_deck_input_source.h"

DeckInputSource::DeckInputSource(QWidget* parent) : QWidget(parent), ui(new Ui::DeckInputSource) {
    ui->setupUi(this);
    const QString suffix = Utils::isHighDpiScreen() ? "@2x.png" : ".png";
    phonoPixmap.load(":/images/src_phono" + suffix);
    cdPixmap.load(":/images/src_cd" + suffix);
    spdifPixmap.load(":/images/src_spdif" + suffix);
    setPhono();
}

DeckInputSource::~DeckInputSource() {
    delete ui;
}

void DeckInputSource::showSource(const QPixmap& picture, const QString& text) {
    ui->labelInputImage->setPixmap(picture);
    ui->labelInputValue->setText(text);
}

void DeckInputSource::setPhono() {
    showSource(phonoPixmap, tr("Phono Input"));
}

void DeckInputSource::setCD() {
    showSource(cdPixmap, tr("CD Input"));
}

void DeckInputSource::setSPDIF() {
    showSource(spdifPixmap, tr("S/PDIF Input"));
}
