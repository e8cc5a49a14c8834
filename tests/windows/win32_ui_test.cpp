// The Windows shell driven in-process through its real window procedure:
// messages as the system sends them, modal boxes read and answered from a
// thread timer, the playing engine observed through the stream.
#include <gtest/gtest.h>

#include <windows.h>
#include <shlobj.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "app/win32_resource.h"
#include "app/win32_window.h"
#include "audio/test_device.h"
#include "audio/wav.h"
#include "sequencer/transport.h"

namespace bleepforge::win32 {
namespace {

namespace fs = std::filesystem;

HINSTANCE instance() { return GetModuleHandleW(nullptr); }

constexpr int SAVE_NAME_FIELD = 0x47c;  // the file name box of the Save dialog (cmb13)
constexpr char LOOPING_SONG[] = "0t150o4l8cdefgab>c\r\n1o3l2c<g\r\n";

std::wstring window_text(HWND window) {
    wchar_t text[512] = {};
    GetWindowTextW(window, text, 512);
    return text;
}

std::wstring item_text(HWND dialog, int id) { return window_text(GetDlgItem(dialog, id)); }

std::wstring class_name(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

void press(HWND dialog, int id) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// Handles this thread's queued messages, over and over for `milliseconds`;
// returns how many ticks of a window's timer it handled.
int pump(int milliseconds = 0) {
    int ticks = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    do {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_TIMER && message.hwnd) ++ticks;
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        if (milliseconds > 0) Sleep(5);
    } while (std::chrono::steady_clock::now() < end);
    return ticks;
}

// Handles messages until `done` holds, for a minute at most; returns whether it held.
bool pump_until(const std::function<bool()>& done) {
    for (int i = 0; i < 6000 && !done(); ++i) pump(10);
    return done();
}

// A modal box as the user saw it: the static text of a message box (control
// 0xFFFF) and its caption.
struct Box {
    std::wstring caption;
    std::wstring text;
};

// While alive, answers every modal dialog of this thread in the order they
// appear: the next of `answers`, or OK once they are used up. Works from a
// thread timer, which the dialogs' own message loops dispatch.
class Answerer {
public:
    using Answer = std::function<void(HWND)>;

    explicit Answerer(std::vector<Answer> answers = {}) : answers_(std::move(answers)) {
        current_ = this;
        timer_ = SetTimer(nullptr, 0, 20, &Answerer::tick);
    }
    ~Answerer() {
        KillTimer(nullptr, timer_);
        current_ = nullptr;
    }

    std::vector<Box> seen;

private:
    static void CALLBACK tick(HWND, UINT, UINT_PTR, DWORD) {
        if (current_) EnumThreadWindows(GetCurrentThreadId(), &Answerer::visit, 0);
    }
    static BOOL CALLBACK visit(HWND window, LPARAM) {
        Answerer& self = *current_;
        const bool answered = std::find(self.answered_.begin(), self.answered_.end(), window) != self.answered_.end();
        if (answered || class_name(window) != L"#32770" || !IsWindowEnabled(window)) return TRUE;
        self.answered_.push_back(window);
        self.seen.push_back({window_text(window), item_text(window, 0xFFFF)});
        if (self.seen.size() <= self.answers_.size()) {
            self.answers_[self.seen.size() - 1](window);
        } else {
            press(window, IDOK);
        }
        return FALSE;
    }

    static inline Answerer* current_ = nullptr;
    std::vector<Answer> answers_;
    std::vector<HWND> answered_;
    UINT_PTR timer_;
};

// An answer for the Save dialog: types `path` and presses OK.
Answerer::Answer save_as(const fs::path& path) {
    return [path](HWND save) {
        SetDlgItemTextW(save, SAVE_NAME_FIELD, path.c_str());
        press(save, IDOK);
    };
}

// 32-bit pixels, rows top down.
BITMAPINFO top_down(int width, int height) {
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    return info;
}

// Pixels as painted: one 0x00RRGGBB value each, rows top down.
struct Pixels {
    int width = 0, height = 0;
    std::vector<std::uint32_t> rgb;

    static constexpr std::uint32_t NOT_PAPER = 0xFF000000;

