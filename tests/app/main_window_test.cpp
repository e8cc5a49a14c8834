// The Qt window driven as a user would, headless: keys, clicks, menu items,
// accelerators, drops and the modal boxes they open (read and closed by a
// timer polling for the active modal widget).
#include "app/qt/main_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
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
#include <cstring>
#include <fstream>
#include <functional>
#include <sys/resource.h>

#include "app/qt/about_dialog.h"
#include "audio/mixer.h"
#include "audio/sound_file.h"
#include "audio/test_device.h"
#include "audio/wav.h"
#include "support/test_data.h"

namespace bleepforge {
namespace {

namespace fs = std::filesystem;

struct Seen {
    QString kind;  // "message", "save", "open", "about"
    QString title, text;
};

// Answers every modal box as it opens: message boxes with OK (or Yes when
// asked), the about box with its OK button, the Save dialog with `save`.
class Modals {
public:
    Modals() {
        QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
        timer_.start(10);
    }
    std::vector<Seen> seen;
    std::function<void(QFileDialog&)> save = [](QFileDialog& d) { d.reject(); };
    std::function<void(QFileDialog&)> open = [](QFileDialog& d) { d.reject(); };
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
        if (auto* box = qobject_cast<QMessageBox*>(modal)) {
            seen.push_back({"message", box->windowTitle(), box->text()});
            QAbstractButton* yes = box->button(QMessageBox::Yes);
            (yes ? yes : box->button(QMessageBox::Ok))->click();
        } else if (auto* dialog = qobject_cast<QFileDialog*>(modal)) {
            const bool opening = dialog->acceptMode() == QFileDialog::AcceptOpen;
            seen.push_back({opening ? "open" : "save", dialog->windowTitle(), dialog->nameFilters().join(";")});
            (opening ? open : save)(*dialog);
        } else if (auto* input = qobject_cast<QInputDialog*>(modal)) {
            seen.push_back({"text", input->windowTitle(), input->labelText() + "|" + input->textValue()});
            text(*input);
        } else if (auto* about = qobject_cast<AboutDialog*>(modal)) {
            const auto* version = about->findChild<QLabel*>("version");
            const auto* icon = about->findChild<QLabel*>("icon");
            const bool has_icon = icon && !icon->pixmap().isNull();
            seen.push_back({"about", about->windowTitle(), version->text() + (has_icon ? " +icon" : "")});
            about->findChild<QPushButton*>()->click();
        } else if (auto* box = modal->findChild<QPlainTextEdit*>("text")) {
            const bool copyable = box->isReadOnly() && (box->textInteractionFlags() & Qt::TextSelectableByKeyboard);
            seen.push_back({copyable ? "copyable text" : "text, not copyable", modal->windowTitle(), box->toPlainText()});
            qobject_cast<QDialog*>(modal)->accept();
        } else if (auto* loops = modal->findChild<QLineEdit*>("loops")) {
            seen.push_back({"song export", modal->windowTitle(),
                            loops->text() + " " + modal->findChild<QLineEdit*>("fade")->text()});
            song_export(*qobject_cast<QDialog*>(modal));
        }
    }
    QPointer<QWidget> answered_;
    QTimer timer_;
};

// Records the texts the controller gave each time the watched widget painted.
class PaintSpy : public QObject {
public:
    PaintSpy(MainWindow& window, std::vector<std::vector<std::string>>& painted)
        : QObject(&window), window_(window), painted_(painted) {}
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            std::vector<std::string> texts;
            for (const PaintLine& line : window_.controller().paint_lines()) texts.push_back(line.text);
            painted_.push_back(texts);
        }
        return false;
    }

private:
    MainWindow& window_;
    std::vector<std::vector<std::string>>& painted_;
};

// Types `name` into the Save dialog's name field and presses Enter.
void type_name(QFileDialog& dialog, const QString& name) {
    auto* field = dialog.findChild<QLineEdit*>("fileNameEdit");
    ASSERT_NE(field, nullptr);
    field->clear();
    QTest::keyClicks(field, name);
    QTest::keyClick(field, Qt::Key_Return);
}

