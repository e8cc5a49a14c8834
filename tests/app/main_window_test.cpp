// The Qt window driven as a user would, headless: keys, clicks, menu items,
// drops and the modal boxes they open (answered by a timer polling for the
// active modal widget). What the controller then does is its own test's
// business: these check that each input reaches it, its boxes show its texts
// and pass the answers back, and the window paints where it says.
#include "app/qt/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <functional>
#include <ostream>
#include <sys/resource.h>
#include <tuple>

#include "app/qt/about_dialog.h"
#include "audio/mixer.h"
#include "audio/sound_file.h"
#include "audio/test_device.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

struct Seen {
    QString kind;  // "message", "save", "open", "text", "about", "copyable text", "song export"
    QString title, text;
    friend bool operator==(const Seen&, const Seen&) = default;
};
void PrintTo(const Seen& s, std::ostream* os) { *os << (s.kind + " [" + s.title + "] " + s.text).toStdString(); }

// Answers every modal box as it opens: message boxes with OK (or Yes when
// asked), the about box with its OK button, the others with the test's answer.
class Modals {
public:
    Modals() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(10);
    }
    std::vector<Seen> seen;
    std::function<void(QFileDialog&)> file = [](QFileDialog& d) { d.reject(); };  // Open and Save
    std::function<void(QDialog&)> song_export = [](QDialog& d) { d.reject(); };
    std::function<void(QInputDialog&)> text = [](QInputDialog& d) { d.reject(); };

private:
    // Each box is answered from a fresh call, not from the polling timer's own
    // slot: a box that opens another box (the overwrite question) needs the
    // timer again.
    void poll() {
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible() || modal == answered_) return;
        answered_ = modal;
        QTimer::singleShot(0, modal, [this, modal] { answer(modal); });
    }
    void answer(QWidget* modal) {
        const QString title = modal->windowTitle();
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.push_back({"message", title, box->text()});
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            (yes ? yes : box->button(QMessageBox::Ok))->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            const bool opening = dialog->acceptMode() == QFileDialog::AcceptOpen;
            seen.push_back({opening ? "open" : "save", title, dialog->nameFilters().join(";")});
            file(*dialog);
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            seen.push_back({"text", title, input->labelText() + "|" + input->textValue()});
            text(*input);
        } else if (auto* about = qobject_cast<AboutDialog*>(modal)) {
            const auto* icon = about->findChild<QLabel*>("icon");
            const bool has_icon = icon && !icon->pixmap().isNull();
            seen.push_back({"about", title, about->findChild<QLabel*>("version")->text() + (has_icon ? " +icon" : "")});
            about->findChild<QPushButton*>()->click();
        } else if (auto* box = modal->findChild<QPlainTextEdit*>("text")) {
            const bool copyable = box->isReadOnly() && (box->textInteractionFlags() & Qt::TextSelectableByKeyboard);
            seen.push_back({copyable ? "copyable text" : "text, not copyable", title, box->toPlainText()});
            qobject_cast<QDialog*>(modal)->accept();
        } else if (auto* loops = modal->findChild<QLineEdit*>("loops")) {
            seen.push_back({"song export", title, loops->text() + " " + modal->findChild<QLineEdit*>("fade")->text()});
            song_export(*qobject_cast<QDialog*>(modal));
        }
    }
    QPointer<QWidget> answered_;
    QTimer timer_;
};

// Counts the paints of the window's canvas.
class PaintCount : public QObject {
public:
    explicit PaintCount(MainWindow& window) : QObject(&window) { window.centralWidget()->installEventFilter(this); }
    bool eventFilter(QObject*, QEvent* event) override {
        paints += event->type() == QEvent::Paint ? 1 : 0;
        return false;
    }
    int paints = 0;
};

// Types `name` into a file dialog's name field and presses Enter.
void type_name(QFileDialog& dialog, const QString& name) {
    auto* field = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(field, nullptr);
    field->clear();
    QTest::keyClicks(field, name);
    QTest::keyClick(field, Qt::Key_Return);
}

