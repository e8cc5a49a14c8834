#include "app/qt/main_window.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <QFile>
#include <QFileDialog>
#include <QFontMetrics>
#include <QInputDialog>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QShortcut>
#include <QTimer>

#include "app/qt/about_dialog.h"

// The icons live in a static library, whose resources are not registered by themselves.
static void init_resources() {
    Q_INIT_RESOURCE(bleepforge);
}

namespace bleepforge {

namespace {

constexpr QSize OUTER_SIZE(240, 200);

QString from_utf8(const std::string& text) {
    return QString::fromUtf8(text.data(), qsizetype(text.size()));
}

QString to_qstring(const std::filesystem::path& path) {
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

}  // namespace

std::filesystem::path to_path(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

std::filesystem::path local_path(const QUrl& url) {
    // The URL's own bytes: a name that is not UTF-8 does not survive a QString.
    return std::filesystem::path(QByteArray::fromPercentEncoding(url.path(QUrl::FullyEncoded).toUtf8()).toStdString());
}

std::filesystem::path song_argument(int argc, const char* const* argv) {
    if (argc < 2 || argv[1] == nullptr || argv[1][0] == '\0') return {};
    std::error_code ec;
    const std::filesystem::path song = std::filesystem::absolute(std::filesystem::path(argv[1]), ec);
    return ec ? std::filesystem::path(argv[1]) : song;
}

KeyKind key_kind(int qt_key, Qt::KeyboardModifiers modifiers) {
    // As in Win32, a key held with Alt (but not AltGr's Ctrl+Alt), Alt itself
    // and F10 are system keys for the menu.
    const bool alt_only = (modifiers & Qt::AltModifier) && !(modifiers & Qt::ControlModifier);
    if (alt_only || qt_key == Qt::Key_Alt || qt_key == Qt::Key_F10) return KeyKind::SYSTEM;
    if (qt_key == Qt::Key_P) return KeyKind::P;
    if (qt_key == Qt::Key_R) return KeyKind::R;
    return KeyKind::OTHER;
}

// The client area below the menu bar: paints what the controller says.
class MainWindow::Canvas : public QWidget {
public:
    explicit Canvas(MainWindow& window) : QWidget(&window), window_(window) {
        setBackgroundRole(QPalette::Base);
        setAutoFillBackground(true);
        setFocusPolicy(Qt::NoFocus);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QFontMetrics metrics(font());
        for (const WindowLine& line : window_.controller().layout(width(), height(), metrics.height())) {
            const Qt::Alignment align = (line.centred ? Qt::AlignHCenter : Qt::AlignLeft) | Qt::AlignTop;
            painter.drawText(QRect(line.x, line.y, line.width, line.height), align | Qt::TextSingleLine,
                             from_utf8(line.text));
        }
        const ScopePicture scopes = window_.controller().scope_picture(width(), height(), metrics.height());
        for (const PaintLine& label : scopes.labels) draw(painter, metrics, label);
        for (const Polyline& line : scopes.lines) {
            painter.setPen(QColor(line.colour.r, line.colour.g, line.colour.b));
            QPolygon points;
            for (const Point& p : line.points) points << QPoint(p.x, p.y);
            painter.drawPolyline(points);
        }
    }

private:
    void draw(QPainter& painter, const QFontMetrics& metrics, const PaintLine& line) {
        const QString text = from_utf8(line.text);
        if (line.place == PaintLine::Place::CENTRED_ROW) {
            const QRect row(0, line.row * metrics.height(), width(), metrics.height());
            painter.drawText(row, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, text);
        } else {
            painter.drawText(QPoint(line.x, line.y + metrics.ascent()), text);
        }
    }

    MainWindow& window_;
};

class MainWindow::QtShell : public Shell {
public:
    explicit QtShell(MainWindow& window) : window_(window) {
        QObject::connect(&ticks_, &QTimer::timeout, &window, [&window] { window.controller().tick(); });
    }

    void show_message(const std::string& text, const std::string& caption) override {
        QMessageBox box(QMessageBox::NoIcon, from_utf8(caption), from_utf8(text), QMessageBox::Ok, &window_);
        box.exec();
    }

    std::filesystem::path ask_save_path(const SaveRequest& request) override {
        QFileDialog dialog(&window_, from_utf8(request.title), to_qstring(request.start_folder));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        QStringList filters;
        for (const SaveFilter& f : request.filters) filters << from_utf8(f.name + " (" + f.pattern + ")");
        dialog.setNameFilters(filters);
        // The suffix added to a bare name follows the chosen filter.
        auto suffix_of = [&](const QString& filter) {
            const qsizetype i = filters.indexOf(filter);
            return i < 0 ? QString() : from_utf8(request.filters[std::size_t(i)].suffix);
        };
        dialog.setDefaultSuffix(suffix_of(filters.value(0)));
        QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                         [&](const QString& filter) { dialog.setDefaultSuffix(suffix_of(filter)); });
        if (!request.start_name.empty()) dialog.selectFile(to_qstring(request.start_name));
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
        std::filesystem::path chosen = to_path(dialog.selectedFiles().first());
        const QString suffix = suffix_of(dialog.selectedNameFilter());
        if (!chosen.has_extension() && !suffix.isEmpty()) chosen += to_path("." + suffix);
        return chosen;
    }

    void repaint() override { window_.canvas_->repaint(); }

    void set_title(const std::string& title) override { window_.setWindowTitle(from_utf8(title)); }

    std::filesystem::path ask_open_path(const OpenRequest& request) override {
        QFileDialog dialog(&window_, from_utf8(request.title), to_qstring(request.start_folder));
        dialog.setAcceptMode(QFileDialog::AcceptOpen);
        dialog.setFileMode(QFileDialog::ExistingFile);
        QStringList filters;
        for (const auto& [name, pattern] : request.filters) filters << from_utf8(name + " (" + pattern + ")");
        dialog.setNameFilters(filters);
        if (dialog.exec() != QDialog::Accepted || dialog.selectedUrls().isEmpty()) return {};
        // As drops do: the URL's bytes, not a QString of the name.
        const QUrl url = dialog.selectedUrls().first();
        return url.isLocalFile() ? local_path(url) : to_path(dialog.selectedFiles().first());
    }

    void show_text(const std::string& text, const std::string& caption) override {
        QDialog dialog(&window_);
        dialog.setWindowTitle(from_utf8(caption));
        auto* box = new QPlainTextEdit(from_utf8(text), &dialog);
        box->setObjectName("text");
        box->setReadOnly(true);
        // Read-only boxes select by mouse only; the keyboard's Ctrl+A and Ctrl+C should work too.
        box->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
        box->setLineWrapMode(QPlainTextEdit::NoWrap);
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, &dialog);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        auto* layout = new QVBoxLayout(&dialog);
        layout->addWidget(box);
        layout->addWidget(buttons);
        dialog.resize(420, 260);
        dialog.exec();
    }

