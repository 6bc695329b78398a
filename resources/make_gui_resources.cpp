// Draws the GUI programs' images and gathers the About dialog's licence
// document at build time, so the tree carries no binary and no copy of a
// licence text.
//
// make_gui_resources <out dir> <LGPL-3 text> [<title>=<notice file>]...

#include <QColor>
#include <QDir>
#include <QFile>
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRegularExpression>
#include <QTextStream>

#include <cstdio>
#include <functional>

namespace {

using Drawing = std::function<void(QPainter&)>;

bool writeImage(const QString& path, QSize logical, int scale, const Drawing& draw) {
    QImage image(logical * scale, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(scale, scale);
    draw(p);
    p.end();
    if (!image.save(path)) {
        std::fprintf(stderr, "make_gui_resources: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

void drawLogo(QPainter& p, bool hover) {
    QRectF r(0.5, 0.5, 83, 30);
    QLinearGradient g(r.topLeft(), r.bottomLeft());
    g.setColorAt(0, hover ? QColor("#3a7bd5") : QColor("#3c3c3c"));
    g.setColorAt(1, hover ? QColor("#1d4e9e") : QColor("#141414"));
    p.setPen(QPen(hover ? QColor("#9cc3ff") : QColor("#6a6a6a"), 1));
    p.setBrush(g);
    p.drawRoundedRect(r, 6, 6);
    // A small mixer fader beside the name.
    p.setPen(QPen(QColor("#d0d0d0"), 1.5));
    p.drawLine(QPointF(12, 8), QPointF(12, 23));
    p.setBrush(QColor("#ff8a00"));
    p.setPen(Qt::NoPen);
    p.drawRect(QRectF(8, 12, 8, 5));
    QFont f;
    f.setPixelSize(17);
    f.setBold(true);
    f.setLetterSpacing(QFont::AbsoluteSpacing, 2);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRectF(20, 0, 62, 31), Qt::AlignCenter, "ORVO");
}

void drawFirmwareMark(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#f08c00"));
    p.drawEllipse(QRectF(1, 1, 22, 22));
    p.setBrush(Qt::white);
    QPainterPath arrow;
    arrow.moveTo(12, 4.5);
    arrow.lineTo(18.5, 11.5);
    arrow.lineTo(14.5, 11.5);
    arrow.lineTo(14.5, 18.5);
    arrow.lineTo(9.5, 18.5);
    arrow.lineTo(9.5, 11.5);
    arrow.lineTo(5.5, 11.5);
    arrow.closeSubpath();
    p.drawPath(arrow);
}

void drawLed(QPainter& p, QColor lit, bool on) {
    QRectF r(1.5, 1.5, 13, 13);
    QRadialGradient g(QPointF(6, 6), 8);
    g.setColorAt(0, on ? lit.lighter(170) : QColor("#9a9a9a"));
    g.setColorAt(1, on ? lit : QColor("#4a4a4a"));
    p.setPen(QPen(QColor("#202020"), 1));
    p.setBrush(g);
    p.drawEllipse(r);
}

void drawPhono(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#111111"));
    p.drawEllipse(QRectF(1, 1, 30, 30));
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor("#3a3a3a"), 0.8));
    for (double r = 13; r > 7; r -= 2)
        p.drawEllipse(QPointF(16, 16), r, r);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#d42020"));
    p.drawEllipse(QPointF(16, 16), 5, 5);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(16, 16), 1, 1);
}

void drawCd(QPainter& p) {
    QConicalGradient g(QPointF(16, 16), 30);
    g.setColorAt(0, QColor("#d8d8e8"));
    g.setColorAt(0.25, QColor("#a8e0ff"));
    g.setColorAt(0.5, QColor("#f0d0ff"));
    g.setColorAt(0.75, QColor("#fff0b0"));
    g.setColorAt(1, QColor("#d8d8e8"));
    p.setPen(QPen(QColor("#707080"), 1));
    p.setBrush(g);
    p.drawEllipse(QRectF(1.5, 1.5, 29, 29));
    p.setBrush(QColor("#f4f4f4"));
    p.drawEllipse(QPointF(16, 16), 5, 5);
    p.setBrush(Qt::white);
    p.setPen(QPen(QColor("#707080"), 0.8));
    p.drawEllipse(QPointF(16, 16), 2, 2);
}

void drawSpdif(QPainter& p) {
    // An optical plug: a square body with the lit fibre in the middle.
    p.setPen(QPen(QColor("#202020"), 1));
    p.setBrush(QColor("#3c3c46"));
    p.drawRoundedRect(QRectF(3.5, 5.5, 25, 21), 3, 3);
    p.setBrush(QColor("#1a1a1a"));
    p.drawRect(QRectF(9.5, 10.5, 13, 11));
    QRadialGradient g(QPointF(16, 16), 4.5);
    g.setColorAt(0, QColor("#ffe0e0"));
    g.setColorAt(1, QColor("#ff2a2a"));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QPointF(16, 16), 3.5, 3.5);
}

