#include "app/win32_window.h"

#include <commdlg.h>
#include <shellapi.h>

#include <atomic>
#include <memory>
#include <vector>

#include "app/win32_resource.h"

namespace bleepforge::win32 {

namespace {

constexpr int TEXT_BUFFER = 100;  // characters of a title or class name from the string table
constexpr UINT_PTR TICK_TIMER = 1;  // the controller's tick timer (Shell::set_tick_interval)

// What the text box dialog shows.
struct TextBox {
    std::wstring caption, text;
};

// An edit control's lines end in CR LF.
std::wstring with_crlf(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\n') out += L'\r';
        out += c;
    }
    return out;
}

// Closes on OK and Cancel as the about box does; only its texts are its own.
INT_PTR CALLBACK text_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message != WM_INITDIALOG) return about_dialog_proc(dialog, message, wparam, lparam);
    const auto* box = reinterpret_cast<const TextBox*>(lparam);
    SetWindowTextW(dialog, box->caption.c_str());
    SetDlgItemTextW(dialog, TEXT_BOX, with_crlf(box->text).c_str());
    return TRUE;
}

std::wstring item_text(HWND dialog, int id) {
    std::wstring text(std::size_t(GetWindowTextLengthW(GetDlgItem(dialog, id))) + 1, L'\0');
    text.resize(std::size_t(GetDlgItemTextW(dialog, id, text.data(), int(text.size()))));
    return text;
}

INT_PTR CALLBACK song_export_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* request = reinterpret_cast<SongExportRequest*>(GetWindowLongPtrW(dialog, DWLP_USER));
    switch (message) {
        case WM_INITDIALOG:
            request = reinterpret_cast<SongExportRequest*>(lparam);
            SetWindowLongPtrW(dialog, DWLP_USER, lparam);
            SetWindowTextW(dialog, utf16(request->caption).c_str());
            SetDlgItemTextW(dialog, SONG_LOOPS_LABEL, utf16(request->loops_label).c_str());
            SetDlgItemTextW(dialog, SONG_LOOPS, utf16(request->loops).c_str());
            SetDlgItemTextW(dialog, SONG_FADE_LABEL, utf16(request->fade_label).c_str());
            SetDlgItemTextW(dialog, SONG_FADE, utf16(request->fade).c_str());
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                request->loops = utf8(item_text(dialog, SONG_LOOPS));
                request->fade = utf8(item_text(dialog, SONG_FADE));
            }
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

// What the DLG_ASK_TEXT dialog shows and what it answered.
struct AskText {
    const TextRequest* request;
    std::string answer;
};

INT_PTR CALLBACK ask_text_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            SetWindowLongPtrW(dialog, DWLP_USER, lparam);
            const TextRequest& request = *reinterpret_cast<AskText*>(lparam)->request;
            SetWindowTextW(dialog, utf16(request.title).c_str());
            SetDlgItemTextW(dialog, ASK_TEXT_PROMPT, utf16(request.prompt).c_str());
            SetDlgItemTextW(dialog, ASK_TEXT_FIELD, utf16(request.initial).c_str());
            SendDlgItemMessageW(dialog, ASK_TEXT_FIELD, EM_SETSEL, 0, -1);
            SetFocus(GetDlgItem(dialog, ASK_TEXT_FIELD));
            return FALSE;  // the focus is set
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                HWND field = GetDlgItem(dialog, ASK_TEXT_FIELD);
                std::wstring typed(std::size_t(GetWindowTextLengthW(field)), L'\0');
                GetWindowTextW(field, typed.data(), int(typed.size() + 1));
                reinterpret_cast<AskText*>(GetWindowLongPtrW(dialog, DWLP_USER))->answer = utf8(typed);
            }
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

class WindowShell final : public Shell {
public:
    // Owner of the message boxes; nullptr once destroyed. Read by wake_ui on other threads.
    std::atomic<HWND> window = nullptr;

    void show_message(const std::string& text, const std::string& caption) override {
        MessageBoxW(window, utf16(text).c_str(), utf16(caption).c_str(), MB_OK);
    }