void write_file(const fs::path& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

QString q(const fs::path& path) { return QString::fromStdString(path.string()); }

// A window over a stream without a device: nothing plays unless the test
// mixes blocks itself, and the no-device line shows.
class WindowTest : public ::testing::Test {
protected:
    WindowTest()
        : stream_(std::make_unique<TestDevice>(TestDevice::Options{.fail_open = true})), window_(stream_) {
        dir_ = fs::temp_directory_path() /
               (std::string("bleepforge_window_") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        song_ = dir_ / "song.mml";
        write_file(song_, "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n");
        window_.show();
        window_.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
    }
    ~WindowTest() override { fs::remove_all(dir_); }

    int active_tracks() {
        return stream_.with_engine([](const Engine& e) {
            return int(std::count_if(e.tracks.begin(), e.tracks.end(), [](const TrackState& t) { return t.active; }));
        });
    }
    // Drags `urls` onto the window and drops them there, as a file manager would.
    bool drop(const QList<QUrl>& urls) {
        QMimeData data;
        data.setUrls(urls);
        const QPoint at(120, 80);
        QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window_, &enter);
        if (!enter.isAccepted()) return false;
        QDropEvent dropped(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(&window_, &dropped);
        QTest::qWait(60);  // the drop is handled once the drag has finished
        return dropped.isAccepted();
    }
    bool drop_song() { return drop({QUrl::fromLocalFile(q(song_))}); }
    void trigger(const QString& item) {
        QAction* action = window_.find_action(item);
        ASSERT_NE(action, nullptr) << item.toStdString();
        action->trigger();
        QTest::qWait(30);
    }
    void click(Qt::MouseButton button) {
        QTest::mouseClick(window_.centralWidget(), button, Qt::NoModifier, QPoint(100, 100));
    }
    bool saving() {
        const std::vector<PaintLine> lines = window_.controller().paint_lines();
        return std::any_of(lines.begin(), lines.end(), [](const PaintLine& l) { return l.text == text::SAVING; });
    }
    // The export's worker writes; its completion arrives through the event loop.
    void wait_saved() { EXPECT_TRUE(QTest::qWaitFor([&] { return !saving(); }, 60000)); }
    // The checked items, each pop-up opened first as the user would, which refreshes its marks.
    QString checked_items() {
        QStringList names;
        for (QAction* top : window_.menuBar()->actions()) {
            emit top->menu()->aboutToShow();
            for (QAction* item : top->menu()->actions()) {
                if (item->isChecked()) names << item->text();
            }
        }
        return names.join(' ');
    }

    AudioStream stream_;
    MainWindow window_;
    Modals modals_;
    fs::path dir_, song_;
};

TEST_F(WindowTest, TitleSizeMenuAndCheckMarks) {
    EXPECT_EQ(window_.windowTitle(), "bleepforge");
    window_.fit_outer_size();
    EXPECT_EQ(window_.frameGeometry().size(), QSize(240, 200));
    EXPECT_FALSE(window_.windowIcon().isNull());

    // Each pop-up and its items; "[ ]" marks a checkable item, "(off)" a disabled one.
    QStringList menus;
    for (QAction* top : window_.menuBar()->actions()) {
        QStringList items;
        for (QAction* item : top->menu()->actions()) {
            items << item->text() + (item->isCheckable() ? "[ ]" : "") + (item->isEnabled() ? "" : "(off)");
        }
        menus << top->text() + ": " + items.join(", ");
    }
    EXPECT_EQ(menus.join('\n').toStdString(),
              "ﾌｧｲﾙ(&F): 開く..., 録音機能オン, 録音データを書き出し, 曲を書き出し..., 書き出し中止, "
              "ｱﾌﾟﾘｹｰｼｮﾝの終了(&X), デバグ（使用不可）(off)\n"
              "music: stop, reloadplay(&P), 保存したら再生[ ], 途中から再生..., 警告を表示\n"
              "トラック: 0[ ], 1[ ], 2[ ], 3[ ], 4[ ], 5[ ], 6[ ], 7[ ], ミュート全解除\n"
              "ﾍﾙﾌﾟ(&H): ﾊﾞｰｼﾞｮﾝ情報(&A) ..., wavデバイス再取得（不安定だよ）(off)");
    EXPECT_EQ(checked_items(), "");

    // Each checked item reaches the controller, and every mark shows the
    // controller's state when its pop-up opens (the unmute item clears marks
    // the user never unticked).
    ASSERT_TRUE(drop_song());
    const std::pair<const char*, const char*> rows[] = {
        {"保存したら再生", "保存したら再生"}, {"3", "保存したら再生 3"}, {"5", "保存したら再生 3 5"},
        {"ミュート全解除", "保存したら再生"}, {"保存したら再生", ""},
    };
    for (const auto& [item, checked] : rows) {
        trigger(item);
        EXPECT_EQ(checked_items(), checked) << item;
    }
    EXPECT_TRUE(modals_.seen.empty());
}

// Every key, button and item that plays, records or stops, each while a song
// plays. A row's kind names what the controller does for a key of that kind:
// P plays from the start, R records, SYSTEM (the menu's keys) nothing, OTHER stops.
TEST_F(WindowTest, KeysButtonsAndItemsReachTheController) {
    struct Input {
        std::string name;
        std::function<void()> act;
        KeyKind does;
    };
    std::vector<Input> inputs = {
        {"left button", [&] { click(Qt::LeftButton); }, KeyKind::SYSTEM},
        {"right button", [&] { click(Qt::RightButton); }, KeyKind::OTHER},
        {"reloadplay(&P)", [&] { trigger("reloadplay(&P)"); }, KeyKind::P},
        {"stop", [&] { trigger("stop"); }, KeyKind::OTHER},
        {"録音機能オン", [&] { trigger("録音機能オン"); }, KeyKind::R},
    };
    const std::tuple<Qt::Key, Qt::KeyboardModifiers, KeyKind> keys[] = {
        {Qt::Key_P, Qt::NoModifier, KeyKind::P},           {Qt::Key_P, Qt::ShiftModifier, KeyKind::P},
        {Qt::Key_R, Qt::NoModifier, KeyKind::R},           {Qt::Key_R, Qt::ControlModifier, KeyKind::R},
        {Qt::Key_Alt, Qt::AltModifier, KeyKind::SYSTEM},   {Qt::Key_P, Qt::AltModifier, KeyKind::SYSTEM},
        {Qt::Key_F10, Qt::NoModifier, KeyKind::SYSTEM},    {Qt::Key_Space, Qt::NoModifier, KeyKind::OTHER},
        {Qt::Key_Shift, Qt::ShiftModifier, KeyKind::OTHER}, {Qt::Key_Control, Qt::ControlModifier, KeyKind::OTHER},
        {Qt::Key_A, Qt::NoModifier, KeyKind::OTHER},
        {Qt::Key_E, Qt::AltModifier | Qt::ControlModifier, KeyKind::OTHER},  // AltGr: a character, not the menu
    };
    for (const auto& [k, mods, kind] : keys) {
        // One key-down, as the window gets it (QTest would press the modifiers first).
        const std::string name = "key " + QKeySequence(QKeyCombination(mods, k)).toString().toStdString();
        inputs.push_back({name, [&, k = k, mods = mods] {
                              QKeyEvent down(QEvent::KeyPress, k, mods);
                              QApplication::sendEvent(&window_, &down);
                          }, kind});
        EXPECT_EQ(key_kind(k, mods), kind) << name;
    }

    ASSERT_TRUE(drop_song());
    for (const Input& input : inputs) {
        SCOPED_TRACE(input.name);
        // Playing, the clock moved and the capture off, behind the controller's back.
        window_.controller().reload_play();
        stream_.with_engine([](Engine& e) {
            e.played_frames = 1;
            e.recording_mode = false;
        });
        input.act();
        EXPECT_EQ(active_tracks(), input.does == KeyKind::OTHER ? 0 : 2);
        stream_.with_engine([&](const Engine& e) {
            EXPECT_EQ(e.played_frames == 0, input.does == KeyKind::P);  // restarted
            EXPECT_EQ(e.recording_mode, input.does == KeyKind::R);
        });
    }
    EXPECT_TRUE(modals_.seen.empty());
}

// Each item and accelerator that asks something opens its box with the
// controller's texts (here cancelled, with a song loaded and stopped, nothing
// captured), then the answers typed reach the controller.
TEST_F(WindowTest, ItemsAndAcceleratorsOpenTheirBoxesAndPassTheAnswers) {
    const fs::path warned = dir_ / "warned.mml";
    write_file(warned, "0cdv99999e\r\n1c 5 d e\r\n");
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(warned))}));
    window_.controller().stop();
    ASSERT_TRUE(QTest::qWaitFor([&] { return window_.controller().warning_count() == 2; }, 60000));
    const Seen about{"about", "ﾊﾞｰｼﾞｮﾝ情報", "bleepforge Version 1.3 +icon"};
    const struct {
        const char* input;  // a menu item, else a key with Alt
        Qt::Key key;
        Seen expected;      // its text up to the end of what is given
    } rows[] = {
        {"Alt+?", Qt::Key_Question, about},
        {"Alt+/", Qt::Key_Slash, about},
        {"ﾊﾞｰｼﾞｮﾝ情報(&A) ...", {}, about},
        {"開く...", {}, {"open", text::OPEN_TITLE, "mml file (*.mml);all files (*)"}},
        {"途中から再生...", {}, {"text", text::PLAY_FROM_TITLE, QString(text::PLAY_FROM_PROMPT) + "|0:00"}},
        {"録音データを書き出し", {}, {"message", "えらー", "録音データがないよ"}},
        {"曲を書き出し...", {}, {"song export", "曲を書き出し", "1 0"}},
        {"警告を表示", {}, {"copyable text", "警告", "warned.mml\n1:4 W-clamp: track 0: \"v99999\" read as v15"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input);
        modals_.seen.clear();
        if (row.key) {
            // A window manager gives the focus back when a modal box closes; offscreen does not.
            window_.activateWindow();
            ASSERT_TRUE(QTest::qWaitForWindowActive(&window_));
            QTest::keyClick(&window_, row.key, Qt::AltModifier);
            QTest::qWait(30);
        } else {
            trigger(row.input);
        }
        ASSERT_EQ(modals_.seen.size(), 1u);
        modals_.seen[0].text.truncate(row.expected.text.size());
        EXPECT_EQ(modals_.seen[0], row.expected);
    }
    EXPECT_EQ(window_.windowTitle(), "warned.mml - bleepforge");  // nothing opened

    for (const bool ok : {true, false}) {  // typed and accepted, then typed and cancelled
        modals_.text = [ok](QInputDialog& d) {
            d.setTextValue(ok ? "1:30" : "0:05");
            ok ? d.accept() : d.reject();
        };
        trigger("途中から再生...");
        EXPECT_EQ(window_.controller().start_seconds(), 90);
    }

    modals_.file = [](QFileDialog& dialog) { type_name(dialog, "song.mml"); };  // in the last song's folder
    trigger("開く...");
    EXPECT_TRUE(QTest::qWaitFor([&] { return window_.controller().remembered_path() == song_; }, 10000));
    EXPECT_EQ(active_tracks(), 2);
    EXPECT_EQ(window_.windowTitle(), "song.mml - bleepforge");
}