void write_file(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

QString q(const fs::path& path) {
    return QString::fromStdString(path.string());
}

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
            int n = 0;
            for (const TrackState& t : e.tracks) n += t.active ? 1 : 0;
            return n;
        });
    }
    bool recording() {
        return stream_.with_engine([](const Engine& e) { return e.recording_mode; });
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
    void trigger(const QString& item) {
        QAction* action = window_.find_action(item);
        ASSERT_NE(action, nullptr) << item.toStdString();
        action->trigger();
        QTest::qWait(30);
    }
    void key(Qt::Key k, Qt::KeyboardModifiers mods = Qt::NoModifier) {
        // A window manager gives the focus back when a modal box closes; offscreen does not.
        window_.activateWindow();
        EXPECT_TRUE(QTest::qWaitForWindowActive(&window_));
        QTest::keyClick(&window_, k, mods);
        QTest::qWait(30);
    }
    void click(Qt::MouseButton button) {
        QTest::mouseClick(window_.centralWidget(), button, Qt::NoModifier, QPoint(100, 100));
    }
    void play_blocks(int blocks) {
        std::vector<std::int16_t> block(BLOCK_SAMPLES);
        stream_.with_engine([&](Engine& e) {
            for (int i = 0; i < blocks; ++i) mix_block(e, block.data());
        });
    }
    bool saving() {
        for (const PaintLine& line : window_.controller().paint_lines()) {
            if (line.text == text::SAVING) return true;
        }
        return false;
    }
    // The export's worker writes; its completion arrives through the event loop.
    void wait_saved() { EXPECT_TRUE(QTest::qWaitFor([&] { return !saving(); }, 60000)); }

    AudioStream stream_;
    MainWindow window_;
    Modals modals_;
    fs::path dir_, song_;
};

TEST_F(WindowTest, TitleSizeAndMenu) {
    EXPECT_EQ(window_.windowTitle(), "bleepforge");
    window_.fit_outer_size();
    EXPECT_EQ(window_.frameGeometry().size(), QSize(240, 200));
    EXPECT_FALSE(window_.windowIcon().isNull());

    const std::vector<std::pair<QString, std::vector<QString>>> expected = {
        {"ﾌｧｲﾙ(&F)",
         {"開く...", "録音機能オン", "録音データを書き出し", "曲を書き出し...", "書き出し中止", "ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)",
          "デバグ（使用不可）"}},
        {"music", {"stop", "reloadplay(&P)", "保存したら再生", "途中から再生...", "警告を表示"}},
        {"トラック", {"0", "1", "2", "3", "4", "5", "6", "7", "ミュート全解除"}},
        {"ﾍﾙﾌﾟ(&H)", {"ﾊﾞｰｼﾞｮﾝ情報(&A) ...", "wavデバイス再取得（不安定だよ）"}},
    };
    const QList<QAction*> popups = window_.menuBar()->actions();
    ASSERT_EQ(popups.size(), 4);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(popups[i]->text(), expected[i].first);
        std::vector<QString> items;
        for (QAction* item : popups[i]->menu()->actions()) {
            items.push_back(item->text());
            const bool disabled = item->text() == "デバグ（使用不可）" || item->text().startsWith("wav");
            EXPECT_EQ(item->isEnabled(), !disabled) << item->text().toStdString();
            const bool checkable = item->text() == "保存したら再生" || item->text().size() == 1;
            EXPECT_EQ(item->isCheckable(), checkable) << item->text().toStdString();
            EXPECT_FALSE(item->isChecked()) << item->text().toStdString();
        }
        EXPECT_EQ(items, expected[i].second);
    }
}

TEST_F(WindowTest, KeysMouseAndMenuCommands) {
    key(Qt::Key_P);  // nothing dropped yet: nothing happens
    EXPECT_EQ(active_tracks(), 0);

    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    EXPECT_EQ(active_tracks(), 2);
    EXPECT_EQ(window_.controller().remembered_path(), song_);

    // Keys of the menu and the left button leave the song playing.
    key(Qt::Key_Alt);
    key(Qt::Key_X, Qt::AltModifier);
    key(Qt::Key_F10);
    click(Qt::LeftButton);
    EXPECT_EQ(active_tracks(), 2);

    const std::vector<std::pair<Qt::Key, Qt::KeyboardModifiers>> stoppers = {
        {Qt::Key_Space, Qt::NoModifier}, {Qt::Key_Left, Qt::NoModifier}, {Qt::Key_Shift, Qt::ShiftModifier},
        {Qt::Key_Control, Qt::ControlModifier}, {Qt::Key_A, Qt::NoModifier}};
    for (const auto& [k, mods] : stoppers) {
        key(Qt::Key_P);
        EXPECT_EQ(active_tracks(), 2);
        key(k, mods);
        EXPECT_EQ(active_tracks(), 0) << k;
    }

    trigger("reloadplay(&P)");
    EXPECT_EQ(active_tracks(), 2);
    click(Qt::RightButton);
    EXPECT_EQ(active_tracks(), 0);
    trigger("reloadplay(&P)");
    trigger("stop");
    EXPECT_EQ(active_tracks(), 0);

    key(Qt::Key_R);
    EXPECT_TRUE(recording());
    trigger("デバグ（使用不可）");  // disabled: no effect
    EXPECT_TRUE(modals_.seen.empty());
}

// Halting the stream is what releases the capture.
TEST_F(WindowTest, ExitClosesTheWindowAndHaltsTheStream) {
    key(Qt::Key_R);
    trigger("ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)");
    EXPECT_FALSE(window_.isVisible());
    EXPECT_FALSE(recording());
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); }), nullptr);
}