    bool ask_song_export(SongExportRequest& request) override {
        QDialog dialog(&window_);
        dialog.setWindowTitle(from_utf8(request.caption));
        auto* loops = new QLineEdit(from_utf8(request.loops), &dialog);
        auto* fade = new QLineEdit(from_utf8(request.fade), &dialog);
        loops->setObjectName("loops");
        fade->setObjectName("fade");
        auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
        QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
        QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
        auto* form = new QFormLayout(&dialog);
        form->addRow(from_utf8(request.loops_label), loops);
        form->addRow(from_utf8(request.fade_label), fade);
        form->addRow(buttons);
        if (dialog.exec() != QDialog::Accepted) return false;
        request.loops = loops->text().toStdString();
        request.fade = fade->text().toStdString();
        return true;
    }

    std::optional<std::string> ask_text(const TextRequest& request) override {
        QInputDialog dialog(&window_);
        dialog.setWindowTitle(from_utf8(request.title));
        dialog.setLabelText(from_utf8(request.prompt));
        dialog.setTextValue(from_utf8(request.initial));
        if (dialog.exec() != QDialog::Accepted) return std::nullopt;
        return dialog.textValue().toStdString();
    }

    // Any thread: the queued call runs on the window's thread, and never once the window is gone.
    void wake_ui() override {
        MainWindow* window = &window_;
        QMetaObject::invokeMethod(window, [window] { window->controller().run_posted(); }, Qt::QueuedConnection);
    }