    // Calls `visit(x, y, pixel)` for each pixel of `area` within the picture.
    template <class Visit>
    void each(RECT area, Visit visit) {
        for (int y = std::max(0, int(area.top)); y < std::min(height, int(area.bottom)); ++y) {
            for (int x = std::max(0, int(area.left)); x < std::min(width, int(area.right)); ++x) {
                visit(LONG(x), LONG(y), rgb[std::size_t(y) * width + x]);
            }
        }
    }
    // Bounding box of the pixels within `area` that are `colour`, or that differ
    // from the background (the top left pixel); empty (right <= left) when there are none.
    RECT ink(RECT area, std::uint32_t colour = NOT_PAPER) {
        RECT box{area.right, area.bottom, area.left, area.top};
        each(area, [&](LONG x, LONG y, std::uint32_t p) {
            if (colour == NOT_PAPER ? p == rgb[0] : p != colour) return;
            box = {std::min(box.left, x), std::min(box.top, y), std::max(box.right, x + 1),
                   std::max(box.bottom, y + 1)};
        });
        return box;
    }
    // Paints `area` over with the background.
    void blank(RECT area) {
        const std::uint32_t paper = rgb[0];
        each(area, [paper](LONG, LONG, std::uint32_t& p) { p = paper; });
    }
};

// The top-left width x height pixels of `window`'s client area, or of the screen for nullptr.
Pixels grab(HWND window, int width, int height) {
    Pixels pixels{width, height, std::vector<std::uint32_t>(std::size_t(width) * height)};
    HDC source = GetDC(window);
    HDC memory_dc = CreateCompatibleDC(source);
    HBITMAP bitmap = CreateCompatibleBitmap(source, width, height);
    HGDIOBJ old = SelectObject(memory_dc, bitmap);
    BitBlt(memory_dc, 0, 0, width, height, source, 0, 0, SRCCOPY);
    SelectObject(memory_dc, old);
    BITMAPINFO info = top_down(width, height);
    GetDIBits(memory_dc, bitmap, 0, UINT(height), pixels.rgb.data(), &info, DIB_RGB_COLORS);
    for (std::uint32_t& p : pixels.rgb) p &= 0xFFFFFF;
    DeleteObject(bitmap);
    DeleteDC(memory_dc);
    ReleaseDC(window, source);
    return pixels;
}

Pixels capture_client(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    RECT client;
    GetClientRect(window, &client);
    return grab(window, client.right, client.bottom);
}

// Keeps the top-left width x height pixels of the screen as a BMP file, for people to look at.
void save_screen(const fs::path& path, int width, int height) {
    const Pixels pixels = grab(nullptr, width, height);
    const BITMAPINFO info = top_down(width, height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = DWORD(file.bfOffBits + pixels.rgb.size() * 4);
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(reinterpret_cast<const char*>(pixels.rgb.data()), std::streamsize(pixels.rgb.size() * 4));
}

// Once the dialog has been on screen for a moment, keeps a picture of it in
// `picture`, presses its OK button and calls `then`.
void photograph_and_close(HWND dialog, const wchar_t* picture, std::function<void()> then = [] {}) {
    static HWND shown;
    static const wchar_t* file;
    static std::function<void()> next;
    shown = dialog;
    file = picture;
    next = std::move(then);
    SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        save_screen(file, 480, 320);
        press(shown, IDOK);
        next();
    });
}

std::string test_read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A DC of the window with the font the window paints in.
HDC font_dc(HWND window) {
    HDC dc = GetDC(window);
    SelectObject(dc, reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0)));
    return dc;
}

int line_height(HWND window) {
    HDC dc = font_dc(window);
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);
    ReleaseDC(window, dc);
    return metrics.tmHeight;
}

