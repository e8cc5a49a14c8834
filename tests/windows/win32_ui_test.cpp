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

std::wstring item_text(HWND dialog, int id) {
    wchar_t text[512] = {};
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

std::wstring class_name(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

void press(HWND dialog, int id) { PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), 0); }

// Handles the messages already queued for this thread.
void pump() {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
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
        if (class_name(window) != L"#32770" || !IsWindowEnabled(window)) return TRUE;
        for (HWND done : self.answered_) {
            if (done == window) return TRUE;
        }
        self.answered_.push_back(window);
        self.seen.push_back({window_text(window), item_text(window, 0xFFFF)});
        const std::size_t n = self.next_++;
        if (n < self.answers_.size()) {
            self.answers_[n](window);
        } else {
            press(window, IDOK);
        }
        return FALSE;
    }

    static inline Answerer* current_ = nullptr;
    std::vector<Answer> answers_;
    std::size_t next_ = 0;
    std::vector<HWND> answered_;
    UINT_PTR timer_;
};

// A drop as the shell hands it over: DROPFILES with wide paths, each ended by
// a NUL and the list by another.
HGLOBAL make_drop(const std::vector<fs::path>& paths) {
    std::size_t chars = 1;
    for (const fs::path& p : paths) chars += p.native().size() + 1;
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, sizeof(DROPFILES) + chars * sizeof(wchar_t));
    auto* drop = static_cast<DROPFILES*>(GlobalLock(memory));
    drop->pFiles = sizeof(DROPFILES);
    drop->fWide = TRUE;
    auto* out = reinterpret_cast<wchar_t*>(drop + 1);
    for (const fs::path& p : paths) {
        std::memcpy(out, p.c_str(), p.native().size() * sizeof(wchar_t));
        out += p.native().size() + 1;
    }
    GlobalUnlock(memory);
    return memory;
}

// The client area as painted: one 0x00RRGGBB value per pixel, rows top down.
struct Pixels {
    int width = 0, height = 0;
    std::vector<std::uint32_t> rgb;

    // Bounding box of the pixels that differ from the background within `area`;
    // empty (right <= left) when there are none.
    RECT ink(RECT area) const {
        const std::uint32_t paper = rgb[0];
        RECT box{area.right, area.bottom, area.left, area.top};
        for (int y = std::max(0, int(area.top)); y < std::min(height, int(area.bottom)); ++y) {
            for (int x = std::max(0, int(area.left)); x < std::min(width, int(area.right)); ++x) {
                if (rgb[std::size_t(y) * width + x] == paper) continue;
                box.left = std::min(box.left, LONG(x));
                box.right = std::max(box.right, LONG(x + 1));
                box.top = std::min(box.top, LONG(y));
                box.bottom = std::max(box.bottom, LONG(y + 1));
            }
        }
        return box;
    }
};

Pixels capture_client(HWND window) {
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    RECT client;
    GetClientRect(window, &client);
    Pixels pixels;
    pixels.width = client.right;
    pixels.height = client.bottom;
    pixels.rgb.resize(std::size_t(pixels.width) * pixels.height);
    HDC window_dc = GetDC(window);
    HDC memory_dc = CreateCompatibleDC(window_dc);
    HBITMAP bitmap = CreateCompatibleBitmap(window_dc, pixels.width, pixels.height);
    HGDIOBJ old = SelectObject(memory_dc, bitmap);
    BitBlt(memory_dc, 0, 0, pixels.width, pixels.height, window_dc, 0, 0, SRCCOPY);
    SelectObject(memory_dc, old);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = pixels.width;
    info.bmiHeader.biHeight = -pixels.height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    GetDIBits(memory_dc, bitmap, 0, UINT(pixels.height), pixels.rgb.data(), &info, DIB_RGB_COLORS);
    for (std::uint32_t& p : pixels.rgb) p &= 0xFFFFFF;
    DeleteObject(bitmap);
    DeleteDC(memory_dc);
    ReleaseDC(window, window_dc);
    return pixels;
}

std::string test_read(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes the top-left width x height pixels of the screen as a 24-bit BMP file.
void save_screen(const fs::path& path, int width, int height) {
    HDC screen = GetDC(nullptr);
    HDC memory_dc = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;  // bottom-up, as BMP files store it
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory_dc, bitmap);
    BitBlt(memory_dc, 0, 0, width, height, screen, 0, 0, SRCCOPY);
    GdiFlush();
    const DWORD image_bytes = DWORD(((width * 3 + 3) & ~3) * height);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;  // "BM"
    file.bfOffBits = sizeof file + sizeof info.bmiHeader;
    file.bfSize = file.bfOffBits + image_bytes;
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&file), sizeof file);
    out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    out.write(static_cast<const char*>(bits), image_bytes);
    SelectObject(memory_dc, old);
    DeleteObject(bitmap);
    DeleteDC(memory_dc);
    ReleaseDC(nullptr, screen);
}

// Once the dialog has been on screen for a moment, keeps a picture of it in
// win32-about.bmp and presses its OK button.
void photograph_and_close(HWND dialog) {
    static HWND shown;
    shown = dialog;
    SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR timer, DWORD) {
        KillTimer(nullptr, timer);
        save_screen(L"win32-about.bmp", 480, 320);
        press(shown, IDOK);
    });
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