// A drop hands the controller each URL: a local file by its name's bytes
// even when they are not UTF-8 (here Shift-JIS), as the command line does,
// anything else as text it refuses; a drag of no file at all is refused at the door.
TEST_F(WindowTest, DropsAndTheCommandLineNameFilesByTheirBytes) {
    const std::string name = "\x83\x65\x83\x58\x83\x67.mml";  // "テスト" in Shift-JIS
    const fs::path song = dir_ / name;
    write_file(song, "0cde\r\n1cde\r\n2cde\r\n");
    const std::string arg = song.string(), relative = "sub/" + name;
    const char* argv[] = {"bleepforge", arg.c_str(), nullptr};
    const char* argv_relative[] = {"bleepforge", relative.c_str(), nullptr};
    EXPECT_EQ(song_argument(2, argv), song);
    EXPECT_EQ(song_argument(1, argv), fs::path());
    EXPECT_EQ(song_argument(2, argv_relative), fs::current_path() / "sub" / name);

    const QUrl url = QUrl::fromEncoded("file://" + QByteArray::fromStdString(dir_.string()).toPercentEncoding("/") +
                                       "/%83%65%83%58%83%67.mml");
    ASSERT_TRUE(drop({url}));
    EXPECT_TRUE(modals_.seen.empty());
    EXPECT_EQ(window_.controller().remembered_path(), song);

    const QString missing = q(dir_ / "missing.mml");
    const std::vector<std::pair<QList<QUrl>, Seen>> cases = {
        {{QUrl::fromLocalFile(q(song_)), QUrl::fromLocalFile(q(dir_ / "other.mml"))},
         {"message", "えらー", "ファイル受け入れ失敗"}},
        {{QUrl::fromLocalFile(missing)}, {"message", "x", "ファイル読めなかったよ\n" + missing + ": does not exist"}},
        {{QUrl("https://example.org/song.mml")},
         {"message", "x", "ファイル読めなかったよ\nhttps://example.org/song.mml: is not a file of this computer"}},
    };
    for (const auto& [urls, expected] : cases) {
        SCOPED_TRACE(urls.first().toString().toStdString());
        modals_.seen.clear();
        EXPECT_TRUE(drop(urls));
        EXPECT_EQ(modals_.seen, std::vector<Seen>{expected});
        EXPECT_EQ(active_tracks(), 3);  // the song plays on
    }
    QMimeData text;
    text.setText("0cde");
    QDragEnterEvent enter(QPoint(120, 80), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window_, &enter);
    EXPECT_FALSE(enter.isAccepted());
}