// Checks that each line the controller lays out is painted in its box, in
// the window's font: a left-aligned text's glyphs start at its left edge, a
// centred one's where the text centred in the box starts (glyphs start a
// little inside); and that nothing else is painted above the scopes.
// Returns how many lines there are.
std::size_t expect_painted_as_laid_out(HWND window) {
    Pixels pixels = capture_client(window);
    const int line = line_height(window);
    Controller& controller = *controller_of(window);
    const std::vector<WindowLine> lines = controller.layout(pixels.width, pixels.height, line);
    HDC dc = font_dc(window);
    for (const WindowLine& l : lines) {
        SCOPED_TRACE(l.text);
        const std::wstring text = utf16(l.text);
        SIZE size{};
        GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
        const int left = l.centred ? l.x + (l.width - size.cx) / 2 : l.x;
        const RECT ink = pixels.ink({l.x, l.y, l.x + l.width, l.y + l.height});
        EXPECT_GE(ink.left, left);
        EXPECT_LE(ink.left, left + 3);
        pixels.blank({l.x, l.y, l.x + l.width, l.y + l.height});
    }
    ReleaseDC(window, dc);
    const int scopes_top = controller.scope_picture(pixels.width, pixels.height, line).lines.at(0).points[0].y;
    EXPECT_GE(pixels.ink({0, 0, pixels.width, scopes_top}).left, pixels.width);
    return lines.size();
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("bleepforge-win32-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
        open();
    }

    void TearDown() override {
        close();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    // The main window over a stream whose device plays in real time; each
    // test starts with one, made with the default options.
    void open(TestDevice::Options options = {}) {
        options.block_period = std::chrono::microseconds(34014);
        auto device = std::make_unique<TestDevice>(options);
        log_ = device->log();
        stream_ = std::make_unique<AudioStream>(std::move(device));
        register_main_window_class(instance());
        window_ = create_main_window(instance(), *stream_);
        ASSERT_NE(window_, nullptr);
        ShowWindow(window_, SW_SHOWNORMAL);
        UpdateWindow(window_);
        pump();
    }

    void close() {
        if (IsWindow(window_)) DestroyWindow(window_);
        pump();
        stream_.reset();
    }

    fs::path write_song(const std::wstring& name, const std::string& bytes = LOOPING_SONG) {
        const fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Drops the files as the shell hands them over (DROPFILES with wide paths,
    // each ended by a NUL and the list by another); returns whether the window
    // finished the drop (freed the memory).
    bool drop(const std::vector<fs::path>& paths) {
        std::wstring list;
        for (const fs::path& p : paths) list += p.native() + L'\0';
        list += L'\0';
        HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + list.size() * sizeof(wchar_t));
        auto* files = static_cast<DROPFILES*>(GlobalLock(memory));
        files->pFiles = sizeof(DROPFILES);
        files->fWide = TRUE;
        std::memcpy(files + 1, list.data(), list.size() * sizeof(wchar_t));
        GlobalUnlock(memory);
        SendMessageW(window_, WM_DROPFILES, WPARAM(memory), 0);
        return GlobalFlags(memory) == GMEM_INVALID_HANDLE;
    }

    void command(int id) { SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void key(WPARAM virtual_key) { SendMessageW(window_, WM_KEYDOWN, virtual_key, 1); }

    bool playing() { return stream_->with_engine([](Engine& e) { return any_track_active(e); }); }
    bool recording() { return stream_->with_engine([](Engine& e) { return e.recording_mode; }); }
    std::uint32_t captured() { return stream_->with_engine([](Engine& e) { return e.recorded_frames; }); }

    Controller& controller() { return *controller_of(window_); }

    bool painted(const char* text) {
        const std::vector<PaintLine> lines = controller().paint_lines();
        return std::any_of(lines.begin(), lines.end(), [text](const PaintLine& line) { return line.text == text; });
    }

    // Records a few blocks of the song and stops it: a capture to write out.
    std::uint32_t capture() {
        key('R');
        EXPECT_TRUE(drop({write_song(L"song.mml")}));
        for (int i = 0; i < 200 && captured() < 3 * BLOCK_FRAMES; ++i) Sleep(10);
        SendMessageW(window_, WM_RBUTTONDOWN, MK_RBUTTON, 0);
        EXPECT_FALSE(playing());
        EXPECT_GE(captured(), std::uint32_t{3 * BLOCK_FRAMES});
        return captured();
    }

    fs::path folder_;
    std::shared_ptr<TestDevice::Log> log_;
    std::unique_ptr<AudioStream> stream_;
    HWND window_ = nullptr;
};

TEST_F(MainWindow, IsBuiltFromTheResources) {
    EXPECT_EQ(window_text(window_), L"bleepforge");
    EXPECT_EQ(class_name(window_), L"BLEEPFORGE");
    wchar_t hint[100] = {};
    LoadStringW(instance(), STR_HINT, hint, 100);
    EXPECT_EQ(utf8(hint), text::HINT);

    RECT frame;
    GetWindowRect(window_, &frame);
    EXPECT_EQ(frame.right - frame.left, 240);
    EXPECT_EQ(frame.bottom - frame.top, 200);
    EXPECT_EQ(frame.top, 0);
    EXPECT_EQ(GetWindowLongW(window_, GWL_STYLE) & WS_OVERLAPPEDWINDOW, WS_OVERLAPPEDWINDOW);
    EXPECT_EQ(GetClassLongW(window_, GCL_STYLE), UINT(CS_HREDRAW | CS_VREDRAW));
    EXPECT_NE(GetClassLongPtrW(window_, GCLP_HICON), 0);
    EXPECT_NE(GetClassLongPtrW(window_, GCLP_HICONSM), 0);

    // Each pop-up's title, then its items in order.
    const std::pair<std::wstring, std::vector<std::pair<UINT, std::wstring>>> menus[] = {
        {L"ﾌｧｲﾙ(&F)",
         {{CMD_OPEN, L"開く..."}, {CMD_RECORD_ON, L"録音機能オン"}, {CMD_WRITE_OUT, L"録音データを書き出し"},
          {CMD_EXPORT_SONG, L"曲を書き出し..."}, {CMD_STOP_EXPORT, L"書き出し中止"},
          {CMD_EXIT, L"ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)"}, {CMD_DEBUG, L"デバグ（使用不可）"}}},
        {L"music",
         {{CMD_STOP, L"stop"}, {CMD_RELOAD_PLAY, L"reloadplay(&P)"}, {CMD_PLAY_ON_SAVE, L"保存したら再生"},
          {CMD_PLAY_FROM, L"途中から再生..."}, {CMD_SHOW_WARNINGS, L"警告を表示"}}},
        {L"トラック",
         {{CMD_MUTE_TRACK + 0, L"0"}, {CMD_MUTE_TRACK + 1, L"1"}, {CMD_MUTE_TRACK + 2, L"2"},
          {CMD_MUTE_TRACK + 3, L"3"}, {CMD_MUTE_TRACK + 4, L"4"}, {CMD_MUTE_TRACK + 5, L"5"},
          {CMD_MUTE_TRACK + 6, L"6"}, {CMD_MUTE_TRACK + 7, L"7"}, {CMD_UNMUTE_ALL, L"ミュート全解除"}}},
        {L"ﾍﾙﾌﾟ(&H)", {{CMD_ABOUT, L"ﾊﾞｰｼﾞｮﾝ情報(&A) ..."}, {CMD_REACQUIRE_DEVICE, L"wavデバイス再取得（不安定だよ）"}}},
    };
    HMENU bar = GetMenu(window_);
    ASSERT_EQ(GetMenuItemCount(bar), 4);
    for (int p = 0; p < 4; ++p) {
        const auto& [title, items] = menus[p];
        wchar_t text[100] = {};
        GetMenuStringW(bar, UINT(p), text, 100, MF_BYPOSITION);
        EXPECT_EQ(text, title);
        HMENU popup = GetSubMenu(bar, p);
        ASSERT_EQ(GetMenuItemCount(popup), int(items.size()));
        for (int i = 0; i < int(items.size()); ++i) {
            const auto& [id, name] = items[std::size_t(i)];
            SCOPED_TRACE(id);
            EXPECT_EQ(GetMenuItemID(popup, i), id);
            GetMenuStringW(popup, id, text, 100, MF_BYCOMMAND);
            EXPECT_EQ(text, name);
            const UINT state = GetMenuState(popup, id, MF_BYCOMMAND);
            EXPECT_EQ((state & MF_DISABLED) != 0, id == CMD_DEBUG || id == CMD_REACQUIRE_DEVICE);
            EXPECT_EQ(state & MF_GRAYED, 0u);  // disabled, but drawn as usual
            EXPECT_EQ(state & MF_CHECKED, 0u);
        }
    }

    ACCEL accelerators[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(LoadAcceleratorsW(instance(), MAKEINTRESOURCEW(RES_MAIN)), accelerators, 4), 2);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(accelerators[i].key, "?/"[i]);
        EXPECT_EQ(accelerators[i].cmd, CMD_ABOUT);
        EXPECT_EQ(accelerators[i].fVirt & (FALT | FVIRTKEY | FSHIFT | FCONTROL), FALT);  // a character, with Alt
    }
}

// The about box, from the menu and from both Alt accelerators in the message
// loop, owned by the window and laid out as its resource gives it; then the
// exit item ends the loop with 0, halts the stream and releases the capture.
// Keeps a picture of the box in win32-about.bmp.
TEST_F(MainWindow, AboutBoxAcceleratorsAndExit) {
    key('R');
    // Wine turns WM_SYSCHAR into an Alt accelerator only while Alt is down.
    BYTE keys[256] = {};
    keys[VK_MENU] = keys[VK_LMENU] = 0x80;
    SetKeyboardState(keys);
    const LPARAM alt_down = LPARAM(1) | (LPARAM(1) << 29);
    auto close_and_post = [&](int button, UINT message, WPARAM wparam) {
        return [=, this](HWND about) {
            EXPECT_EQ(GetWindow(about, GW_OWNER), window_);
            press(about, button);
            PostMessageW(window_, message, wparam, message == WM_SYSCHAR ? alt_down : 0);
        };
    };
    Answerer answerer({
        [&](HWND dialog) {
            HWND picture = GetDlgItem(dialog, ABOUT_PICTURE);
            EXPECT_EQ(class_name(picture), L"Static");
            EXPECT_EQ(GetWindowLongW(picture, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
            EXPECT_NE(SendMessageW(picture, STM_GETICON, 0, 0), 0);
            EXPECT_EQ(GetWindowLongW(GetDlgItem(dialog, IDOK), GWL_STYLE) & BS_DEFPUSHBUTTON, BS_DEFPUSHBUTTON);
            EXPECT_EQ(item_text(dialog, IDOK), L"OK");
            // Dialog units in this dialog's font: the client area, then each
            // control's {x, y, width, height}, converted each on its own.
            RECT client, expected{0, 0, 230, 75};
            GetClientRect(dialog, &client);
            MapDialogRect(dialog, &expected);
            EXPECT_EQ(client.right, expected.right);
            EXPECT_EQ(client.bottom, expected.bottom);
            for (const auto& [id, units] :
                 {std::pair{0xFFFF, RECT{49, 10, 119, 8}}, std::pair{IDOK, RECT{195, 6, 30, 11}}}) {
                RECT place = units, actual;
                MapDialogRect(dialog, &place);
                GetWindowRect(GetDlgItem(dialog, id), &actual);
                MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
                EXPECT_EQ(std::tuple(actual.left, actual.top, actual.right - actual.left, actual.bottom - actual.top),
                          std::tuple(place.left, place.top, place.right, place.bottom));
            }
            photograph_and_close(dialog, L"win32-about.bmp", [&] { PostMessageW(window_, WM_SYSCHAR, '?', alt_down); });
        },
        close_and_post(IDOK, WM_SYSCHAR, '/'),
        close_and_post(IDCANCEL, WM_COMMAND, CMD_EXIT),
    });
    PostMessageW(window_, WM_COMMAND, CMD_ABOUT, 0);
    EXPECT_EQ(run_message_loop(instance()), 0);
    keys[VK_MENU] = keys[VK_LMENU] = 0;
    SetKeyboardState(keys);
    ASSERT_EQ(answerer.seen.size(), 3u);
    for (const Box& box : answerer.seen) {
        EXPECT_EQ(box.caption, L"ﾊﾞｰｼﾞｮﾝ情報");
        EXPECT_EQ(box.text, L"bleepforge Version 1.3");
    }
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(stream_->state(), AudioStream::State::HALTED);
    EXPECT_FALSE(recording());
}

// Each input reaches the controller, in a fresh window with a song dropped:
// P and reloadplay start it, any other key, the right button and stop end
// it, the left button and the disabled items do nothing, R and the record
// item turn recording on.
TEST_F(MainWindow, KeysButtonsAndCommandsReachTheController) {
    enum Effect { STARTS, STOPS, NOTHING, RECORDS };
    auto click = [&](UINT message) { SendMessageW(window_, message, 0, MAKELPARAM(20, 20)); };
    const struct {
        const char* name;
        std::function<void()> send;
        Effect effect;
    } inputs[] = {
        {"P", [&] { key('P'); }, STARTS},
        {"reloadplay", [&] { command(CMD_RELOAD_PLAY); }, STARTS},
        {"space", [&] { key(VK_SPACE); }, STOPS},
        {"left", [&] { key(VK_LEFT); }, STOPS},
        {"down", [&] { key(VK_DOWN); }, STOPS},
        {"shift", [&] { key(VK_SHIFT); }, STOPS},
        {"A", [&] { key('A'); }, STOPS},
        {"right button", [&] { click(WM_RBUTTONDOWN); }, STOPS},
        {"stop", [&] { command(CMD_STOP); }, STOPS},
        {"left button", [&] { click(WM_LBUTTONDOWN); }, NOTHING},
        {"debug", [&] { command(CMD_DEBUG); }, NOTHING},
        {"reacquire device", [&] { command(CMD_REACQUIRE_DEVICE); }, NOTHING},
        {"R", [&] { key('R'); }, RECORDS},
        {"record on", [&] { command(CMD_RECORD_ON); }, RECORDS},
    };
    for (const auto& input : inputs) {
        SCOPED_TRACE(input.name);
        Answerer answerer;
        EXPECT_TRUE(drop({write_song(L"song.mml")}));
        if (input.effect == STARTS) controller().stop();
        input.send();
        EXPECT_EQ(playing(), input.effect != STOPS);
        EXPECT_EQ(recording(), input.effect == RECORDS);
        EXPECT_TRUE(answerer.seen.empty());
        close();
        open();
    }
}

// Songs reach the controller by a drop, its wide paths read from the
// DROPFILES, and through the Open dialog: one loads and names the window,
// Japanese names included. More files, or a folder, are refused in a box;
// a cancelled dialog changes nothing. The song plays on throughout.
TEST_F(MainWindow, SongsArriveByDropAndThroughTheOpenDialog) {
    const fs::path song = write_song(L"曲・テスト①.mml"), chosen = write_song(L"開く曲.mml");
    const std::wstring choose = L"とっととファイルを選べ。", unreadable = L"ファイル読めなかったよ\n";
    const struct {
        std::function<void()> send;
        Answerer::Answer answer;
        std::wstring caption, text;  // of the box shown; none when empty
        fs::path remembered;
    } arrivals[] = {
        {[&] { EXPECT_TRUE(drop({song})); }, nullptr, L"", L"", song},
        {[&] { EXPECT_TRUE(drop({write_song(L"other.mml"), song})); }, nullptr, L"えらー", L"ファイル受け入れ失敗", song},
        {[&] { EXPECT_TRUE(drop({folder_})); }, nullptr, L"x",
         unreadable + folder_.wstring() + L": is a folder, not a song file", folder_},
        {[&] { command(CMD_OPEN); }, [](HWND dialog) { press(dialog, IDCANCEL); }, choose, L"", folder_},
        {[&] { command(CMD_OPEN); }, save_as(chosen), choose, L"", chosen},
    };
    for (const auto& a : arrivals) {
        SCOPED_TRACE(::testing::Message() << "arrival " << &a - arrivals);
        Answerer answerer(a.answer ? std::vector{a.answer} : std::vector<Answerer::Answer>{});
        a.send();
        ASSERT_EQ(answerer.seen.size(), a.caption.empty() ? 0u : 1u);
        for (const Box& box : answerer.seen) {
            EXPECT_EQ(box.caption, a.caption);
            EXPECT_TRUE(a.text.empty() || box.text == a.text) << utf8(box.text);  // the file dialog's is not ours
        }
        EXPECT_EQ(controller().remembered_path().native(), a.remembered.native());
        EXPECT_TRUE(playing());
    }
    EXPECT_EQ(window_text(window_), L"開く曲.mml - bleepforge");
}

// The controller's lines are painted where it lays them out, in the system's
// message font, which the window makes once, hands out and releases.
TEST_F(MainWindow, PaintsTheLaidOutLinesInTheMessageFont) {
    key('R');
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    EXPECT_EQ(expect_painted_as_laid_out(window_), 3u);  // the hint, the recording label, the status line

    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(SendMessageW(window_, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));
    LOGFONTW used{};
    ASSERT_EQ(GetObjectW(font, sizeof used, &used), int(sizeof used));
    EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName);
    EXPECT_EQ(used.lfHeight, metrics.lfMessageFont.lfHeight);
    close();
    EXPECT_EQ(GetObjectW(font, sizeof used, &used), 0);

    TestDevice::Options failing;
    failing.fail_open = true;
    open(failing);
    EXPECT_TRUE(painted(text::NO_DEVICE));
    EXPECT_EQ(expect_painted_as_laid_out(window_), 2u);
}

// The render thread posts its news: the stalled line is painted without any user action.
TEST_F(MainWindow, StalledDeviceIsPostedToTheWindow) {
    TestDevice::Options options;
    options.max_wait_ms = 0;
    close();
    open(options);
    log_->stop_answering();
    MSG message{};
    for (int i = 0; i < 6000 && !PeekMessageW(&message, window_, WM_RUN_POSTED, WM_RUN_POSTED, PM_REMOVE); ++i) {
        Sleep(10);
    }
    ASSERT_EQ(message.message, UINT(WM_RUN_POSTED));
    EXPECT_EQ(stream_->state(), AudioStream::State::STALLED);
    DispatchMessageW(&message);  // repaints at once
    EXPECT_TRUE(painted(text::DEVICE_STALLED));
    EXPECT_FALSE(GetUpdateRect(window_, nullptr, FALSE));
}

// The listing goes to a read-only edit box, its lines ended by CR LF.
TEST_F(MainWindow, WarningsAreListedInACopyableBox) {
    Answerer answerer({[](HWND box) {
        const std::wstring listing = item_text(box, TEXT_BOX);
        EXPECT_NE(listing.find(L"\r\n2:4 W-ignored: track 1: ignored character \"5\"\r\n"), std::wstring::npos)
            << utf8(listing);
        const LONG style = GetWindowLongW(GetDlgItem(box, TEXT_BOX), GWL_STYLE);
        EXPECT_EQ(style & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY);
        press(box, IDOK);
    }});
    EXPECT_TRUE(drop({write_song(L"warned.mml", "0cdv99999e\r\n1c 5 d e\r\n")}));
    ASSERT_TRUE(pump_until([&] { return controller().warning_count() >= 0; }));
    command(CMD_SHOW_WARNINGS);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].caption, L"警告");
}

// The Save dialog offers the last name again and asks before replacing the
// file a bare name with its .wav names; a file that cannot be replaced is kept and the
// user told. While the worker writes, the window says so and takes no drop;
// closing it waits for the file and only then releases the capture.
TEST_F(MainWindow, WritesTheCaptureOutThroughTheSaveDialog) {
    const std::uint32_t frames = capture();
    std::string expected(reinterpret_cast<const char*>(make_wav_header(frames).bytes.data()), 44);
    stream_->with_engine([&](Engine& e) {
        expected.append(reinterpret_cast<const char*>(e.RecordBuffer.get()), std::size_t{frames} * 4);
    });
    const fs::path take = folder_ / L"take1.wav";
    std::vector<std::wstring> offered;  // the name each Save dialog opens with
    auto bare_name = [&](HWND save) {
        offered.push_back(item_text(save, SAVE_NAME_FIELD));
        save_as(folder_ / L"take1")(save);  // no extension typed
    };
    auto yes = [](HWND ask) { press(ask, IDYES); };
    auto write_out = [&](std::vector<Answerer::Answer> answers) {
        Answerer answerer(std::move(answers));
        command(CMD_WRITE_OUT);
        EXPECT_TRUE(pump_until([&] { return !painted(text::SAVING); }));
        return answerer.seen;
    };
    std::vector<Box> seen = write_out({bare_name});
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, L"とっととファイルを選べ。");
    EXPECT_EQ(test_read(take), expected);

    EXPECT_EQ(write_out({bare_name, yes}).size(), 2u);  // the dialog's own .wav names the file to replace
    EXPECT_EQ(test_read(take), expected);

    // Held open without sharing, the target cannot be replaced.
    std::ofstream(take, std::ios::binary | std::ios::trunc) << "old";
    HANDLE held = CreateFileW(take.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    seen = write_out({bare_name, yes});
    CloseHandle(held);
    EXPECT_EQ(offered, (std::vector<std::wstring>{L"", L"take1.wav", L"take1.wav"}));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[2].caption, L"えらー");
    EXPECT_EQ(seen[2].text.rfind(L"ファイル書けなかったよ", 0), 0u) << utf8(seen[2].text);
    EXPECT_EQ(test_read(take), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);  // song and take

    Answerer answerer({save_as(folder_ / L"take2.wav")});
    command(CMD_WRITE_OUT);
    EXPECT_TRUE(painted(text::SAVING));  // its completion is a posted message not yet handled
    EXPECT_TRUE(drop({folder_ / L"song.mml"}));
    EXPECT_FALSE(playing());
    DestroyWindow(window_);
    EXPECT_EQ(test_read(folder_ / L"take2.wav"), expected);
    EXPECT_FALSE(recording());
    EXPECT_EQ(answerer.seen.size(), 1u);
}