TEST_F(WindowTest, RecordOnTwiceAllocatesOnce) {
    trigger("録音機能オン");
    const std::int16_t* buffer = stream_.with_engine([](const Engine& e) { return e.RecordBuffer.get(); });
    ASSERT_NE(buffer, nullptr);
    drop({QUrl::fromLocalFile(q(song_))});
    play_blocks(1);
    key(Qt::Key_R);
    stream_.with_engine([&](const Engine& e) {
        EXPECT_EQ(e.RecordBuffer.get(), buffer);
        EXPECT_EQ(e.recorded_frames, std::uint32_t(BLOCK_FRAMES));
    });
}

TEST_F(WindowTest, DropsThatFailSaySo) {
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    const QString other = q(dir_ / "other.mml");
    const std::vector<std::pair<QList<QUrl>, Seen>> cases = {
        {{QUrl::fromLocalFile(q(song_)), QUrl::fromLocalFile(other)}, {"message", "えらー", "ファイル受け入れ失敗"}},
        {{QUrl::fromLocalFile(q(dir_))}, {"message", "x", "ファイル読めなかったよ"}},
        {{QUrl::fromLocalFile(q(dir_ / "missing.mml"))}, {"message", "x", "ファイル読めなかったよ"}},
        {{QUrl("https://example.org/song.mml")}, {"message", "x", "ファイル読めなかったよ"}},
    };
    for (const auto& [urls, expected] : cases) {
        modals_.seen.clear();
        EXPECT_TRUE(drop(urls));
        ASSERT_EQ(modals_.seen.size(), 1u) << urls.first().toString().toStdString();
        EXPECT_EQ(modals_.seen[0].title, expected.title);
        // The design's text, and for a file that cannot be read its name and why on a second line.
        EXPECT_EQ(modals_.seen[0].text.section('\n', 0, 0), expected.text);
        EXPECT_EQ(active_tracks(), 2);  // the song plays on
        EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
    }
    // The last path is remembered even though it could not be read: P fails alike.
    modals_.seen.clear();
    key(Qt::Key_P);
    ASSERT_EQ(modals_.seen.size(), 1u);
    EXPECT_EQ(modals_.seen[0].text, "ファイル読めなかったよ\nhttps://example.org/song.mml: is not a file of this computer");
    // A drag of something that is no file at all is refused at the door.
    QMimeData text;
    text.setText("0cde");
    QDragEnterEvent enter(QPoint(120, 80), Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window_, &enter);
    EXPECT_FALSE(enter.isAccepted());
}

TEST_F(WindowTest, AboutBoxFromMenuAndAccelerators) {
    key(Qt::Key_Question, Qt::AltModifier);
    key(Qt::Key_Slash, Qt::AltModifier);
    trigger("ﾊﾞｰｼﾞｮﾝ情報(&A) ...");
    ASSERT_EQ(modals_.seen.size(), 3u);
    for (const Seen& s : modals_.seen) {
        EXPECT_EQ(s.kind, "about");
        EXPECT_EQ(s.title, "ﾊﾞｰｼﾞｮﾝ情報");
        EXPECT_EQ(s.text, "bleepforge Version 1.3 +icon");
    }
}

TEST_F(WindowTest, ExportRefusedUntilStoppedThenWritten) {
    key(Qt::Key_R);
    trigger("録音データを書き出し");  // nothing captured
    drop({QUrl::fromLocalFile(q(song_))});
    play_blocks(2);
    trigger("録音データを書き出し");  // still playing
    ASSERT_EQ(modals_.seen.size(), 2u);
    EXPECT_EQ(modals_.seen[0].text, "録音データがないよ");
    EXPECT_EQ(modals_.seen[1].text, "演奏を止めてから書き出してね");
    modals_.seen.clear();

    click(Qt::RightButton);
    modals_.save = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath(), QDir::currentPath());
        dialog.setDirectory(q(dir_));
        type_name(dialog, "take1");
    };
    trigger("録音データを書き出し");
    wait_saved();
    ASSERT_EQ(modals_.seen.size(), 1u);
    EXPECT_EQ(modals_.seen[0].kind, "save");
    EXPECT_EQ(modals_.seen[0].title, "とっととファイルを選べ。");
    EXPECT_TRUE(modals_.seen[0].text.startsWith("wave file (*.wav)")) << modals_.seen[0].text.toStdString();

    const std::string bytes = test::read_file(dir_ / "take1.wav");
    ASSERT_EQ(bytes.size(), 44u + 2 * BLOCK_BYTES);
    const WavHeader header = make_wav_header(2 * BLOCK_FRAMES);
    EXPECT_EQ(std::memcmp(bytes.data(), header.bytes.data(), 44), 0);
    stream_.with_engine([&](const Engine& e) {
        EXPECT_EQ(std::memcmp(bytes.data() + 44, e.RecordBuffer.get(), 2 * BLOCK_BYTES), 0);
    });

    // Again onto the same name: the dialog opens there and asks before replacing it.
    modals_.seen.clear();
    modals_.save = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath(), q(dir_));
        QTest::keyClick(dialog.findChild<QLineEdit*>("fileNameEdit"), Qt::Key_Return);
    };
    trigger("録音データを書き出し");
    wait_saved();
    ASSERT_EQ(modals_.seen.size(), 2u);
    EXPECT_EQ(modals_.seen[1].kind, "message");
    EXPECT_TRUE(modals_.seen[1].text.contains("take1.wav")) << modals_.seen[1].text.toStdString();
    EXPECT_EQ(test::read_file(dir_ / "take1.wav"), bytes);
}