// Each line is painted in its box of the controller's layout, centred or
// from its left edge; "録音モード" only once recording.
TEST_F(WindowTest, LinesArePaintedWhereTheLayoutPutsThem) {
    QWidget* canvas = window_.centralWidget();
    auto ink = [&](const QImage& image, QRect area) {
        const QRgb background = image.pixel(image.width() - 1, image.height() - 1);
        QRect found;
        area &= image.rect();
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (image.pixel(x, y) != background) found |= QRect(x, y, 1, 1);
            }
        }
        return found;
    };
    const QImage before = canvas->grab().toImage();
    trigger("録音機能オン");
    ASSERT_TRUE(drop_song());
    canvas->repaint();
    const QImage after = canvas->grab().toImage();
    window_.grab().save("qt-playing.png");  // a look at the window while playing, beside the test program

    const int line_height = canvas->fontMetrics().height();
    const std::vector<WindowLine> layout = window_.controller().layout(canvas->width(), canvas->height(), line_height);
    ASSERT_EQ(layout.size(), 4u);  // hint, no device, recording, status
    for (std::size_t i = 0; i < layout.size(); ++i) {
        const WindowLine& line = layout[i];
        SCOPED_TRACE(line.text);
        // The top rows touch; below them a CJK glyph may reach a little above the font's ascent.
        const int above = i < 2 ? 0 : 2;
        const QRect box(line.x, line.y - above, line.width, line.height + above);
        const QRect found = ink(after, box);
        ASSERT_FALSE(found.isEmpty());
        if (line.centred) {
            EXPECT_NEAR(found.center().x(), line.x + line.width / 2, line_height / 2);
        } else {
            EXPECT_NEAR(found.left(), line.x, 2);
        }
        EXPECT_TRUE(i != 2 || ink(before, box).isEmpty());
    }
}