// The numbers dialog shows the controller's texts and passes the typed
// values on to the export; the stop item ends a long one without a file.
TEST_F(MainWindow, SongExportAsksTheNumbersAndStops) {
    EXPECT_TRUE(drop({write_song(L"song.mml", "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n")}));
    auto exported = [&] { return pump_until([&] { return !controller().song_exporting(); }); };
    std::wstring shown;
    auto numbers = [&shown](const wchar_t* loops) {
        return [&shown, loops](HWND dialog) {
            for (int id : {SONG_LOOPS_LABEL, SONG_LOOPS, SONG_FADE_LABEL, SONG_FADE}) {
                shown += item_text(dialog, id) + L";";
            }
            SetDlgItemTextW(dialog, SONG_LOOPS, loops);
            SetDlgItemTextW(dialog, SONG_FADE, L"0.5");
            press(dialog, IDOK);
        };
    };
    {
        Answerer answerer({numbers(L"2"), save_as(folder_ / L"window")});
        command(CMD_EXPORT_SONG);
        EXPECT_TRUE(exported());
        ASSERT_EQ(answerer.seen.size(), 2u);
        EXPECT_EQ(answerer.seen[0].caption, L"曲を書き出し");
    }
    EXPECT_EQ(shown, L"ループ回数;1;フェード（秒）;0;");
    EXPECT_EQ(fs::file_size(folder_ / L"window.wav"), 44u + 4u * 95 * BLOCK_FRAMES);  // two loops and the fade

    Answerer long_one({numbers(L"9999"), save_as(folder_ / L"long.wav")});
    command(CMD_EXPORT_SONG);
    ASSERT_TRUE(controller().song_exporting());
    command(CMD_STOP_EXPORT);
    EXPECT_TRUE(exported());
    EXPECT_EQ(long_one.seen.size(), 2u);
    EXPECT_FALSE(fs::exists(folder_ / L"long.wav"));
}