TEST_F(WindowTest, ExistingFileKeptWhenWritingFails) {
    key(Qt::Key_R);
    drop({QUrl::fromLocalFile(q(song_))});
    play_blocks(2);
    key(Qt::Key_Escape);
    const fs::path target = dir_ / "keep.wav";
    write_file(target, "old contents");
    modals_.save = [&](QFileDialog& dialog) {
        dialog.setDirectory(q(dir_));
        type_name(dialog, "keep.wav");
    };

    std::signal(SIGXFSZ, SIG_IGN);
    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    const rlimit small{4096, saved.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    trigger("録音データを書き出し");
    EXPECT_TRUE(QTest::qWaitFor([&] { return modals_.seen.size() == 3; }, 60000));
    setrlimit(RLIMIT_FSIZE, &saved);

    EXPECT_EQ(test::read_file(target), "old contents");
    ASSERT_EQ(modals_.seen.size(), 3u);  // save, replace?, could not write
    EXPECT_EQ(modals_.seen[2].title, "えらー");
    EXPECT_TRUE(modals_.seen[2].text.startsWith("ファイル書けなかったよ")) << modals_.seen[2].text.toStdString();
}

// Where ink falls in the client area: the hint centred on the top line, the
// no-device line under it, "録音モード" from (10, 50) while recording.
TEST_F(WindowTest, PaintedTexts) {
    QWidget* canvas = window_.centralWidget();
    const int line = canvas->fontMetrics().height();
    auto ink = [&](QRect area) {
        const QImage image = canvas->grab().toImage();
        const QRgb background = image.pixel(canvas->width() - 1, canvas->height() - 1);
        QRect found;
        for (int y = area.top(); y <= area.bottom(); ++y) {
            for (int x = area.left(); x <= area.right(); ++x) {
                if (image.pixel(x, y) != background) found |= QRect(x, y, 1, 1);
            }
        }
        return found;
    };
    const int w = canvas->width();
    const QRect hint = ink(QRect(0, 0, w, line));
    ASSERT_FALSE(hint.isEmpty());
    EXPECT_NEAR(hint.left(), w - 1 - hint.right(), 3);  // centred
    EXPECT_FALSE(ink(QRect(0, line, w, line)).isEmpty());  // no sound device
    const QRect label_area(0, 50 - 2, w, line + 4);
    EXPECT_TRUE(ink(label_area).isEmpty());

    key(Qt::Key_R);
    const QRect label = ink(label_area);
    ASSERT_FALSE(label.isEmpty());
    EXPECT_NEAR(label.left(), 10, 2);
    EXPECT_GE(label.top(), 50 - 2);  // a CJK glyph may reach a little above the font's ascent
    EXPECT_LE(label.bottom(), 50 + line);
}

// While the worker writes, the window paints "保存中..." and takes no drop;
// closing it waits for the file.
TEST_F(WindowTest, ExportPaintsSavingAndClosingWaitsForTheFile) {
    key(Qt::Key_R);
    drop({QUrl::fromLocalFile(q(song_))});
    play_blocks(3);
    key(Qt::Key_Escape);
    std::vector<std::vector<std::string>> painted;
    window_.centralWidget()->installEventFilter(new PaintSpy(window_, painted));
    modals_.save = [&](QFileDialog& dialog) {
        dialog.setDirectory(q(dir_));
        type_name(dialog, "take.wav");
    };
    // Queued calls wait while the test holds the UI thread, so the completion cannot overtake it.
    QTimer::singleShot(0, &window_, [&] {
        window_.find_action("録音データを書き出し")->trigger();
        EXPECT_TRUE(saving());
        window_.controller().drop({{song_}});
        EXPECT_EQ(active_tracks(), 0);
        window_.close();  // joins the writer, then halts
        EXPECT_EQ(fs::file_size(dir_ / "take.wav"), 44u + 3 * BLOCK_BYTES);
        EXPECT_FALSE(recording());
    });
    QTest::qWait(200);
    EXPECT_TRUE(std::any_of(painted.begin(), painted.end(), [](const std::vector<std::string>& texts) {
        return std::find(texts.begin(), texts.end(), text::SAVING) != texts.end();
    }));
}

// The render thread's news reaches the window through a queued call: the
// stalled line is painted without any user action.
TEST(WindowStreaming, StalledDeviceLineIsPaintedAtOnce) {
    auto device = std::make_unique<TestDevice>(TestDevice::Options{.max_wait_ms = 0});
    std::shared_ptr<TestDevice::Log> log = device->log();
    AudioStream stream(std::move(device));
    MainWindow window(stream);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    std::vector<std::vector<std::string>> painted;
    window.centralWidget()->installEventFilter(new PaintSpy(window, painted));
    ASSERT_TRUE(log->wait_for_blocks(2, std::chrono::minutes(1)));
    log->stop_answering();
    auto stalled_painted = [&] {
        for (const auto& texts : painted) {
            if (std::find(texts.begin(), texts.end(), text::DEVICE_STALLED) != texts.end()) return true;
        }
        return false;
    };
    EXPECT_TRUE(QTest::qWaitFor(stalled_painted, 60000));
    window.close();
}

// Names that are not UTF-8 (here Shift-JIS bytes) reach the file system
// unchanged, from the command line and from a drop.
TEST_F(WindowTest, SongNamedInShiftJisOpensByBothRoutes) {
    const std::string name = "\x83\x65\x83\x58\x83\x67.mml";  // "テスト" in Shift-JIS
    const fs::path song = dir_ / name;
    write_file(song, "0cde\r\n1cde\r\n2cde\r\n");

    const std::string arg = song.string();
    const char* argv[] = {"bleepforge", arg.c_str(), nullptr};
    EXPECT_EQ(song_argument(2, argv), song);
    EXPECT_EQ(song_argument(1, argv), fs::path());
    const std::string relative = "sub/" + name;
    const char* argv_relative[] = {"bleepforge", relative.c_str(), nullptr};
    EXPECT_EQ(song_argument(2, argv_relative), fs::current_path() / "sub" / name);
    window_.controller().drop({{song_argument(2, argv)}});
    EXPECT_EQ(active_tracks(), 3);

    key(Qt::Key_Escape);
    const QUrl url = QUrl::fromEncoded("file://" + QByteArray::fromStdString(dir_.string()).toPercentEncoding("/") +
                                       "/%83%65%83%58%83%67.mml");
    ASSERT_TRUE(url.isLocalFile());
    EXPECT_EQ(local_path(url), song);
    ASSERT_TRUE(drop({url}));
    EXPECT_TRUE(modals_.seen.empty());
    EXPECT_EQ(window_.controller().remembered_path(), song);
    EXPECT_EQ(active_tracks(), 3);
}

// The title names the song; the status line is painted under the design's
// lines, with what the engine played (this stream has no device, so the test
// mixes the blocks and asks for the repaints the tick timer would make).
TEST_F(WindowTest, TitleAndStatusLineFollowTheSong) {
    std::vector<std::vector<std::string>> painted;
    window_.centralWidget()->installEventFilter(new PaintSpy(window_, painted));
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    EXPECT_EQ(window_.windowTitle(), "song.mml - bleepforge");
    play_blocks(30);
    window_.centralWidget()->repaint();
    ASSERT_FALSE(painted.empty());
    EXPECT_EQ(painted.back().back(), "再生中 0:01 ループ0");
    // A picture of the window while playing, for people to look at (beside the test program).
    window_.grab().save("qt-playing.png");
    key(Qt::Key_Escape);
    window_.centralWidget()->repaint();
    EXPECT_EQ(painted.back().back(), "停止中 0:01");

    // The status line's ink lies below the design's places.
    QWidget* canvas = window_.centralWidget();
    const int line = canvas->fontMetrics().height();
    const QImage image = canvas->grab().toImage();
    const QRgb background = image.pixel(canvas->width() - 1, canvas->height() - 1);
    int ink_rows = 0;
    for (int y = 70 + line; y < std::min(70 + 2 * line, canvas->height()); ++y) {
        for (int x = 0; x < canvas->width(); ++x) {
            if (image.pixel(x, y) != background) {
                ++ink_rows;
                break;
            }
        }
    }
    EXPECT_GT(ink_rows, 3);
}

TEST_F(WindowTest, OpenDialogLoadsTheChosenSong) {
    trigger("開く...");  // cancelled
    EXPECT_EQ(active_tracks(), 0);
    modals_.open = [&](QFileDialog& dialog) {
        dialog.setDirectory(q(dir_));
        type_name(dialog, "song.mml");
    };
    trigger("開く...");
    EXPECT_TRUE(QTest::qWaitFor([&] { return active_tracks() == 2; }, 10000));
    ASSERT_EQ(modals_.seen.size(), 2u);
    EXPECT_EQ(modals_.seen[1].kind, "open");
    EXPECT_EQ(modals_.seen[1].title, "とっととファイルを選べ。");
    EXPECT_EQ(modals_.seen[1].text, "mml file (*.mml);all files (*)");
    EXPECT_EQ(window_.controller().remembered_path(), song_);
    EXPECT_EQ(window_.windowTitle(), "song.mml - bleepforge");
}

TEST_F(WindowTest, WarningsCountedAndListedInACopyableBox) {
    const fs::path warned = dir_ / "warned.mml";
    write_file(warned, "0cdv99999e\r\n1c 5 d e\r\n");
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(warned))}));
    EXPECT_TRUE(QTest::qWaitFor([&] { return window_.controller().warning_count() == 2; }, 60000));
    EXPECT_EQ(window_.controller().paint_lines().back().text, "再生中 0:00 ループ0 警告 2件");
    trigger("警告を表示");
    ASSERT_EQ(modals_.seen.size(), 1u);
    EXPECT_EQ(modals_.seen[0].kind, "copyable text");
    EXPECT_EQ(modals_.seen[0].title, "警告");
    EXPECT_TRUE(modals_.seen[0].text.contains("\n1:4 W-clamp: track 0: \"v99999\" read as v15"))
        << modals_.seen[0].text.toStdString();
    EXPECT_TRUE(modals_.seen[0].text.contains("\n2:4 W-ignored: track 1: ignored character \"5\""));
}