// The Save dialog of the capture: first in the current folder, then where
// the last file went; the type picked gives a bare name its extension and
// the format; a name taken is asked about, and a write that fails keeps the
// file. Exit while the worker writes waits for the file, then halts the
// stream, which releases the capture.
TEST_F(WindowTest, CaptureSaveDialogAFailedWriteAndExitWaitingForTheFile) {
    trigger("録音機能オン");
    ASSERT_TRUE(drop_song());
    std::int16_t block[BLOCK_SAMPLES];
    stream_.with_engine([&](Engine& e) {
        for (int i = 0; i < 2; ++i) mix_block(e, block);  // two blocks captured
    });
    click(Qt::RightButton);
    modals_.file = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath(), QDir::currentPath());
        dialog.setDirectory(q(dir_));
        type_name(dialog, "take1");
    };
    trigger("録音データを書き出し");
    wait_saved();
    const bool more_types = sound_format_named("flac")->built;
    const QString types = more_types ? "wave file (*.wav);FLAC file (*.flac);Ogg Vorbis file (*.ogg);"
                                       "Opus file (*.opus);MP3 file (*.mp3)"
                                     : "wave file (*.wav)";
    EXPECT_EQ(modals_.seen, (std::vector<Seen>{{"save", text::SAVE_TITLE, types}}));
    const std::string bytes = test::read_file(dir_ / "take1.wav");
    EXPECT_EQ(bytes.size(), 44u + 2 * BLOCK_BYTES);

    if (more_types) {
        modals_.file = [&](QFileDialog& dialog) {
            auto* combo = dialog.findChild<QComboBox*>("fileTypeCombo");
            ASSERT_NE(combo, nullptr);
            QTest::keyClick(combo, Qt::Key_Down);  // from WAV to FLAC, as a user picks it
            type_name(dialog, "take2");
        };
        trigger("録音データを書き出し");
        wait_saved();
        EXPECT_EQ(test::read_file(dir_ / "take2.flac").substr(0, 4), "fLaC");
    }

    modals_.seen.clear();
    modals_.file = [&](QFileDialog& dialog) { type_name(dialog, "take1.wav"); };  // where the last one went
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{4096, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    trigger("録音データを書き出し");
    EXPECT_TRUE(QTest::qWaitFor([&] { return modals_.seen.size() == 3; }, 60000));
    setrlimit(RLIMIT_FSIZE, &saved);
    ASSERT_EQ(modals_.seen.size(), 3u);  // save, replace?, could not write
    EXPECT_TRUE(modals_.seen[1].text.contains("take1.wav")) << modals_.seen[1].text.toStdString();
    modals_.seen[2].text.truncate(11);
    EXPECT_EQ(modals_.seen[2], (Seen{"message", "えらー", "ファイル書けなかったよ"}));
    EXPECT_TRUE(test::read_file(dir_ / "take1.wav") == bytes);

    modals_.file = [&](QFileDialog& dialog) { type_name(dialog, "take3.wav"); };
    // Queued calls wait while the test holds the UI thread, so the completion cannot overtake it.
    QTimer::singleShot(0, &window_, [&] {
        window_.find_action("録音データを書き出し")->trigger();
        EXPECT_TRUE(saving());
        window_.find_action("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)")->trigger();
        EXPECT_FALSE(window_.isVisible());
        EXPECT_TRUE(test::read_file(dir_ / "take3.wav") == bytes);
        EXPECT_TRUE(stream_.with_engine([](const Engine& e) { return !e.recording_mode && !e.RecordBuffer; }));
    });
    QTest::qWait(200);
}

