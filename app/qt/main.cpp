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

    // argv as QApplication left it (its own options taken out), in the file system's bytes.
    const std::filesystem::path song = song_argument(argc, argv);
    if (!song.empty()) {
        QTimer::singleShot(0, &window, [&window, song] { window.controller().drop({{song}}); });
    }
    return app.exec();
}