// The composer's loop: the time dialog asked with the controller's texts and
// its answer passed on, its line painted, the check marks of play on save and
// the mutes, a save heard through the watcher. Keeps pictures of the dialog
// in win32-play-from.bmp and of the window in win32-loop.bmp.
TEST_F(MainWindow, LoopItemsAskTheTimeAndCheckTheirState) {
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    std::vector<std::wstring> shown;  // each dialog's prompt and time as it opened
    auto answer = [&shown](const wchar_t* typed, bool ok) {
        return [&shown, typed, ok](HWND dialog) {
            shown.push_back(item_text(dialog, ASK_TEXT_PROMPT) + L";" + item_text(dialog, ASK_TEXT_FIELD));
            SetDlgItemTextW(dialog, ASK_TEXT_FIELD, typed);
            ok ? photograph_and_close(dialog, L"win32-play-from.bmp") : press(dialog, IDCANCEL);
        };
    };
    {
        Answerer answerer({answer(L"1:30", true), answer(L"2:00", false)});
        command(CMD_PLAY_FROM);
        command(CMD_PLAY_FROM);
        ASSERT_EQ(answerer.seen.size(), 2u);
        EXPECT_EQ(answerer.seen[0].caption, utf16(text::PLAY_FROM_TITLE));
    }
    const std::wstring prompt = utf16(text::PLAY_FROM_PROMPT);
    EXPECT_EQ(shown, (std::vector<std::wstring>{prompt + L";0:00", prompt + L";1:30"}));  // then cancelled
    EXPECT_EQ(controller().start_seconds(), 90);
    EXPECT_TRUE(playing());
    EXPECT_TRUE(painted("途中から 1:30"));
    EXPECT_EQ(expect_painted_as_laid_out(window_), 3u);
    save_screen(L"win32-loop.bmp", 320, 240);

    HMENU bar = GetMenu(window_);
    auto checked = [&](int popup, UINT id) {
        HMENU items = GetSubMenu(bar, popup);
        SendMessageW(window_, WM_INITMENUPOPUP, WPARAM(items), popup);
        return (GetMenuState(items, id, MF_BYCOMMAND) & MF_CHECKED) != 0;
    };
    EXPECT_FALSE(checked(1, CMD_PLAY_ON_SAVE));
    command(CMD_PLAY_ON_SAVE);
    EXPECT_TRUE(checked(1, CMD_PLAY_ON_SAVE));
    command(CMD_STOP);
    write_song(L"song.mml", "0cde\r\n1cde\r\n2cde\r\n");
    EXPECT_TRUE(pump_until([&] { return playing(); }));

    command(CMD_MUTE_TRACK + 3);
    command(CMD_MUTE_TRACK + 7);
    EXPECT_TRUE(checked(2, CMD_MUTE_TRACK + 3));
    EXPECT_FALSE(checked(2, CMD_MUTE_TRACK + 4));
    EXPECT_EQ(stream_->with_engine([](Engine& e) { return e.muted; }), 0b10001000);
    command(CMD_UNMUTE_ALL);
    EXPECT_FALSE(checked(2, CMD_MUTE_TRACK + 3));
    EXPECT_EQ(stream_->with_engine([](Engine& e) { return e.muted; }), 0);
    command(CMD_PLAY_ON_SAVE);
    EXPECT_FALSE(checked(1, CMD_PLAY_ON_SAVE));
}