// The song export's box passes what is typed on, the Save dialog opens in the
// song's folder (a bare name gets ".wav"), and the stop item ends a long
// export before it writes.
TEST_F(WindowTest, SongExportTakesTheTypedNumbersAndStops) {
    ASSERT_TRUE(drop_song());
    modals_.song_export = [](QDialog& dialog) {
        dialog.findChild<QLineEdit*>("loops")->setText("2");
        dialog.findChild<QLineEdit*>("fade")->setText("0.5");
        dialog.accept();
    };
    modals_.file = [&](QFileDialog& dialog) { type_name(dialog, "window"); };  // in the song's folder
    trigger("曲を書き出し...");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window_.controller().song_exporting(); }, 60000));
    EXPECT_EQ(fs::file_size(dir_ / "window.wav"), 44u + 4u * 95 * BLOCK_FRAMES);  // two loops and the fade

    modals_.song_export = [](QDialog& dialog) {
        dialog.findChild<QLineEdit*>("loops")->setText("9999");
        dialog.accept();
    };
    modals_.file = [&](QFileDialog& dialog) { type_name(dialog, "long.wav"); };
    trigger("曲を書き出し...");
    ASSERT_TRUE(window_.controller().song_exporting());
    trigger("書き出し中止");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window_.controller().song_exporting(); }, 60000));
    EXPECT_FALSE(fs::exists(dir_ / "long.wav"));
}