    std::filesystem::path ask_save_path(const SaveRequest& request) override {
        std::wstring filter;  // "name\0pattern\0" each, ended by the string's own \0
        for (const SaveFilter& f : request.filters) filter += utf16(f.name) + L'\0' + utf16(f.pattern) + L'\0';
        const std::wstring title = utf16(request.title);
        const std::wstring suffix = request.filters.empty() ? std::wstring() : utf16(request.filters[0].suffix);
        const std::wstring folder = request.start_folder.wstring();
        std::vector<wchar_t> file(32768, L'\0');  // room for long paths
        const std::wstring name = request.start_name.wstring();
        name.copy(file.data(), file.size() - 1);

        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = nullptr;  // the main window keeps taking drops and keys meanwhile
        dialog.lpstrFilter = filter.c_str();
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = DWORD(file.size());
        dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
        dialog.lpstrTitle = title.c_str();
        // New names are fine, an existing file is only replaced after asking,
        // and the process keeps its current directory.
        dialog.Flags = OFN_OVERWRITEPROMPT | OFN_NOCHANGEDIR;
        dialog.lpstrDefExt = suffix.c_str();
        if (!GetSaveFileNameW(&dialog)) return {};
        return std::filesystem::path(file.data());
    }

    void repaint() override {
        if (!window) return;
        InvalidateRect(window, nullptr, TRUE);
        UpdateWindow(window);
    }

    void wake_ui() override {
        if (HWND w = window) PostMessageW(w, WM_RUN_POSTED, 0, 0);
    }

    void set_title(const std::string& title) override {
        if (window) SetWindowTextW(window, utf16(title).c_str());
    }

    std::filesystem::path ask_open_path(const OpenRequest& request) override {
        std::wstring filter;
        for (const auto& [name, pattern] : request.filters) {
            // "*" would miss nothing here either, but "*.*" is what the dialog shows for all files.
            filter += utf16(name) + L'\0' + (pattern == "*" ? L"*.*" : utf16(pattern)) + L'\0';
        }
        const std::wstring title = utf16(request.title);
        const std::wstring folder = request.start_folder.wstring();
        std::vector<wchar_t> file(32768, L'\0');

        OPENFILENAMEW dialog{};
        dialog.lStructSize = sizeof dialog;
        dialog.hwndOwner = window;
        dialog.lpstrFilter = filter.c_str();
        dialog.lpstrFile = file.data();
        dialog.nMaxFile = DWORD(file.size());
        dialog.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
        dialog.lpstrTitle = title.c_str();
        dialog.Flags = OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_NOCHANGEDIR;
        if (!GetOpenFileNameW(&dialog)) return {};
        return std::filesystem::path(file.data());  // UTF-16, the file system's own name
    }

    void show_text(const std::string& text, const std::string& caption) override {
        TextBox box{utf16(caption), utf16(text)};
        DialogBoxParamW(instance, MAKEINTRESOURCEW(DLG_TEXT), window, text_dialog_proc, LPARAM(&box));
    }

    bool ask_song_export(SongExportRequest& request) override {
        return DialogBoxParamW(instance, MAKEINTRESOURCEW(DLG_SONG_EXPORT), window, song_export_dialog_proc,
                               LPARAM(&request)) == IDOK;
    }

    std::optional<std::string> ask_text(const TextRequest& request) override {
        AskText ask{&request, {}};
        if (DialogBoxParamW(instance, MAKEINTRESOURCEW(DLG_ASK_TEXT), window, ask_text_dialog_proc,
                            reinterpret_cast<LPARAM>(&ask)) != IDOK) {
            return std::nullopt;
        }
        return ask.answer;
    }

    HINSTANCE instance = nullptr;  // of the dialog resources

    void set_tick_interval(int milliseconds) override {
        if (!window) return;
        if (milliseconds > 0) {
            SetTimer(window, TICK_TIMER, UINT(milliseconds), nullptr);
        } else {
            KillTimer(window, TICK_TIMER);
        }
    }
};

// The system's message font: unlike the stock system font it is linked to a
// Japanese face on every current edition of Windows. Made once per window.
class MessageFont {
public:
    MessageFont() {
        NONCLIENTMETRICSW metrics{};
        metrics.cbSize = sizeof metrics;
        if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0)) {
            font_ = CreateFontIndirectW(&metrics.lfMessageFont);
        }
    }
    ~MessageFont() {
        if (font_) DeleteObject(font_);
    }
    MessageFont(const MessageFont&) = delete;
    MessageFont& operator=(const MessageFont&) = delete;
    // Null when it could not be made: the DC's own font is used then.
    HFONT get() const { return font_; }

private:
    HFONT font_ = nullptr;
};

// What one main window needs. The window owns it from WM_NCCREATE on; it is
// deleted after WM_NCDESTROY once no handler of the window is still running
// (the ownerless Save dialog lets the window be closed from inside write_out).
struct WindowState {
    WindowState(HINSTANCE instance, AudioStream& stream) : instance(instance), controller(stream, shell) {
        shell.instance = instance;
    }