// Where `text` starts when centred in the client area, in the window's font.
int centred_left(HWND window, const std::string& text) {
    const std::wstring wide = utf16(text);
    HDC dc = font_dc(window);
    SIZE size{};
    GetTextExtentPoint32W(dc, wide.c_str(), int(wide.size()), &size);
    ReleaseDC(window, dc);
    RECT client;
    GetClientRect(window, &client);
    return (client.right - size.cx) / 2;
}

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("bleepforge-win32-" + std::to_string(GetCurrentProcessId()));
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }

    void TearDown() override {
        if (IsWindow(window_)) DestroyWindow(window_);
        pump();
        stream_.reset();
        std::error_code ec;
        fs::remove_all(folder_, ec);
    }

    // The main window over a stream whose device plays in real time.
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

    fs::path write_song(const std::wstring& name, const std::string& bytes = LOOPING_SONG) {
        const fs::path path = folder_ / name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }

    // Sends the drop and returns whether the shell finished it (freed the memory).
    bool drop(const std::vector<fs::path>& paths) {
        HGLOBAL memory = make_drop(paths);
        SendMessageW(window_, WM_DROPFILES, WPARAM(memory), 0);
        return GlobalFlags(memory) == GMEM_INVALID_HANDLE;
    }

    void command(int id) { SendMessageW(window_, WM_COMMAND, MAKEWPARAM(id, 0), 0); }
    void key(WPARAM virtual_key) { SendMessageW(window_, WM_KEYDOWN, virtual_key, 1); }

    bool playing() { return stream_->with_engine([](Engine& e) { return any_track_active(e); }); }
    bool recording() { return stream_->with_engine([](Engine& e) { return e.recording_mode; }); }
    std::uint32_t captured() { return stream_->with_engine([](Engine& e) { return e.recorded_frames; }); }

    const fs::path& remembered() { return controller_of(window_)->remembered_path(); }

    bool painted(const char* text) {
        for (const PaintLine& line : controller_of(window_)->paint_lines()) {
            if (line.text == text) return true;
        }
        return false;
    }
    // The export's worker writes; its completion arrives as a posted message.
    void wait_saved() {
        for (int i = 0; i < 6000 && painted(text::SAVING); ++i) {
            pump();
            Sleep(10);
        }
        EXPECT_FALSE(painted(text::SAVING));
    }

    fs::path folder_;
    std::shared_ptr<TestDevice::Log> log_;
    std::unique_ptr<AudioStream> stream_;
    HWND window_ = nullptr;
};

TEST_F(MainWindow, IsBuiltFromTheResources) {
    open();
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

    struct Item {
        int popup;
        UINT id;
        const wchar_t* text;
        bool enabled;
    };
    const Item items[] = {
        {0, CMD_OPEN, L"開く...", true},
        {0, CMD_RECORD_ON, L"録音機能オン", true},
        {0, CMD_WRITE_OUT, L"録音データを書き出し", true},
        {0, CMD_EXPORT_SONG, L"曲を書き出し...", true},
        {0, CMD_STOP_EXPORT, L"書き出し中止", true},
        {0, CMD_EXIT, L"ｱﾌﾟﾘｹｰｼｮﾝの終了(&X)", true},
        {0, CMD_DEBUG, L"デバグ（使用不可）", false},
        {1, CMD_STOP, L"stop", true},
        {1, CMD_RELOAD_PLAY, L"reloadplay(&P)", true},
        {1, CMD_PLAY_ON_SAVE, L"保存したら再生", true},
        {1, CMD_PLAY_FROM, L"途中から再生...", true},
        {1, CMD_SHOW_WARNINGS, L"警告を表示", true},
        {2, CMD_MUTE_TRACK + 0, L"0", true},
        {2, CMD_MUTE_TRACK + 1, L"1", true},
        {2, CMD_MUTE_TRACK + 2, L"2", true},
        {2, CMD_MUTE_TRACK + 3, L"3", true},
        {2, CMD_MUTE_TRACK + 4, L"4", true},
        {2, CMD_MUTE_TRACK + 5, L"5", true},
        {2, CMD_MUTE_TRACK + 6, L"6", true},
        {2, CMD_MUTE_TRACK + 7, L"7", true},
        {2, CMD_UNMUTE_ALL, L"ミュート全解除", true},
        {3, CMD_ABOUT, L"ﾊﾞｰｼﾞｮﾝ情報(&A) ...", true},
        {3, CMD_REACQUIRE_DEVICE, L"wavデバイス再取得（不安定だよ）", false},
    };
    HMENU bar = GetMenu(window_);
    ASSERT_EQ(GetMenuItemCount(bar), 4);
    const wchar_t* popups[] = {L"ﾌｧｲﾙ(&F)", L"music", L"トラック", L"ﾍﾙﾌﾟ(&H)"};
    int position[4] = {};
    for (const Item& item : items) {
        SCOPED_TRACE(item.id);
        wchar_t text[100] = {};
        GetMenuStringW(bar, UINT(item.popup), text, 100, MF_BYPOSITION);
        EXPECT_STREQ(text, popups[item.popup]);
        HMENU popup = GetSubMenu(bar, item.popup);
        EXPECT_EQ(GetMenuItemID(popup, position[item.popup]++), item.id);
        GetMenuStringW(popup, item.id, text, 100, MF_BYCOMMAND);
        EXPECT_STREQ(text, item.text);
        const UINT state = GetMenuState(popup, item.id, MF_BYCOMMAND);
        EXPECT_EQ((state & MF_DISABLED) != 0, !item.enabled);
        EXPECT_EQ(state & MF_GRAYED, 0u);  // disabled, but drawn as usual
        EXPECT_EQ(state & MF_CHECKED, 0u);
    }
    for (int p = 0; p < 4; ++p) EXPECT_EQ(GetMenuItemCount(GetSubMenu(bar, p)), position[p]);

    HACCEL table = LoadAcceleratorsW(instance(), MAKEINTRESOURCEW(RES_MAIN));
    ACCEL accelerators[4] = {};
    ASSERT_EQ(CopyAcceleratorTableW(table, accelerators, 4), 2);
    EXPECT_EQ(accelerators[0].key, '?');
    EXPECT_EQ(accelerators[1].key, '/');
    for (const ACCEL& a : accelerators) {
        if (a.cmd == 0) continue;
        EXPECT_EQ(a.cmd, CMD_ABOUT);
        EXPECT_EQ(a.fVirt & (FALT | FVIRTKEY | FSHIFT | FCONTROL), FALT);  // a character, with Alt
    }
}

