// bleepforge: the desktop player. Usage: bleepforge [SONG.mml]
#include <QApplication>
#include <QTimer>

#include "app/qt/main_window.h"

int main(int argc, char** argv) {
    using namespace bleepforge;
    // Sound flows before the window exists; without a device the window says so.
    AudioStream stream(make_default_device());

    QApplication app(argc, argv);
    MainWindow window(stream);
    window.show();
    // The frame's size is known only once the window manager has framed the window.
    QTimer::singleShot(200, &window, [&window] { window.fit_outer_size(); });

    const QStringList args = QApplication::arguments();
    if (args.size() > 1) {
        std::error_code ec;
        const std::filesystem::path song = std::filesystem::absolute(to_path(args[1]), ec);
        QTimer::singleShot(0, &window, [&window, song] { window.controller().drop({{song}}); });
    }
    return app.exec();
}