    void set_tick_interval(int milliseconds) override {
        if (milliseconds > 0) {
            ticks_.start(milliseconds);
        } else {
            ticks_.stop();
        }
    }

private:
    MainWindow& window_;
    QTimer ticks_;
};

MainWindow::MainWindow(AudioStream& stream)
    : shell_(std::make_unique<QtShell>(*this)),
      controller_(std::make_unique<Controller>(stream, *shell_)),
      canvas_(new Canvas(*this)) {
    init_resources();
    setWindowTitle(from_utf8(controller_->title()));
    setWindowIcon(app_icon());
    setCentralWidget(canvas_);
    setAcceptDrops(true);
    setFocusPolicy(Qt::StrongFocus);
    build_menu();
    // Character accelerators for the about box, as "?" and "/" are typed.
    for (const char* keys : {"Alt+?", "Alt+/"}) {
        connect(new QShortcut(QKeySequence(keys), this), &QShortcut::activated, this, &MainWindow::show_about);
    }
    resize(OUTER_SIZE);
}

MainWindow::~MainWindow() = default;

void MainWindow::build_menu() {
    Controller& c = *controller_;
    QMenu* file = menuBar()->addMenu("ﾌｧｲﾙ(&F)");
    add_open_item(*file);
    connect(file->addAction("録音機能オン"), &QAction::triggered, this, [&c] { c.record_on(); });
    connect(file->addAction("録音データを書き出し"), &QAction::triggered, this, [&c] { c.write_out(); });
    add_song_export_items(*file);
    connect(file->addAction("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)"), &QAction::triggered, this, &QWidget::close);
    file->addAction("デバグ（使用不可）")->setEnabled(false);

    QMenu* music = menuBar()->addMenu("music");
    connect(music->addAction("stop"), &QAction::triggered, this, [&c] { c.stop(); });
    connect(music->addAction("reloadplay(&P)"), &QAction::triggered, this, [&c] { c.reload_play(); });
    build_loop_menus(music);
    add_warnings_item(*music);

    QMenu* help = menuBar()->addMenu("ﾍﾙﾌﾟ(&H)");
    connect(help->addAction("ﾊﾞｰｼﾞｮﾝ情報(&A) ..."), &QAction::triggered, this, &MainWindow::show_about);
    help->addAction("wavデバイス再取得（不安定だよ）")->setEnabled(false);
}

void MainWindow::add_open_item(QMenu& file) {
    connect(file.addAction(text::MENU_OPEN), &QAction::triggered, this, [this] { controller_->open_file(); });
}

void MainWindow::add_song_export_items(QMenu& file) {
    connect(file.addAction(text::MENU_EXPORT_SONG), &QAction::triggered, this, [this] { controller_->export_song(); });
    connect(file.addAction(text::MENU_STOP_EXPORT), &QAction::triggered, this,
            [this] { controller_->stop_song_export(); });
}

void MainWindow::add_warnings_item(QMenu& music) {
    connect(music.addAction(text::MENU_SHOW_WARNINGS), &QAction::triggered, this,
            [this] { controller_->show_warnings(); });
}

void MainWindow::build_loop_menus(QMenu* music) {
    Controller& c = *controller_;
    QAction* play_on_save = music->addAction(text::MENU_PLAY_ON_SAVE);
    play_on_save->setCheckable(true);
    connect(play_on_save, &QAction::triggered, this, [&c] { c.toggle_play_on_save(); });
    connect(music->addAction(text::MENU_PLAY_FROM), &QAction::triggered, this, [&c] { c.play_from(); });
    // The check marks show the controller's state whenever the pop-up opens.
    connect(music, &QMenu::aboutToShow, this, [&c, play_on_save] { play_on_save->setChecked(c.play_on_save()); });

    QMenu* tracks = menuBar()->addMenu(text::MENU_TRACKS);
    std::vector<QAction*> mutes;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        QAction* mute = tracks->addAction(QString::number(k));
        mute->setCheckable(true);
        connect(mute, &QAction::triggered, this, [&c, k] { c.toggle_mute(k); });
        mutes.push_back(mute);
    }
    connect(tracks->addAction(text::MENU_UNMUTE_ALL), &QAction::triggered, this, [&c] { c.unmute_all(); });
    connect(tracks, &QMenu::aboutToShow, this, [&c, mutes] {
        for (int k = 0; k < TRACK_COUNT; ++k) mutes[k]->setChecked(c.muted(k));
    });
}

QAction* MainWindow::find_action(const QString& text) const {
    for (QAction* top : menuBar()->actions()) {
        if (top->text() == text) return top;
        if (!top->menu()) continue;
        for (QAction* item : top->menu()->actions()) {
            if (item->text() == text) return item;
        }
    }
    return nullptr;
}

void MainWindow::show_about() {
    AboutDialog about(this);
    about.exec();
}

void MainWindow::fit_outer_size() {
    const QSize frame = frameGeometry().size() - geometry().size();
    resize(OUTER_SIZE - frame);
}

void MainWindow::keyPressEvent(QKeyEvent* event) {
    controller_->key_down(key_kind(event->key(), event->modifiers()));
}

void MainWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) controller_->right_button();
    if (event->button() == Qt::LeftButton) controller_->left_button();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent* event) {
    std::vector<DroppedFile> files;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile()) {
            files.push_back({local_path(url), true});
        } else {
            files.push_back({url.toString().toStdString(), false});
        }
    }
    event->acceptProposedAction();
    // Message boxes must not run inside the drag source's drop handling.
    QTimer::singleShot(0, this, [this, files] { controller_->drop(files); });
}

void MainWindow::closeEvent(QCloseEvent* event) {
    controller_->window_closed();
    event->accept();
}

}  // namespace bleepforge