TEST_F(MainWindow, AboutBoxShowsTheVersionAndCloses) {
    open();
    struct Geometry {
        int id;
        RECT units;
    };
    std::vector<std::wstring> texts;
    Answerer answerer({[&](HWND dialog) {
        HWND picture = GetDlgItem(dialog, ABOUT_PICTURE);
        EXPECT_EQ(class_name(picture), L"Static");
        EXPECT_EQ(GetWindowLongW(picture, GWL_STYLE) & SS_TYPEMASK, SS_ICON);
        EXPECT_NE(SendMessageW(picture, STM_GETICON, 0, 0), 0);
        EXPECT_EQ(GetWindowLongW(GetDlgItem(dialog, 0xFFFF), GWL_STYLE) & (SS_NOPREFIX | WS_GROUP),
                  SS_NOPREFIX | WS_GROUP);
        EXPECT_EQ(GetWindowLongW(GetDlgItem(dialog, IDOK), GWL_STYLE) & (BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP),
                  BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP);
        texts.push_back(item_text(dialog, IDOK));
        // Dialog units as the resource gives them, in this dialog's font.
        RECT client, expected{0, 0, 230, 75};
        GetClientRect(dialog, &client);
        MapDialogRect(dialog, &expected);
        EXPECT_EQ(client.right, expected.right);
        EXPECT_EQ(client.bottom, expected.bottom);
        // Position and size are converted each on its own: {x, y, width, height}.
        for (const Geometry& g : {Geometry{0xFFFF, {49, 10, 119, 8}}, Geometry{IDOK, {195, 6, 30, 11}}}) {
            RECT place = g.units, actual;
            MapDialogRect(dialog, &place);
            GetWindowRect(GetDlgItem(dialog, g.id), &actual);
            MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&actual), 2);
            EXPECT_EQ(actual.left, place.left);
            EXPECT_EQ(actual.top, place.top);
            EXPECT_EQ(actual.right - actual.left, place.right);
            EXPECT_EQ(actual.bottom - actual.top, place.bottom);
        }
        photograph_and_close(dialog);
    }});
    command(CMD_ABOUT);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].caption, L"ﾊﾞｰｼﾞｮﾝ情報");
    EXPECT_EQ(answerer.seen[0].text, L"bleepforge Version 1.3");
    EXPECT_EQ(texts, std::vector<std::wstring>{L"OK"});
    EXPECT_TRUE(IsWindowEnabled(window_));
}

TEST_F(MainWindow, DropsOneFileAndRefusesMore) {
    open();
    const fs::path song = write_song(L"song.mml");
    Answerer quiet;
    EXPECT_TRUE(drop({song}));
    EXPECT_TRUE(quiet.seen.empty());
    EXPECT_TRUE(playing());
    EXPECT_EQ(remembered(), song);

    Answerer answerer;
    const fs::path other = write_song(L"other.mml");
    EXPECT_TRUE(drop({other, song}));
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].caption, L"えらー");
    EXPECT_EQ(answerer.seen[0].text, L"ファイル受け入れ失敗");
    EXPECT_TRUE(playing());
    EXPECT_EQ(remembered(), song);
}

TEST_F(MainWindow, DroppedFolderIsRememberedAndCannotBeRead) {
    open();
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    Answerer answerer;
    EXPECT_TRUE(drop({folder_}));
    EXPECT_EQ(remembered(), folder_);
    EXPECT_TRUE(playing());  // the song plays on
    command(CMD_STOP);
    key('P');  // reloads the folder: fails the same way
    ASSERT_EQ(answerer.seen.size(), 2u);
    for (const Box& box : answerer.seen) {
        EXPECT_EQ(box.caption, L"x");
        // The design's text, then the name and the reason.
        EXPECT_EQ(box.text, L"ファイル読めなかったよ\n" + folder_.wstring() + L": is a folder, not a song file");
    }
    EXPECT_FALSE(playing());
}

TEST_F(MainWindow, OpensFilesWithJapaneseNames) {
    open();
    const fs::path song = write_song(L"曲・テスト①.mml");
    Answerer answerer;
    EXPECT_TRUE(drop({song}));
    EXPECT_TRUE(answerer.seen.empty());
    EXPECT_TRUE(playing());
    EXPECT_EQ(remembered().native(), song.native());
}