    HINSTANCE instance;
    MessageFont font;
    WindowShell shell;
    Controller controller;
    int handlers_running = 0;
    bool destroyed = false;
};

WindowState* state_of(HWND window) {
    return reinterpret_cast<WindowState*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

std::wstring load_text(HINSTANCE instance, UINT id) {
    wchar_t text[TEXT_BUFFER] = {};
    LoadStringW(instance, id, text, TEXT_BUFFER);
    return text;
}

std::vector<DroppedFile> dropped_files(HDROP drop) {
    std::vector<DroppedFile> files(DragQueryFileW(drop, 0xFFFFFFFF, nullptr, 0));
    for (UINT i = 0; i < files.size(); ++i) {
        std::wstring path(DragQueryFileW(drop, i, nullptr, 0), L'\0');
        DragQueryFileW(drop, i, path.data(), UINT(path.size() + 1));
        files[i].path = path;
    }
    return files;
}

KeyKind key_kind(WPARAM virtual_key) {
    // Keys held with Alt, Alt itself and F10 arrive as WM_SYSKEYDOWN and go to the menu.
    if (virtual_key == 'P') return KeyKind::P;
    if (virtual_key == 'R') return KeyKind::R;
    return KeyKind::OTHER;
}

void draw_line(HDC dc, RECT client, int line_height, const PaintLine& line) {
    const std::wstring text = utf16(line.text);
    if (line.place == PaintLine::Place::CENTRED_ROW) {
        RECT row = client;
        row.top += line.row * line_height;
        DrawTextW(dc, text.c_str(), int(text.size()), &row, DT_CENTER);
    } else {
        TextOutW(dc, line.x, line.y, text.c_str(), int(text.size()));
    }
}

void draw_polyline(HDC dc, const Polyline& line) {
    std::vector<POINT> points(line.points.size());
    for (std::size_t i = 0; i < points.size(); ++i) points[i] = {line.points[i].x, line.points[i].y};
    HPEN pen = CreatePen(PS_SOLID, 1, RGB(line.colour.r, line.colour.g, line.colour.b));
    HGDIOBJ old = SelectObject(dc, pen);
    ::Polyline(dc, points.data(), int(points.size()));
    SelectObject(dc, old);
    DeleteObject(pen);
}

// Paints the whole client area into a bitmap first and copies it in one go,
// so the scopes' many repaints do not flicker.
void paint(HWND window, WindowState& state) {
    PAINTSTRUCT ps;
    HDC window_dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    HDC dc = CreateCompatibleDC(window_dc);
    HBITMAP bitmap = CreateCompatibleBitmap(window_dc, client.right, client.bottom);
    HGDIOBJ old_bitmap = SelectObject(dc, bitmap);
    HGDIOBJ old_font = state.font.get() ? SelectObject(dc, state.font.get()) : nullptr;
    FillRect(dc, &client, GetSysColorBrush(COLOR_WINDOW));
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    TEXTMETRICW metrics{};
    GetTextMetricsW(dc, &metrics);

    Controller& controller = state.controller;
    for (const WindowLine& line : controller.layout(client.right, client.bottom, metrics.tmHeight)) {
        const std::wstring text = utf16(line.text);
        RECT box{line.x, line.y, line.x + line.width, line.y + line.height};
        const UINT align = line.centred ? DT_CENTER : DT_LEFT;
        DrawTextW(dc, text.c_str(), int(text.size()), &box, align | DT_TOP | DT_SINGLELINE | DT_NOPREFIX | DT_NOCLIP);
    }
    const ScopePicture scopes = controller.scope_picture(client.right, client.bottom, metrics.tmHeight);
    for (const PaintLine& label : scopes.labels) draw_line(dc, client, metrics.tmHeight, label);
    for (const Polyline& line : scopes.lines) draw_polyline(dc, line);

    BitBlt(window_dc, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    if (old_font) SelectObject(dc, old_font);
    SelectObject(dc, old_bitmap);
    DeleteObject(bitmap);
    DeleteDC(dc);
    EndPaint(window, &ps);
}

// "開く..." before the design's items of "ﾌｧｲﾙ".
void add_open_item(HMENU file) {
    InsertMenuW(file, 0, MF_BYPOSITION | MF_STRING, CMD_OPEN, utf16(text::MENU_OPEN).c_str());
}

// "曲を書き出し..." and "書き出し中止" right after the design's export.
void add_song_export_items(HMENU file) {
    InsertMenuW(file, CMD_EXIT, MF_BYCOMMAND | MF_STRING, CMD_EXPORT_SONG, utf16(text::MENU_EXPORT_SONG).c_str());
    InsertMenuW(file, CMD_EXIT, MF_BYCOMMAND | MF_STRING, CMD_STOP_EXPORT, utf16(text::MENU_STOP_EXPORT).c_str());
}

// "警告を表示" last in "music".
void add_warnings_item(HMENU music) {
    AppendMenuW(music, MF_STRING, CMD_SHOW_WARNINGS, utf16(text::MENU_SHOW_WARNINGS).c_str());
}

// "保存したら再生" and "途中から再生..." at the end of "music", and the
// "トラック" pop-up after it: track digits that mute, then "ミュート全解除".
void add_loop_menus(HMENU bar) {
    const int MUSIC = 1;
    HMENU music = GetSubMenu(bar, MUSIC);
    AppendMenuW(music, MF_STRING, CMD_PLAY_ON_SAVE, utf16(text::MENU_PLAY_ON_SAVE).c_str());
    AppendMenuW(music, MF_STRING, CMD_PLAY_FROM, utf16(text::MENU_PLAY_FROM).c_str());
    HMENU tracks = CreatePopupMenu();
    for (int k = 0; k < TRACK_COUNT; ++k) {
        AppendMenuW(tracks, MF_STRING, CMD_MUTE_TRACK + k, std::to_wstring(k).c_str());
    }
    AppendMenuW(tracks, MF_STRING, CMD_UNMUTE_ALL, utf16(text::MENU_UNMUTE_ALL).c_str());
    InsertMenuW(bar, MUSIC + 1, MF_BYPOSITION | MF_POPUP | MF_STRING, reinterpret_cast<UINT_PTR>(tracks),
                utf16(text::MENU_TRACKS).c_str());
}

// The check marks show the controller's state whenever a pop-up opens.
void check_loop_items(HMENU popup, const Controller& controller) {
    auto mark = [](bool on) { return UINT(MF_BYCOMMAND | (on ? MF_CHECKED : MF_UNCHECKED)); };
    CheckMenuItem(popup, CMD_PLAY_ON_SAVE, mark(controller.play_on_save()));
    for (int k = 0; k < TRACK_COUNT; ++k) CheckMenuItem(popup, CMD_MUTE_TRACK + k, mark(controller.muted(k)));
}

// The commands of the loop's items; false for any other.
bool loop_command(Controller& controller, WORD id) {
    if (id >= CMD_MUTE_TRACK && id < CMD_MUTE_TRACK + TRACK_COUNT) {
        controller.toggle_mute(id - CMD_MUTE_TRACK);
        return true;
    }
    switch (id) {
        case CMD_PLAY_ON_SAVE: controller.toggle_play_on_save(); return true;
        case CMD_PLAY_FROM: controller.play_from(); return true;
        case CMD_UNMUTE_ALL: controller.unmute_all(); return true;
        default: return false;
    }
}

// One message of a live window; returns false for what DefWindowProcW handles.
bool handle(HWND window, WindowState& state, UINT message, WPARAM wparam, LRESULT& result) {
    Controller& controller = state.controller;
    result = 0;
    switch (message) {
        case WM_CREATE:
            DragAcceptFiles(window, TRUE);
            add_open_item(GetSubMenu(GetMenu(window), 0));
            add_song_export_items(GetSubMenu(GetMenu(window), 0));
            add_loop_menus(GetMenu(window));
            add_warnings_item(GetSubMenu(GetMenu(window), 1));
            return true;
        case WM_INITMENUPOPUP: check_loop_items(reinterpret_cast<HMENU>(wparam), controller); return true;
        case WM_DESTROY:
            controller.window_closed();
            PostQuitMessage(0);
            return true;
        case WM_PAINT: paint(window, state); return true;
        case WM_ERASEBKGND: result = 1; return true;  // the paint covers every pixel
        case WM_GETFONT: result = reinterpret_cast<LRESULT>(state.font.get()); return true;
        case WM_TIMER:
            if (wparam != TICK_TIMER) return false;
            controller.tick();
            return true;
        case WM_RUN_POSTED: controller.run_posted(); return true;
        case WM_KEYDOWN: controller.key_down(key_kind(wparam)); return true;
        case WM_LBUTTONDOWN: controller.left_button(); return true;
        case WM_RBUTTONDOWN: controller.right_button(); return true;
        case WM_DROPFILES: {
            const HDROP drop = reinterpret_cast<HDROP>(wparam);
            const std::vector<DroppedFile> files = dropped_files(drop);
            DragFinish(drop);
            controller.drop(files);
            return true;
        }
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case CMD_ABOUT:
                    DialogBoxParamW(state.instance, MAKEINTRESOURCEW(DLG_ABOUT), window, about_dialog_proc, 0);
                    return true;
                case CMD_EXIT: DestroyWindow(window); return true;
                case CMD_STOP: controller.stop(); return true;
                case CMD_RELOAD_PLAY: controller.reload_play(); return true;
                case CMD_RECORD_ON: controller.record_on(); return true;
                case CMD_WRITE_OUT: controller.write_out(); return true;
                case CMD_OPEN: controller.open_file(); return true;
                case CMD_SHOW_WARNINGS: controller.show_warnings(); return true;
                case CMD_EXPORT_SONG: controller.export_song(); return true;
                case CMD_STOP_EXPORT: controller.stop_song_export(); return true;
                default: return loop_command(controller, LOWORD(wparam));
            }
        default: return false;
    }
}

}  // namespace