TEST_F(WindowTest, SongExportWritesAFileStopsAndRefusesASecond) {
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    modals_.song_export = [](QDialog& dialog) {
        dialog.findChild<QLineEdit*>("loops")->setText("2");
        dialog.findChild<QLineEdit*>("fade")->setText("0.5");
        dialog.accept();
    };
    modals_.save = [&](QFileDialog& dialog) {
        EXPECT_EQ(dialog.directory().absolutePath(), q(dir_));
        dialog.setDirectory(q(dir_));
        type_name(dialog, "window");
    };
    trigger("曲を書き出し...");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window_.controller().song_exporting(); }, 60000));
    ASSERT_EQ(modals_.seen.size(), 2u);
    EXPECT_EQ(modals_.seen[0].kind, "song export");
    EXPECT_EQ(modals_.seen[0].title, "曲を書き出し");
    EXPECT_EQ(modals_.seen[0].text, "1 0");  // the defaults
    EXPECT_EQ(modals_.seen[1].kind, "save");
    EXPECT_EQ(fs::file_size(dir_ / "window.wav"), 44u + 4u * 95 * BLOCK_FRAMES);

    // A long one: refused a second time while it runs, then stopped, leaving no file.
    std::vector<std::vector<std::string>> painted;
    window_.centralWidget()->installEventFilter(new PaintSpy(window_, painted));
    modals_.seen.clear();
    modals_.song_export = [](QDialog& dialog) {
        dialog.findChild<QLineEdit*>("loops")->setText("9999");
        dialog.accept();
    };
    modals_.save = [&](QFileDialog& dialog) {
        dialog.setDirectory(q(dir_));
        type_name(dialog, "long.wav");
    };
    trigger("曲を書き出し...");
    ASSERT_TRUE(window_.controller().song_exporting());
    trigger("曲を書き出し...");
    trigger("書き出し中止");
    EXPECT_TRUE(QTest::qWaitFor([&] { return !window_.controller().song_exporting(); }, 60000));
    ASSERT_EQ(modals_.seen.size(), 3u);
    EXPECT_EQ(modals_.seen[2].text, "いま曲を書き出し中だよ。終わるか中止するまで待ってね");
    EXPECT_FALSE(fs::exists(dir_ / "long.wav"));
    EXPECT_TRUE(std::any_of(painted.begin(), painted.end(), [](const std::vector<std::string>& texts) {
        return texts.back().rfind("曲を書き出し中 ", 0) == 0;
    }));
}