void drawAppPicture(QPainter& p, double size) {
    p.save();
    p.scale(size / 96.0, size / 96.0);
    QLinearGradient g(0, 0, 0, 96);
    g.setColorAt(0, QColor("#464650"));
    g.setColorAt(1, QColor("#16161c"));
    p.setPen(QPen(QColor("#0a0a0a"), 2));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(4, 4, 88, 88), 14, 14);
    // Three channel faders and a crossfader, the shape of a DJ mixer's face.
    const double caps[] = {30, 52, 40};
    for (int i = 0; i < 3; ++i) {
        double x = 26 + i * 22;
        p.setPen(QPen(QColor("#8a8a96"), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(x, 18), QPointF(x, 64));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor("#ff8a00"));
        p.drawRoundedRect(QRectF(x - 7, caps[i] - 4, 14, 8), 2, 2);
    }
    p.setPen(QPen(QColor("#8a8a96"), 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(22, 78), QPointF(74, 78));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor("#3a9bff"));
    p.drawRoundedRect(QRectF(41, 71, 10, 14), 2, 2);
    p.restore();
}

QString readText(const QString& path, bool* ok) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) {
        std::fprintf(stderr, "make_gui_resources: cannot read %s\n", qPrintable(path));
        *ok = false;
        return {};
    }
    return QString::fromUtf8(f.readAll());
}

// The licence as flowing paragraphs; its title and its numbered section
// headings ("0. Additional Definitions.") in bold.
QString licenceHtml(const QString& text) {
    static const QRegularExpression heading(R"(^(\d+\.\s+[A-Z][^.]*\.|GNU LESSER GENERAL PUBLIC LICENSE)$)");
    QString html;
    const QStringList paragraphs = text.split(QRegularExpression(R"(\n\s*\n)"));
    for (const QString& para : paragraphs) {
        QStringList lines = para.trimmed().split('\n');
        for (QString& line : lines)
            line = line.trimmed().toHtmlEscaped();
        if (lines.join(QString()).isEmpty())
            continue;
        if (heading.match(lines.first()).hasMatch())
            html += "<p><b>" + lines.join("<br>") + "</b></p>\n";
        else
            html += "<p>" + lines.join(' ') + "</p>\n";
    }
    return html;
}

bool writeLicences(const QString& outDir, const QString& lgplPath, const QStringList& notices) {
    bool ok = true;
    QString html = "<html><body>\n<p><b>Qt Class Libraries are covered under the GLPL:</b></p>\n";
    html += licenceHtml(readText(lgplPath, &ok));
    html += "<p></p>\n<p><b>Additional 3<sup>rd</sup> Party Notes and Licenses:</b></p>\n<ol type=\"a\">\n";
    for (const QString& notice : notices) {
        const int eq = notice.indexOf('=');
        if (eq < 0) {
            std::fprintf(stderr, "make_gui_resources: want <title>=<file>, got %s\n", qPrintable(notice));
            return false;
        }
        // Kept as laid out, but wrapped at the box's width.
        html += "<li><b>" + notice.left(eq).toHtmlEscaped() + "</b><pre style=\"white-space: pre-wrap\">" +
                readText(notice.mid(eq + 1), &ok).toHtmlEscaped() + "</pre></li>\n";
    }
    html += "</ol>\n</body></html>\n";
    QFile out(outDir + "/licenses.html");
    if (!ok || !out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    out.write(html.toUtf8());
    return out.flush();
}

}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fprintf(stderr, "usage: make_gui_resources <out dir> <LGPL-3 text> [<title>=<notice>]...\n");
        return 2;
    }
    const QString out = args[1];
    if (!QDir().mkpath(out + "/images"))
        return 1;

    struct Picture {
        const char* name;
        QSize size;
        Drawing draw;
    };
    const QColor green("#23d14a"), blue("#2a8cff");
    const Picture pictures[] = {
        {"fw_update", {24, 24}, drawFirmwareMark},
        {"led_off", {16, 16}, [&](QPainter& p) { drawLed(p, green, false); }},
        {"led_green", {16, 16}, [&](QPainter& p) { drawLed(p, green, true); }},
        {"led_blue", {16, 16}, [&](QPainter& p) { drawLed(p, blue, true); }},
        {"src_phono", {32, 32}, drawPhono},
        {"src_cd", {32, 32}, drawCd},
        {"src_spdif", {32, 32}, drawSpdif},
        {"app_about", {96, 96}, [](QPainter& p) { drawAppPicture(p, 96); }},
    };
    bool ok = true;
    for (const Picture& pic : pictures) {
        const QString base = out + "/images/" + pic.name;
        ok = writeImage(base + ".png", pic.size, 1, pic.draw) && ok;
        ok = writeImage(base + "@2x.png", pic.size, 2, pic.draw) && ok;
    }
    // The logo keeps its "_2x" names: style sheets name the file directly.
    for (bool hover : {false, true}) {
        const QString base = out + "/images/logo_orvo" + (hover ? "_hover" : "");
        const Drawing draw = [hover](QPainter& p) { drawLogo(p, hover); };
        ok = writeImage(base + ".png", {84, 31}, 1, draw) && ok;
        ok = writeImage(base + "_2x.png", {84, 31}, 2, draw) && ok;
    }
    ok = writeImage(out + "/app.ico", {48, 48}, 1, [](QPainter& p) { drawAppPicture(p, 48); }) && ok;
    ok = writeLicences(out, args[2], args.mid(3)) && ok;
    return ok ? 0 : 1;
}
