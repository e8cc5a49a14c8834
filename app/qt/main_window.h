// The Linux window shell: menu, keys, mouse, drops and painting, each
// translated into a Controller call.
#pragma once

#include <QMainWindow>
#include <QUrl>
#include <memory>

#include "app/controller.h"

class QAction;
class QMenu;
class QTimer;

namespace bleepforge {

// The Win32 key-down meaning of a Qt key press.
KeyKind key_kind(int qt_key, Qt::KeyboardModifiers modifiers);
// A path of this machine from Qt's text of it, byte for byte as the file system names it.
std::filesystem::path to_path(const QString& path);
// The path of a local file URL, byte for byte as the file system names it,
// even when the name is not UTF-8.
std::filesystem::path local_path(const QUrl& url);
// The song named on the command line (after Qt took its own options), made
// absolute from its raw bytes; empty when none is given.
std::filesystem::path song_argument(int argc, const char* const* argv);

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // `stream` must outlive the window. Closing the window halts the stream.
    explicit MainWindow(AudioStream& stream);
    ~MainWindow() override;

    Controller& controller() { return *controller_; }
    // The menu action whose text is `text`, for tests; nullptr if none.
    QAction* find_action(const QString& text) const;

    // Sets the outer (framed) size to 240 x 200 once the window manager has
    // told the frame's size; the client size stands in when it never does.
    void fit_outer_size();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    class Canvas;
    class QtShell;

    void build_menu();
    void show_about();
    // "保存したら再生" and "途中から再生..." in "music", and the "トラック" pop-up after it.
    void build_loop_menus(QMenu* music);

    std::unique_ptr<QtShell> shell_;
    std::unique_ptr<Controller> controller_;
    Canvas* canvas_;

    void add_open_item(QMenu& file);
    void add_song_export_items(QMenu& file);
    void add_warnings_item(QMenu& music);
};

}  // namespace bleepforge