// Eight tracks, each sounding a different steady tone.
constexpr char EIGHT_TRACKS[] =
    "0@48 v15 o4 l1 L a\r\n1@0 v15 o5 l1 L c\r\n2@32 v15 o3 l1 L e\r\n3@48 v15 o5 l1 L g\r\n"
    "4@2 v15 o4 l1 L d\r\n5@56 v15 o4 l1 L f\r\n6@33 v15 o4 l1 L b\r\n7@16 v15 o3 l1 L c\r\n";

// Where each colour lands on the canvas, scope by scope.
struct ScopeInk {
    std::vector<QRect> boxes;            // each scope's frame
    std::vector<int> rows;               // per box: rows holding `colour`
    int outside = 0;                     // pixels of `colour` outside every box
};

ScopeInk scope_ink(MainWindow& window, QColor colour) {
    QWidget* canvas = window.centralWidget();
    const QImage image = canvas->grab().toImage();
    const ScopePicture picture =
        window.controller().scope_picture(canvas->width(), canvas->height(), canvas->fontMetrics().height());
    ScopeInk ink;
    for (int k = 0; k < TRACK_COUNT && k < int(picture.lines.size()); ++k) {
        const std::vector<Point>& frame = picture.lines[std::size_t(k)].points;
        ink.boxes.push_back(QRect(QPoint(frame[0].x, frame[0].y), QPoint(frame[2].x, frame[2].y)));
    }
    ink.rows.assign(ink.boxes.size(), 0);
    for (int y = 0; y < image.height(); ++y) {
        std::vector<bool> row_has(ink.boxes.size(), false);
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) != colour) continue;
            bool inside = false;
            for (std::size_t b = 0; b < ink.boxes.size(); ++b) {
                if (ink.boxes[b].contains(x, y)) row_has[b] = inside = true;
            }
            ink.outside += inside ? 0 : 1;
        }
        for (std::size_t b = 0; b < row_has.size(); ++b) ink.rows[b] += row_has[b] ? 1 : 0;
    }
    return ink;
}