std::wstring utf16(std::string_view text) {
    if (text.empty()) return {};
    std::wstring wide(MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), wide.data(), int(wide.size()));
    return wide;
}

std::string utf8(std::wstring_view text) {
    if (text.empty()) return {};
    std::string narrow(
        WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), narrow.data(), int(narrow.size()), nullptr,
                        nullptr);
    return narrow;
}

void register_main_window_class(HINSTANCE instance) {
    const std::wstring class_name = load_text(instance, STR_CLASS);
    WNDCLASSEXW window_class{};
    window_class.cbSize = sizeof window_class;
    window_class.style = CS_HREDRAW | CS_VREDRAW;
    window_class.lpfnWndProc = main_window_proc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(ICON_MAIN));
    window_class.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    window_class.lpszMenuName = MAKEINTRESOURCEW(RES_MAIN);
    window_class.lpszClassName = class_name.c_str();
    window_class.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(ICON_SMALL), IMAGE_ICON,
                                                         GetSystemMetrics(SM_CXSMICON),
                                                         GetSystemMetrics(SM_CYSMICON), LR_DEFAULTCOLOR));
    RegisterClassExW(&window_class);
}

HWND create_main_window(HINSTANCE instance, AudioStream& stream) {
    const std::wstring class_name = load_text(instance, STR_CLASS);
    const std::wstring title = load_text(instance, STR_TITLE);
    // Handed over to the window in WM_NCCREATE; freed here if that never comes.
    auto state = std::make_unique<WindowState>(instance, stream);
    return CreateWindowExW(0, class_name.c_str(), title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, 240, 200,
                           nullptr, nullptr, instance, &state);
}

