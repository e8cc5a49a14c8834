#include "app/qt/about_dialog.h"

#include <QFontMetrics>
#include <QIcon>
#include <QLabel>
#include <QPushButton>

namespace bleepforge {

namespace {

// Laid out in dialog units (a quarter of the average character width, an
// eighth of the line height) so the box keeps its shape with any font.
struct DialogUnits {
    explicit DialogUnits(const QFontMetrics& m) : x(m.averageCharWidth()), y(m.height()) {}
    QRect rect(int left, int top, int width, int height) const {
        return QRect(left * x / 4, top * y / 8, width * x / 4, height * y / 8);
    }
    int x, y;
};

}  // namespace

QIcon app_icon() {
    QIcon icon;
    for (int size : {16, 32, 48, 256}) icon.addFile(QString(":/icons/bleepforge-%1.png").arg(size), QSize(size, size));
    return icon;
}

AboutDialog::AboutDialog(QWidget* owner) : QDialog(owner) {
    setWindowTitle("ﾊﾞｰｼﾞｮﾝ情報");
    setModal(true);
    const DialogUnits du(fontMetrics());

    auto* picture = new QLabel(this);
    picture->setObjectName("icon");
    picture->setPixmap(app_icon().pixmap(32, 32));
    picture->setGeometry(du.rect(14, 9, 20, 20));

    auto* version = new QLabel("bleepforge Version 1.3", this);
    version->setObjectName("version");
    version->setTextFormat(Qt::PlainText);
    version->setGeometry(du.rect(49, 10, 119, 8));

    auto* ok = new QPushButton("OK", this);
    ok->setDefault(true);
    ok->setGeometry(du.rect(195, 6, 30, 11));
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);

    setFixedSize(du.rect(0, 0, 230, 75).size());
}

}  // namespace bleepforge