// Eight tracks, each sounding a different steady tone.
constexpr char EIGHT_TRACKS[] =
    "0@48 v15 o4 l1 L a\r\n1@0 v15 o5 l1 L c\r\n2@32 v15 o3 l1 L e\r\n3@48 v15 o5 l1 L g\r\n"
    "4@2 v15 o4 l1 L d\r\n5@56 v15 o4 l1 L f\r\n6@33 v15 o4 l1 L b\r\n7@16 v15 o3 l1 L c\r\n";

// Per scope: its frame and how many rows `colour` spans inside it; and
// whether the colour shows anywhere outside the frames.
struct ScopeInk {
    std::vector<RECT> boxes;
    std::vector<int> rows;
    bool outside = false;
};

ScopeInk scope_ink(HWND window, Colour colour) {
    const std::uint32_t rgb = std::uint32_t(colour.r) << 16 | std::uint32_t(colour.g) << 8 | colour.b;
    Pixels pixels = capture_client(window);
    const ScopePicture picture =
        controller_of(window)->scope_picture(pixels.width, pixels.height, line_height(window));
    ScopeInk ink;
    for (int k = 0; k < TRACK_COUNT && k < int(picture.lines.size()); ++k) {
        const std::vector<Point>& frame = picture.lines[std::size_t(k)].points;
        ink.boxes.push_back({frame[0].x, frame[0].y, frame[2].x + 1, frame[2].y + 1});
        const RECT inside = pixels.ink(ink.boxes.back(), rgb);
        ink.rows.push_back(std::max(0, int(inside.bottom - inside.top)));
    }
    for (const RECT& box : ink.boxes) pixels.blank(box);
    ink.outside = pixels.ink({0, 0, pixels.width, pixels.height}, rgb).left < pixels.width;
    return ink;
}