QColor qcolour(Colour c) { return QColor(c.r, c.g, c.b); }

// Through a device taking blocks in real time: every scope draws its track's
// wave while the song plays, the window repaints by itself meanwhile and
// not at all once stopped; the scopes grow with the window.
TEST(WindowScopes, TracesMoveInsideTheirBoxesWhilePlaying) {
    const fs::path song = fs::temp_directory_path() / "bleepforge_window_scopes.mml";
    write_file(song, EIGHT_TRACKS);
    const auto period = std::chrono::microseconds(1'000'000LL * BLOCK_FRAMES / SAMPLE_RATE);
    AudioStream stream(std::make_unique<TestDevice>(TestDevice::Options{.block_period = period}));
    MainWindow window(stream);
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_NE(window.minimumSize(), window.maximumSize());  // resizable

    ScopeInk idle = scope_ink(window, qcolour(scope::TRACE));
    ASSERT_EQ(idle.boxes.size(), std::size_t{TRACK_COUNT});
    for (int rows : idle.rows) EXPECT_EQ(rows, 1);  // a flat line
    EXPECT_EQ(idle.outside, 0);

    std::vector<std::vector<std::string>> painted;
    window.centralWidget()->installEventFilter(new PaintSpy(window, painted));
    window.controller().drop({{song}});
    QTest::qWait(400);
    EXPECT_GE(painted.size(), 4u);  // about 12 ticks
    for (const QSize size : {QSize(240, 200), QSize(480, 400)}) {
        window.resize(size);
        QTest::qWait(100);
        const ScopeInk playing = scope_ink(window, qcolour(scope::TRACE));
        ASSERT_EQ(playing.boxes.size(), std::size_t{TRACK_COUNT});
        for (int k = 0; k < TRACK_COUNT; ++k) {
            EXPECT_GE(playing.rows[std::size_t(k)], 2) << size.width() << " " << k;
        }
        EXPECT_EQ(playing.outside, 0);
        if (size.width() == 480) {
            EXPECT_GT(playing.boxes[0].width(), 2 * idle.boxes[0].width());
        }
    }

    stream.with_engine([](Engine& e) { e.muted = 0b10; });
    window.controller().tick();
    const ScopeInk muted = scope_ink(window, qcolour(scope::MUTED_TRACE));
    EXPECT_EQ(std::count_if(muted.rows.begin(), muted.rows.end(), [](int rows) { return rows > 0; }), 1);
    EXPECT_GE(muted.rows[1], 2);

    // Stopped: the flat traces are painted at once, then once more on the
    // stream's word that playing ended; then nothing.
    painted.clear();
    window.controller().stop();
    EXPECT_EQ(painted.size(), 1u);
    EXPECT_TRUE(QTest::qWaitFor([&] { return painted.size() == 2; }, 60000));
    painted.clear();
    QTest::qWait(300);
    EXPECT_TRUE(painted.empty()) << painted.size() << " paints while idle";
    window.close();
    fs::remove(song);
}

TEST(KeyKinds, WinKeyDownMeaning) {
    EXPECT_EQ(key_kind(Qt::Key_P, Qt::ShiftModifier), KeyKind::P);
    EXPECT_EQ(key_kind(Qt::Key_R, Qt::ControlModifier), KeyKind::R);
    EXPECT_EQ(key_kind(Qt::Key_P, Qt::AltModifier), KeyKind::SYSTEM);
    EXPECT_EQ(key_kind(Qt::Key_Alt, Qt::AltModifier), KeyKind::SYSTEM);
    EXPECT_EQ(key_kind(Qt::Key_F10, Qt::NoModifier), KeyKind::SYSTEM);
    EXPECT_EQ(key_kind(Qt::Key_E, Qt::AltModifier | Qt::ControlModifier), KeyKind::OTHER);  // AltGr
    EXPECT_EQ(key_kind(Qt::Key_Space, Qt::NoModifier), KeyKind::OTHER);
}