TEST_F(MainWindow, KeysAndButtons) {
    open();
    Answerer answerer;
    key('P');  // nothing dropped yet: nothing happens
    EXPECT_FALSE(playing());
    EXPECT_TRUE(drop({write_song(L"song.mml")}));

    for (WPARAM stop_key : {WPARAM(VK_SPACE), WPARAM(VK_LEFT), WPARAM(VK_DOWN), WPARAM(VK_SHIFT), WPARAM('A')}) {
        SCOPED_TRACE(stop_key);
        key('P');
        EXPECT_TRUE(playing());
        key(stop_key);
        EXPECT_FALSE(playing());
    }
    key('P');
    SendMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(20, 20));
    EXPECT_TRUE(playing());
    SendMessageW(window_, WM_RBUTTONDOWN, MK_RBUTTON, MAKELPARAM(20, 20));
    EXPECT_FALSE(playing());

    key('R');
    EXPECT_TRUE(recording());
    const std::int16_t* capture = stream_->with_engine([](Engine& e) { return e.RecordBuffer.get(); });
    key('R');  // a second press keeps the capture
    EXPECT_EQ(stream_->with_engine([](Engine& e) { return e.RecordBuffer.get(); }), capture);
    EXPECT_TRUE(answerer.seen.empty());
}

TEST_F(MainWindow, MenuCommands) {
    open();
    Answerer answerer;
    command(CMD_RELOAD_PLAY);  // nothing dropped yet
    EXPECT_FALSE(playing());
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    command(CMD_STOP);
    EXPECT_FALSE(playing());
    command(CMD_RELOAD_PLAY);
    EXPECT_TRUE(playing());
    command(CMD_RECORD_ON);
    EXPECT_TRUE(recording());

    // The two disabled items have no behaviour even when their ids arrive.
    command(CMD_DEBUG);
    command(CMD_REACQUIRE_DEVICE);
    EXPECT_TRUE(playing());
    EXPECT_TRUE(recording());
    EXPECT_TRUE(answerer.seen.empty());

    command(CMD_EXIT);
    EXPECT_FALSE(IsWindow(window_));
    EXPECT_EQ(stream_->state(), AudioStream::State::HALTED);
    EXPECT_FALSE(recording());
    MSG quit;
    ASSERT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(quit.wParam, 0u);
}

TEST_F(MainWindow, AcceleratorsOpenTheAboutBoxInTheMessageLoop) {
    open();
    // Wine turns WM_SYSCHAR into an Alt accelerator only while Alt is down.
    BYTE keys[256] = {};
    keys[VK_MENU] = keys[VK_LMENU] = 0x80;
    SetKeyboardState(keys);
    const LPARAM alt_down = LPARAM(1) | (LPARAM(1) << 29);
    Answerer answerer({
        [&](HWND about) {
            press(about, IDOK);
            PostMessageW(window_, WM_SYSCHAR, '/', alt_down);
        },
        [&](HWND about) {
            press(about, IDCANCEL);
            PostMessageW(window_, WM_COMMAND, CMD_EXIT, 0);
        },
    });
    PostMessageW(window_, WM_SYSCHAR, '?', alt_down);
    EXPECT_EQ(run_message_loop(instance()), 0);
    keys[VK_MENU] = keys[VK_LMENU] = 0;
    SetKeyboardState(keys);
    ASSERT_EQ(answerer.seen.size(), 2u);
    EXPECT_EQ(answerer.seen[0].caption, L"ﾊﾞｰｼﾞｮﾝ情報");
    EXPECT_EQ(answerer.seen[1].caption, L"ﾊﾞｰｼﾞｮﾝ情報");
    EXPECT_FALSE(IsWindow(window_));
}

TEST_F(MainWindow, PaintsTheHintAndTheRecordingLabel) {
    open();
    const int line = line_height(window_);
    Pixels before = capture_client(window_);
    const RECT hint = before.ink({0, 0, before.width, line});
    ASSERT_LT(hint.left, hint.right);
    EXPECT_GE(hint.left, centred_left(window_, text::HINT));  // centred, glyphs start a little inside
    EXPECT_LE(hint.left, centred_left(window_, text::HINT) + 3);
    // Nothing else above the scopes.
    const ScopePicture scopes = controller_of(window_)->scope_picture(before.width, before.height, line);
    const LONG scopes_top = scopes.lines.at(0).points[0].y;
    EXPECT_GE(before.ink({0, line, before.width, scopes_top}).left, before.width);

    key('R');
    Pixels after = capture_client(window_);
    const RECT label = after.ink({0, 50, after.width, 50 + line});
    ASSERT_LT(label.left, label.right);
    EXPECT_GE(label.left, 10);
    EXPECT_LE(label.left, 13);
}

TEST_F(MainWindow, PaintsTheMissingDeviceUnderTheHint) {
    TestDevice::Options options;
    options.fail_open = true;
    open(options);
    const int line = line_height(window_);
    Pixels pixels = capture_client(window_);
    const RECT second = pixels.ink({0, line, pixels.width, 2 * line});
    ASSERT_LT(second.left, second.right);
    EXPECT_GE(second.left, centred_left(window_, text::NO_DEVICE));
    EXPECT_LE(second.left, centred_left(window_, text::NO_DEVICE) + 3);
}