// Where the traces' colour lands on the canvas, scope by scope.
struct ScopeInk {
    std::vector<int> rows;  // per scope: rows of its frame holding the colour
    int outside = 0;        // pixels of the colour outside every frame
    int width = 0;          // of the first frame
};

ScopeInk scope_ink(MainWindow& window) {
    QWidget* canvas = window.centralWidget();
    const QImage image = canvas->grab().toImage();
    const ScopePicture picture =
        window.controller().scope_picture(canvas->width(), canvas->height(), canvas->fontMetrics().height());
    const QColor trace(scope::TRACE.r, scope::TRACE.g, scope::TRACE.b);
    auto traced = [&](int x, int y) { return image.pixelColor(x, y) == trace ? 1 : 0; };
    ScopeInk ink;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) ink.outside += traced(x, y);
    }
    for (int k = 0; k < TRACK_COUNT && k < int(picture.lines.size()); ++k) {
        const std::vector<Point>& frame = picture.lines[std::size_t(k)].points;
        const QRect box = QRect(QPoint(frame[0].x, frame[0].y), QPoint(frame[2].x, frame[2].y)) & image.rect();
        ink.width = k == 0 ? box.width() : ink.width;
        ink.rows.push_back(0);
        for (int y = box.top(); y <= box.bottom(); ++y) {
            int in_row = 0;
            for (int x = box.left(); x <= box.right(); ++x) in_row += traced(x, y);
            ink.rows.back() += in_row > 0 ? 1 : 0;
            ink.outside -= in_row;
        }
    }
    return ink;
}

// Through a device taking blocks in real time, eight tracks each sounding a
// steady tone: every scope draws its track's wave while the song plays, also
// once the window is made larger; the window repaints by itself meanwhile and
// not at all once stopped.
TEST(WindowScopes, TracesMoveInsideTheirBoxesWhilePlaying) {
    const fs::path song = fs::temp_directory_path() / "bleepforge_window_scopes.mml";
    write_file(song,
               "0@48 v15 o4 l1 L a\r\n1@0 v15 o5 l1 L c\r\n2@32 v15 o3 l1 L e\r\n3@48 v15 o5 l1 L g\r\n"
               "4@2 v15 o4 l1 L d\r\n5@56 v15 o4 l1 L f\r\n6@33 v15 o4 l1 L b\r\n7@16 v15 o3 l1 L c\r\n");
    const auto period = std::chrono::microseconds(1'000'000LL * BLOCK_FRAMES / SAMPLE_RATE);
    AudioStream stream(std::make_unique<TestDevice>(TestDevice::Options{.block_period = period}));
    MainWindow window(stream);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    const ScopeInk idle = scope_ink(window);
    ASSERT_EQ(idle.rows.size(), std::size_t{TRACK_COUNT});
    for (int rows : idle.rows) EXPECT_EQ(rows, 1);  // a flat line
    EXPECT_EQ(idle.outside, 0);

    const PaintCount* canvas = new PaintCount(window);
    window.controller().drop({{song}});
    QTest::qWait(400);
    EXPECT_GE(canvas->paints, 4);  // about 12 ticks
    window.resize(480, 400);
    QTest::qWait(100);
    const ScopeInk playing = scope_ink(window);
    ASSERT_EQ(playing.rows.size(), std::size_t{TRACK_COUNT});
    for (int rows : playing.rows) EXPECT_GE(rows, 2);
    EXPECT_EQ(playing.outside, 0);
    EXPECT_GT(playing.width, 2 * idle.width);

    // Stopped: the flat traces are painted at once, then once more on the
    // stream's word that playing ended; then nothing.
    const int before = canvas->paints;
    window.controller().stop();
    EXPECT_EQ(canvas->paints, before + 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return canvas->paints == before + 2; }, 60000));
    QTest::qWait(300);
    EXPECT_EQ(canvas->paints, before + 2) << "paints while idle";
    window.close();
    fs::remove(song);
}

}  // namespace
}  // namespace bleepforge

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