// The file type chosen in the dialog gives a bare name its extension, and
// the extension the format.
TEST_F(WindowTest, ExportTakesTheChosenTypesExtension) {
    if (!bleepforge::sound_format_named("flac")->built) GTEST_SKIP() << "this build writes WAV only";
    key(Qt::Key_R);
    drop({QUrl::fromLocalFile(q(song_))});
    play_blocks(2);
    click(Qt::RightButton);
    modals_.save = [&](QFileDialog& dialog) {
        dialog.setDirectory(q(dir_));
        auto* types = dialog.findChild<QComboBox*>("fileTypeCombo");
        ASSERT_NE(types, nullptr);
        QTest::keyClick(types, Qt::Key_Down);  // from WAV to FLAC, as a user picks it
        type_name(dialog, "take2");
    };
    trigger("録音データを書き出し");
    ASSERT_EQ(modals_.seen.size(), 1u);
    EXPECT_EQ(modals_.seen[0].text.toStdString(),
              "wave file (*.wav);FLAC file (*.flac);Ogg Vorbis file (*.ogg);Opus file (*.opus);MP3 file (*.mp3)");
    EXPECT_EQ(test::read_file(dir_ / "take2.flac").substr(0, 4), "fLaC");
}

// The composer's loop from the menus: the time dialog, the start line, the
// check marks of play on save and the mutes.
class LoopWindowTest : public WindowTest {
protected:
    // Opens the pop-up holding `item` as the user would, so its check marks are refreshed.
    bool checked(const QString& item) {
        QAction* action = window_.find_action(item);
        for (QAction* top : window_.menuBar()->actions()) {
            if (top->menu() && top->menu()->actions().contains(action)) emit top->menu()->aboutToShow();
        }
        return action->isChecked();
    }
    bool painted(const std::string& text) {
        for (const PaintLine& line : window_.controller().paint_lines()) {
            if (line.text == text) return true;
        }
        return false;
    }
};

TEST_F(LoopWindowTest, PlayFromAsksForTheTimeAndShowsIt) {
    write_file(song_, "0t150o4l8cdefgab>c\r\n1o3l2c<g\r\n");
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    modals_.text = [](QInputDialog& d) {
        d.setTextValue("1:30");
        d.accept();
    };
    trigger("途中から再生...");
    ASSERT_EQ(modals_.seen.size(), 1u);
    EXPECT_EQ(modals_.seen[0].kind, "text");
    EXPECT_EQ(modals_.seen[0].title, "途中から再生");
    EXPECT_EQ(modals_.seen[0].text, QString(text::PLAY_FROM_PROMPT) + "|0:00");
    EXPECT_EQ(window_.controller().start_seconds(), 90);
    EXPECT_EQ(active_tracks(), 2);
    EXPECT_TRUE(painted("途中から 1:30"));
    window_.grab().save("qt-loop.png");  // a look at the window: menu bar, hint, lines

    modals_.text = [](QInputDialog& d) { d.reject(); };
    trigger("途中から再生...");
    ASSERT_EQ(modals_.seen.size(), 2u);
    EXPECT_EQ(modals_.seen[1].text, QString(text::PLAY_FROM_PROMPT) + "|1:30");  // the last value
    modals_.text = [](QInputDialog& d) {
        d.setTextValue("abc");
        d.accept();
    };
    trigger("途中から再生...");
    ASSERT_EQ(modals_.seen.size(), 4u);
    EXPECT_EQ(modals_.seen[3].kind, "message");
    EXPECT_EQ(window_.controller().start_seconds(), 90);
}

TEST_F(LoopWindowTest, PlayOnSaveAndMutesAreCheckedItems) {
    ASSERT_TRUE(drop({QUrl::fromLocalFile(q(song_))}));
    EXPECT_FALSE(checked("保存したら再生"));
    trigger("保存したら再生");
    EXPECT_TRUE(window_.controller().play_on_save());
    EXPECT_TRUE(checked("保存したら再生"));

    key(Qt::Key_Escape);
    QElapsedTimer since_save;
    since_save.start();
    write_file(song_, "0cde\r\n1cde\r\n2cde\r\n");
    ASSERT_TRUE(QTest::qWaitFor([&] { return active_tracks() == 3; }, 60000));
    std::printf("save to reload: %lld ms\n", static_cast<long long>(since_save.elapsed()));

    trigger("3");
    trigger("5");
    EXPECT_TRUE(checked("3") && checked("5") && !checked("4"));
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.muted; }), 0b101000);
    trigger("ミュート全解除");
    EXPECT_FALSE(checked("3") || checked("5"));
    EXPECT_EQ(stream_.with_engine([](const Engine& e) { return e.muted; }), 0);

    trigger("保存したら再生");
    EXPECT_FALSE(checked("保存したら再生"));
    EXPECT_TRUE(modals_.seen.empty());
}

}  // namespace
}  // namespace bleepforge

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