TEST_F(MainWindow, ExportsTheCaptureOnlyWhenStopped) {
    open();
    key('R');
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    for (int i = 0; i < 200 && captured() < 3 * BLOCK_FRAMES; ++i) Sleep(10);
    ASSERT_GE(captured(), std::uint32_t{3 * BLOCK_FRAMES});
    {
        Answerer answerer;
        command(CMD_WRITE_OUT);  // still playing: refused, saying why
        ASSERT_EQ(answerer.seen.size(), 1u);
        EXPECT_EQ(answerer.seen[0].text, L"演奏を止めてから書き出してね");
    }
    SendMessageW(window_, WM_RBUTTONDOWN, MK_RBUTTON, 0);
    ASSERT_FALSE(playing());
    const std::uint32_t frames = captured();
    std::string expected(reinterpret_cast<const char*>(make_wav_header(frames).bytes.data()), 44);
    stream_->with_engine([&](Engine& e) {
        expected.append(reinterpret_cast<const char*>(e.RecordBuffer.get()), std::size_t{frames} * 4);
    });
    const fs::path take = folder_ / L"take1.wav";
    auto contents = [&] { return test_read(take); };

    std::wstring first_name;
    Answerer first({[&](HWND save) {
        first_name = item_text(save, SAVE_NAME_FIELD);
        SetDlgItemTextW(save, SAVE_NAME_FIELD, (folder_ / L"take1").c_str());  // no extension typed
        press(save, IDOK);
    }});
    command(CMD_WRITE_OUT);
    wait_saved();
    ASSERT_EQ(first.seen.size(), 1u);
    EXPECT_EQ(first.seen[0].caption, L"とっととファイルを選べ。");
    EXPECT_EQ(first_name, L"");
    EXPECT_EQ(contents(), expected);

    // Again to the same file: the dialog offers it and asks before replacing it.
    std::wstring second_name;
    Answerer second({[&](HWND save) {
                         second_name = item_text(save, SAVE_NAME_FIELD);
                         press(save, IDOK);
                     },
                     [&](HWND ask) { press(ask, IDYES); }});
    command(CMD_WRITE_OUT);
    wait_saved();
    ASSERT_EQ(second.seen.size(), 2u);
    EXPECT_EQ(second_name, L"take1.wav");
    EXPECT_EQ(contents(), expected);

    // A target that cannot be replaced (held open without sharing) is kept,
    // and the user is told.
    std::ofstream(take, std::ios::binary | std::ios::trunc) << "old";
    HANDLE held = CreateFileW(take.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    Answerer third({[&](HWND save) { press(save, IDOK); }, [&](HWND ask) { press(ask, IDYES); }});
    command(CMD_WRITE_OUT);
    wait_saved();
    CloseHandle(held);
    ASSERT_EQ(third.seen.size(), 3u);
    EXPECT_EQ(third.seen[2].caption, L"えらー");
    EXPECT_EQ(third.seen[2].text.rfind(L"ファイル書けなかったよ", 0), 0u) << utf8(third.seen[2].text);
    EXPECT_EQ(contents(), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 2);  // song and take
}

// While the worker writes, the window says so and takes no drop; closing it
// waits for the file and only then releases the capture.
TEST_F(MainWindow, ExportRunsOnAWorkerAndClosingWaitsForIt) {
    open();
    key('R');
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    for (int i = 0; i < 200 && captured() < 3 * BLOCK_FRAMES; ++i) Sleep(10);
    SendMessageW(window_, WM_RBUTTONDOWN, MK_RBUTTON, 0);
    const std::uint32_t frames = captured();
    ASSERT_GE(frames, std::uint32_t{3 * BLOCK_FRAMES});
    const fs::path take = folder_ / L"take.wav";
    Answerer answerer({[&](HWND save) {
        SetDlgItemTextW(save, SAVE_NAME_FIELD, take.c_str());
        press(save, IDOK);
    }});
    command(CMD_WRITE_OUT);
    // The completion is a posted message not yet handled: still saving.
    EXPECT_TRUE(painted(text::SAVING));
    EXPECT_TRUE(drop({folder_ / L"song.mml"}));
    EXPECT_FALSE(playing());
    DestroyWindow(window_);
    EXPECT_EQ(fs::file_size(take), 44u + std::uintmax_t{frames} * 4);
    EXPECT_FALSE(recording());
    EXPECT_EQ(answerer.seen.size(), 1u);
}

// The render thread posts its news: the stalled line is painted without any user action.
TEST_F(MainWindow, StalledDeviceIsPostedToTheWindow) {
    TestDevice::Options options;
    options.max_wait_ms = 0;
    open(options);
    pump();
    log_->stop_answering();
    MSG message{};
    bool posted = false;
    for (int i = 0; i < 6000 && !posted; ++i) {
        posted = PeekMessageW(&message, window_, WM_RUN_POSTED, WM_RUN_POSTED, PM_REMOVE);
        if (!posted) Sleep(10);
    }
    ASSERT_TRUE(posted);
    EXPECT_EQ(stream_->state(), AudioStream::State::STALLED);
    DispatchMessageW(&message);  // repaints at once
    EXPECT_TRUE(painted(text::DEVICE_STALLED));
    EXPECT_FALSE(GetUpdateRect(window_, nullptr, FALSE));
}

// Opens the File menu the way Alt+F does and keeps a picture of the screen in
// win32-menu.bmp (for people to look at, like win32-about.bmp; the test
// checks the menu appeared).
TEST_F(MainWindow, FileMenuOpensOnScreen) {
    open();
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

// The composer's loop: the time dialog and its line, the check marks of play
// on save and the mutes, a save heard through the watcher.
TEST_F(MainWindow, LoopItemsAskTheTimeAndCheckTheirState) {
    open();
    EXPECT_TRUE(drop({write_song(L"song.mml")}));
    std::vector<std::wstring> prompts, filled;
    auto answer_with = [&](const wchar_t* typed, int button) {
        return [&prompts, &filled, typed, button](HWND dialog) {
            prompts.push_back(item_text(dialog, ASK_TEXT_PROMPT));
            filled.push_back(item_text(dialog, ASK_TEXT_FIELD));
            SetDlgItemTextW(dialog, ASK_TEXT_FIELD, typed);
            if (filled.size() > 1) return press(dialog, button);
            // Once on screen for a moment, a picture for people to look at, like win32-about.bmp.
            static HWND shown;
            shown = dialog;
            SetTimer(nullptr, 0, 300, [](HWND, UINT, UINT_PTR timer, DWORD) {
                KillTimer(nullptr, timer);
                save_screen(L"win32-play-from.bmp", 480, 320);
                press(shown, IDOK);
            });
        };
    };
    {
        Answerer answerer({answer_with(L"1:30", IDOK), answer_with(L"2:00", IDCANCEL)});  // the first: OK
        command(CMD_PLAY_FROM);
// The title names the song; the status line is painted under the design's
        command(CMD_PLAY_FROM);
        ASSERT_EQ(answerer.seen.size(), 2u);
        EXPECT_EQ(answerer.seen[0].caption, utf16(text::PLAY_FROM_TITLE));
    }
    ASSERT_EQ(filled.size(), 2u);
    EXPECT_EQ(prompts[0], utf16(text::PLAY_FROM_PROMPT));
    EXPECT_EQ(filled[0], L"0:00");
    EXPECT_EQ(filled[1], L"1:30");  // the last value; then cancelled
    EXPECT_EQ(controller_of(window_)->start_seconds(), 90);
    EXPECT_TRUE(playing());
    EXPECT_TRUE(painted("途中から 1:30"));
    Pixels pixels = capture_client(window_);
    // Its row is the one the controller lays out, under the status line.
    int row = -1;
    for (const WindowLine& l : controller_of(window_)->layout(pixels.width, pixels.height, line_height(window_))) {
        if (l.text == "途中から 1:30") row = l.y;
    }
    EXPECT_EQ(row, 70 + 2 * line_height(window_));
    const RECT line = pixels.ink({0, row, pixels.width, row + line_height(window_)});
    ASSERT_LT(line.left, line.right);
    EXPECT_GE(line.left, 10);
    EXPECT_LE(line.left, 13);
    save_screen(L"win32-loop.bmp", 320, 240);  // for people to look at: the window playing from 1:30

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
    for (int i = 0; i < 6000 && !playing(); ++i) {
        pump();
        Sleep(10);
    }
    EXPECT_TRUE(playing());

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

// The title names the song; the status line is painted under the design's
// places and kept current by the window's timer, which stops with the song.
TEST_F(MainWindow, TitleAndStatusLineFollowTheSong) {
    open();
    Answerer quiet;
    EXPECT_TRUE(drop({write_song(L"曲.mml")}));
    EXPECT_EQ(window_text(window_), L"曲.mml - bleepforge");
    const int line = line_height(window_);
    auto status_ink = [&] {
        Pixels pixels = capture_client(window_);
        return pixels.ink({0, 70 + line, pixels.width, 70 + 2 * line});
    };
    const RECT status = status_ink();
    ASSERT_LT(status.left, status.right);
    EXPECT_GE(status.left, 10);
    EXPECT_LE(status.left, 13);

    // The timer's ticks arrive through the message loop while the song plays.
    std::string shown;
    for (int i = 0; i < 300 && shown.rfind("再生中 0:01", 0) != 0; ++i) {
        pump();
        Sleep(10);
        shown = controller_of(window_)->status_text();
    }
    EXPECT_EQ(shown.rfind("再生中 0:01", 0), 0u) << shown;
    MSG tick{};
    Sleep(300);
    EXPECT_TRUE(PeekMessageW(&tick, window_, WM_TIMER, WM_TIMER, PM_NOREMOVE));
    // A picture of the window while playing, for people to look at.
    pump();
    save_screen(L"win32-playing.bmp", 320, 240);

    command(CMD_STOP);
    for (int i = 0; i < 50; ++i) {
        pump();
        Sleep(10);
    }
    while (PeekMessageW(&tick, window_, WM_TIMER, WM_TIMER, PM_REMOVE)) {
    }
    Sleep(400);
    EXPECT_FALSE(PeekMessageW(&tick, window_, WM_TIMER, WM_TIMER, PM_NOREMOVE));  // no timer while idle
    EXPECT_EQ(controller_of(window_)->status_text().rfind("停止中", 0), 0u);
    EXPECT_TRUE(quiet.seen.empty());
}

TEST_F(MainWindow, OpenDialogLoadsTheChosenSong) {
    open();
    const fs::path song = write_song(L"開く曲.mml");
    Answerer answerer({[&](HWND dialog) { press(dialog, IDCANCEL); },
                       [&](HWND dialog) {
                           SetDlgItemTextW(dialog, SAVE_NAME_FIELD, song.c_str());
                           press(dialog, IDOK);
                       }});
    command(CMD_OPEN);
    EXPECT_FALSE(playing());
    command(CMD_OPEN);
    ASSERT_EQ(answerer.seen.size(), 2u);
    EXPECT_EQ(answerer.seen[1].caption, L"とっととファイルを選べ。");
    EXPECT_TRUE(playing());
    EXPECT_EQ(remembered().native(), song.native());
    EXPECT_EQ(window_text(window_), L"開く曲.mml - bleepforge");
}

TEST_F(MainWindow, WarningsCountedAndListedInACopyableBox) {
    open();
    Answerer quiet;
    EXPECT_TRUE(drop({write_song(L"warned.mml", "0cdv99999e\r\n1c 5 d e\r\n")}));
    for (int i = 0; i < 6000 && controller_of(window_)->warning_count() < 0; ++i) {
        pump();
        Sleep(10);
    }
    EXPECT_EQ(controller_of(window_)->warning_count(), 2);
    EXPECT_NE(controller_of(window_)->status_text().find("警告 2件"), std::string::npos);

    std::wstring listing;
    LONG style = 0;
    Answerer answerer({[&](HWND box) {
        listing = item_text(box, TEXT_BOX);
        style = GetWindowLongW(GetDlgItem(box, TEXT_BOX), GWL_STYLE);
        press(box, IDOK);
    }});
    command(CMD_SHOW_WARNINGS);
    ASSERT_EQ(answerer.seen.size(), 1u);
    EXPECT_EQ(answerer.seen[0].caption, L"警告");
    EXPECT_EQ(style & (ES_MULTILINE | ES_READONLY), ES_MULTILINE | ES_READONLY);
    EXPECT_NE(listing.find(L"\r\n1:4 W-clamp: track 0: \"v99999\" read as v15"), std::wstring::npos) << utf8(listing);
    EXPECT_NE(listing.find(L"\r\n2:4 W-ignored: track 1: ignored character \"5\"\r\n"), std::wstring::npos);
}

TEST_F(MainWindow, SongExportWritesAFileStopsAndRefusesASecond) {
    open();
    EXPECT_TRUE(drop({write_song(L"song.mml", "0t150l8cdefgab>c\r\n1o3l4cgcg\r\n")}));
    auto wait_exported = [&] {
        for (int i = 0; i < 6000 && controller_of(window_)->song_exporting(); ++i) {
            pump();
            Sleep(10);
        }
        EXPECT_FALSE(controller_of(window_)->song_exporting());
    };
    std::wstring defaults, labels;
    Answerer answerer({[&](HWND numbers) {
                           defaults = item_text(numbers, SONG_LOOPS) + L" " + item_text(numbers, SONG_FADE);
                           labels = item_text(numbers, SONG_LOOPS_LABEL) + L" " +
                                    item_text(numbers, SONG_FADE_LABEL);
                           SetDlgItemTextW(numbers, SONG_LOOPS, L"2");
                           SetDlgItemTextW(numbers, SONG_FADE, L"0.5");
                           press(numbers, IDOK);
                       },
                       [&](HWND save) {
                           SetDlgItemTextW(save, SAVE_NAME_FIELD, (folder_ / L"window").c_str());
                           press(save, IDOK);
                       }});
    command(CMD_EXPORT_SONG);
    wait_exported();
    ASSERT_EQ(answerer.seen.size(), 2u);
    EXPECT_EQ(answerer.seen[0].caption, L"曲を書き出し");
    EXPECT_EQ(defaults, L"1 0");
    EXPECT_EQ(labels, L"ループ回数 フェード（秒）");
    EXPECT_EQ(fs::file_size(folder_ / L"window.wav"), 44u + 4u * 95 * BLOCK_FRAMES);

    Answerer long_one({[&](HWND numbers) {
                           SetDlgItemTextW(numbers, SONG_LOOPS, L"9999");
                           press(numbers, IDOK);
                       },
                       [&](HWND save) {
                           SetDlgItemTextW(save, SAVE_NAME_FIELD, (folder_ / L"long.wav").c_str());
                           press(save, IDOK);
                       }});
    command(CMD_EXPORT_SONG);
    ASSERT_TRUE(controller_of(window_)->song_exporting());
    command(CMD_EXPORT_SONG);  // refused while the first runs
    command(CMD_STOP_EXPORT);
    wait_exported();
    ASSERT_EQ(long_one.seen.size(), 3u);
    EXPECT_EQ(long_one.seen[2].text, L"いま曲を書き出し中だよ。終わるか中止するまで待ってね");
    EXPECT_FALSE(fs::exists(folder_ / L"long.wav"));
}

// Eight tracks, each sounding a different steady tone.
constexpr char EIGHT_TRACKS[] =
    "0@48 v15 o4 l1 L a\r\n1@0 v15 o5 l1 L c\r\n2@32 v15 o3 l1 L e\r\n3@48 v15 o5 l1 L g\r\n"
    "4@2 v15 o4 l1 L d\r\n5@56 v15 o4 l1 L f\r\n6@33 v15 o4 l1 L b\r\n7@16 v15 o3 l1 L c\r\n";

std::uint32_t rgb(Colour c) { return std::uint32_t(c.r) << 16 | std::uint32_t(c.g) << 8 | c.b; }

// Where one colour lands in the client area, scope by scope.
struct ScopeInk {
    std::vector<RECT> boxes;  // each scope's frame
    std::vector<int> rows;    // per box: rows holding the colour
    int outside = 0;          // pixels of the colour outside every box
};

ScopeInk scope_ink(HWND window, Colour colour) {
    const Pixels pixels = capture_client(window);
    const ScopePicture picture =
        controller_of(window)->scope_picture(pixels.width, pixels.height, line_height(window));
    ScopeInk ink;
    for (int k = 0; k < TRACK_COUNT && k < int(picture.lines.size()); ++k) {
        const std::vector<Point>& frame = picture.lines[std::size_t(k)].points;
        ink.boxes.push_back({frame[0].x, frame[0].y, frame[2].x + 1, frame[2].y + 1});
    }
    ink.rows.assign(ink.boxes.size(), 0);
    for (int y = 0; y < pixels.height; ++y) {
        std::vector<bool> row_has(ink.boxes.size(), false);
        for (int x = 0; x < pixels.width; ++x) {
            if (pixels.rgb[std::size_t(y) * pixels.width + x] != rgb(colour)) continue;
            bool inside = false;
            for (std::size_t b = 0; b < ink.boxes.size(); ++b) {
                const RECT& r = ink.boxes[b];
                if (x >= r.left && x < r.right && y >= r.top && y < r.bottom) row_has[b] = inside = true;
            }
            ink.outside += inside ? 0 : 1;
        }
        for (std::size_t b = 0; b < row_has.size(); ++b) ink.rows[b] += row_has[b] ? 1 : 0;
    }
    return ink;
}

// Handles this thread's messages for `milliseconds`, counting the tick timer's.
int pump_for(int milliseconds) {
    int ticks = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < end) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_TIMER) ++ticks;
            if (message.message == WM_QUIT) continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        Sleep(5);
    }
    return ticks;
}