// Through a device taking blocks in real time: every scope draws its track's
// wave inside its box while the song plays, ticked by a timer that stops
// with the song; the scopes grow with the window. Keeps pictures of the
// window in win32-scopes.bmp (design size) and win32-scopes-large.bmp.
TEST_F(MainWindow, ScopesDrawTheTracksWhilePlaying) {
    EXPECT_TRUE(drop({write_song(L"eight.mml", EIGHT_TRACKS)}));
    EXPECT_GE(pump(400), 4);  // about 12 ticks
    LONG design_width = 0;  // of a scope
    for (const auto& [width, height, picture] :
         {std::tuple{240, 200, L"win32-scopes.bmp"}, std::tuple{480, 400, L"win32-scopes-large.bmp"}}) {
        SCOPED_TRACE(width);
        SetWindowPos(window_, nullptr, 0, 0, width, height, SWP_NOZORDER);
        pump(100);
        const ScopeInk playing = scope_ink(window_, scope::TRACE);
        ASSERT_EQ(playing.boxes.size(), std::size_t{TRACK_COUNT});
        for (int k = 0; k < TRACK_COUNT; ++k) EXPECT_GE(playing.rows[std::size_t(k)], 2) << k;
        EXPECT_FALSE(playing.outside);
        const LONG scope_width = playing.boxes[0].right - playing.boxes[0].left;
        EXPECT_GT(scope_width, 2 * design_width);  // at the design size, against none yet
        design_width = scope_width;
        save_screen(picture, width, height);
    }

    stream_->with_engine([](Engine& e) { e.muted = 0b10; });
    pump(100);
    const ScopeInk muted = scope_ink(window_, scope::MUTED_TRACE);
    EXPECT_EQ(std::count_if(muted.rows.begin(), muted.rows.end(), [](int rows) { return rows > 0; }), 1);
    EXPECT_GE(muted.rows[1], 2);

    key(VK_SPACE);
    EXPECT_EQ(pump(300), 0);
}

// Opens the File menu the way Alt+F does and keeps a picture of the screen in
// win32-menu.bmp (for people to look at; the test checks the menu appeared).
TEST_F(MainWindow, FileMenuOpensOnScreen) {
    std::atomic<bool> shown{false};
    std::thread photographer([&] {
        HWND menu = nullptr;
        for (int i = 0; i < 300 && !IsWindowVisible(menu); ++i) {
            Sleep(10);
            menu = FindWindowW(L"#32768", nullptr);
        }
        if (!IsWindowVisible(menu)) return;
        Sleep(200);
        save_screen(L"win32-menu.bmp", 320, 240);
        shown = true;
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        PostMessageW(window_, WM_CANCELMODE, 0, 0);
    });
    SendMessageW(window_, WM_SYSCOMMAND, SC_KEYMENU, 'f');
    photographer.join();
    EXPECT_TRUE(shown);
}

}  // namespace
}  // namespace bleepforge::win32
