// The about box: the icon, the version line and OK.
#pragma once

#include <QDialog>
#include <QIcon>

namespace bleepforge {

// The program's icon in every drawn size (16, 32, 48, 256 pixels).
QIcon app_icon();

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* owner);
};

}  // namespace bleepforge
