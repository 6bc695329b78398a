// orvo-buffersize-demo FOLDER: the buffer-size program's window beside the
// control panel's model on one machine's registry. It shows the size the
// registry holds, sets 20 ms as a user releasing the slider would, prints how
// soon the control panel's model follows, and writes the window before and
// after to FOLDER.

#include "buffersize/orvo_buffer_size.h"
#include "controlpanel/dialog_font.h"
#include "controlpanel/widgets/buffer_slider.h"
#include "mixer/model/mixer_model.h"
#include "resources/gui_resources.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QTest>

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvo-buffersize-demo FOLDER\n");
        return 2;
    }
    bool ok = false;
    {
        QApplication app(argc, argv);
        initGuiResources();
        useDialogFont();
        const QDir folder(QString::fromLocal8Bit(argv[1]));
        OrvoBufferSize window;
        MixerModel panel(nullptr, MixerModel::Devices::Unused); // the control panel's, as far as sizes go
        window.show();
        auto* slider = window.findChild<BufferSlider*>("horizontalSliderBufferSize");
        auto* label = window.findChild<QLabel*>("labelBufferSize");
        if (!QTest::qWaitFor([&] { return window.model()->bufferSize() != 0 && panel.bufferSize() != 0; }, 3000))
            std::printf("no size known after 3 s\n");
        std::printf("buffer-size program shows %s, the control panel's model holds %d ms\n",
                    qPrintable(label->text()), panel.bufferSize());
        const QString before = folder.filePath("demo-buffer-size-before.png");
        window.grab().save(before);
        const int wanted = window.model()->bufferSize() == 20 ? 12 : 20;
        QElapsedTimer followed;
        followed.start();
        slider->setValue(wanted); // the slider released at the new size
        ok = QTest::qWaitFor([&] { return panel.bufferSize() == wanted; }, 3 * MixerModel::kBufferPollMs);
        std::printf("buffer-size program set %s; the control panel's model followed after %lld ms: %d ms\n",
                    qPrintable(label->text()), static_cast<long long>(followed.elapsed()), panel.bufferSize());
        const QString after = folder.filePath("demo-buffer-size-after.png");
        ok = window.grab().save(after) && ok;
        std::printf("screenshots: %s %s\n", qPrintable(before), qPrintable(after));
    }
    orvo::model::shutdownDeviceService();
    return ok ? 0 : 1;
}