Controller* controller_of(HWND window) {
    if (reinterpret_cast<WNDPROC>(GetWindowLongPtrW(window, GWLP_WNDPROC)) != main_window_proc) return nullptr;
    WindowState* state = state_of(window);
    return state ? &state->controller : nullptr;
}

int run_message_loop(HINSTANCE instance) {
    const HACCEL accelerators = LoadAcceleratorsW(instance, MAKEINTRESOURCEW(RES_MAIN));
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        if (!TranslateAcceleratorW(message.hwnd, accelerators, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
    return int(message.wParam);
}

LRESULT CALLBACK main_window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
        auto* holder = static_cast<std::unique_ptr<WindowState>*>(
            reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
        WindowState* state = holder->release();
        state->shell.window = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(state));
    }
    WindowState* state = state_of(window);
    if (!state) return DefWindowProcW(window, message, wparam, lparam);

    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        state->shell.window = nullptr;
        state->destroyed = true;
        if (state->handlers_running == 0) delete state;
        return DefWindowProcW(window, message, wparam, lparam);
    }

    ++state->handlers_running;
    LRESULT result;
    const bool handled = handle(window, *state, message, wparam, result);
    if (--state->handlers_running == 0 && state->destroyed) delete state;
    return handled ? result : DefWindowProcW(window, message, wparam, lparam);
}

INT_PTR CALLBACK about_dialog_proc(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK || LOWORD(wparam) == IDCANCEL) {
                EndDialog(dialog, LOWORD(wparam));
                return TRUE;
            }
            return FALSE;
        default: return FALSE;
    }
}

}  // namespace bleepforge::win32