// Through a device taking blocks in real time: every scope draws its track's
// wave inside its box while the song plays, ticked by a timer that stops
// with the song; the scopes grow with the window. Keeps pictures of the
// window in win32-scopes.bmp (design size) and win32-scopes-large.bmp.
TEST_F(MainWindow, ScopesDrawTheTracksWhilePlaying) {
    open();
    SetWindowPos(window_, nullptr, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
    ScopeInk idle = scope_ink(window_, scope::TRACE);
    ASSERT_EQ(idle.boxes.size(), std::size_t{TRACK_COUNT});
    for (int rows : idle.rows) EXPECT_EQ(rows, 1);  // a flat line
    EXPECT_EQ(idle.outside, 0);
    EXPECT_EQ(pump_for(200), 0);

    EXPECT_TRUE(drop({write_song(L"eight.mml", EIGHT_TRACKS)}));
    EXPECT_GE(pump_for(400), 4);  // about 12 ticks
    struct Size {
        int width, height;
        const wchar_t* picture;
    };
    for (const Size size : {Size{240, 200, L"win32-scopes.bmp"}, Size{480, 400, L"win32-scopes-large.bmp"}}) {
        SCOPED_TRACE(size.width);
        SetWindowPos(window_, nullptr, 0, 0, size.width, size.height, SWP_NOMOVE | SWP_NOZORDER);
        pump_for(100);
        const ScopeInk playing = scope_ink(window_, scope::TRACE);
        ASSERT_EQ(playing.boxes.size(), std::size_t{TRACK_COUNT});
        for (int k = 0; k < TRACK_COUNT; ++k) EXPECT_GE(playing.rows[std::size_t(k)], 2) << k;
        EXPECT_EQ(playing.outside, 0);
        if (size.width == 480) {
            EXPECT_GT(playing.boxes[0].right - playing.boxes[0].left, 2 * (idle.boxes[0].right - idle.boxes[0].left));
        }
        save_screen(size.picture, size.width, size.height);
    }

    stream_->with_engine([](Engine& e) { e.muted = 0b10; });
    pump_for(100);
    const ScopeInk muted = scope_ink(window_, scope::MUTED_TRACE);
    EXPECT_EQ(std::count_if(muted.rows.begin(), muted.rows.end(), [](int rows) { return rows > 0; }), 1);
    EXPECT_GE(muted.rows[1], 2);

    key(VK_SPACE);
    EXPECT_EQ(pump_for(300), 0);
}

// The texts are painted in the system's message font, the one the window hands out.
TEST_F(MainWindow, PaintsInTheMessageFont) {
    open();
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof metrics;
    ASSERT_TRUE(SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0));
    const HFONT font = reinterpret_cast<HFONT>(SendMessageW(window_, WM_GETFONT, 0, 0));
    ASSERT_NE(font, nullptr);
    EXPECT_EQ(SendMessageW(window_, WM_GETFONT, 0, 0), reinterpret_cast<LRESULT>(font));  // made once
    LOGFONTW used{};
    ASSERT_EQ(GetObjectW(font, sizeof used, &used), int(sizeof used));
    EXPECT_STREQ(used.lfFaceName, metrics.lfMessageFont.lfFaceName);
    EXPECT_EQ(used.lfHeight, metrics.lfMessageFont.lfHeight);
    DestroyWindow(window_);
    pump();
    EXPECT_EQ(GetObjectW(font, sizeof used, &used), 0);  // released with the window
}

}  // namespace
}  // namespace bleepforge::win32
