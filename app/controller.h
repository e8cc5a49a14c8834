// The player's user commands, shared by every window shell (Qt, Win32): what a
// drop, a key, a click or a menu item does, what the window paints and how a
// capture is exported. A shell translates its events into these calls and
// paints what `paint_lines` returns; it decides nothing itself.
#pragma once

#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "audio/stream.h"

namespace bleepforge {

// Every text the user sees from the controller (UTF-8).
namespace text {
inline constexpr char HINT[] = "mmlファイルをドラッグ";
inline constexpr char RECORDING[] = "録音モード";
inline constexpr char NO_DEVICE[] = "音が出ないよ（デバイスなし）";
inline constexpr char DEVICE_STALLED[] = "音が止まったよ（デバイス無反応）";
inline constexpr char DROP_REFUSED[] = "ファイル受け入れ失敗";
inline constexpr char DROP_REFUSED_CAPTION[] = "えらー";
inline constexpr char READ_FAILED[] = "ファイル読めなかったよ";
inline constexpr char READ_FAILED_CAPTION[] = "x";
inline constexpr char WRITE_FAILED[] = "ファイル書けなかったよ";
inline constexpr char SAVING[] = "保存中...";
inline constexpr char NO_CAPTURE_MEMORY[] = "録音用のメモリが足りないよ。録音モードにできなかった";
inline constexpr char ERROR_CAPTION[] = "えらー";
inline constexpr char SAVE_TITLE[] = "とっととファイルを選べ。";
inline constexpr char SAVE_FILTER_NAME[] = "wave file";
inline constexpr char SAVE_FILTER_PATTERN[] = "*.wav";
}  // namespace text

// One file type the Save dialog offers.
struct SaveFilter {
    std::string name;     // description, e.g. "wave file"
    std::string pattern;  // e.g. "*.wav"
    std::string suffix;   // appended to a name typed without an extension while chosen, no dot
};

// How the shell's Save dialog is to be set up.
struct SaveRequest {
    std::string title;                  // dialog caption
    std::vector<SaveFilter> filters;    // offered in this order, the first chosen at first
    std::filesystem::path start_folder; // folder the dialog opens in
    std::filesystem::path start_name;   // file name filled in, may be empty
};

// A dropped item: a path of this machine, or (local == false) something that
// is not a local file, such as a URL, with its text in `path`.
struct DroppedFile {
    std::filesystem::path path;
    bool local = true;
};

// One line the window paints in its client area (below any menu bar), in the
// window's font.
struct PaintLine {
    std::string text;
    enum class Place { CENTRED_ROW, AT } place;
    int row = 0;       // CENTRED_ROW: line index from the top, 0 = top line, centred across the width
    int x = 0, y = 0;  // AT: top-left corner of the text in pixels
};

// What only a window shell can do. Called on the UI thread.
class Shell {
public:
    virtual ~Shell() = default;
    // A modal message box with an OK button, owned by the main window.
    virtual void show_message(const std::string& text, const std::string& caption) = 0;
    // Runs the Save dialog and returns the chosen path, or an empty path when
    // cancelled. The dialog accepts new names, adds the chosen filter's suffix
    // to a name typed without an extension and asks before naming an existing file.
    virtual std::filesystem::path ask_save_path(const SaveRequest& request) = 0;
    // Repaints the whole client area now.
    virtual void repaint() = 0;
    // Arranges for Controller::run_posted() to be called soon on the UI
    // thread, from its event loop. The only member called from any thread.
    virtual void wake_ui() = 0;
};

enum class KeyKind {
    P,       // the P key, with or without Shift or Ctrl
    R,       // the R key, with or without Shift or Ctrl
    SYSTEM,  // a key held with Alt, Alt itself or F10: it belongs to the menu
    OTHER,   // every other key, modifiers and space included
};

class Controller {
public:
    // Both must outlive the controller. All calls run on the UI thread.
    Controller(AudioStream& stream, Shell& shell);
    ~Controller();
    Controller(const Controller&) = delete;
    Controller& operator=(const Controller&) = delete;

    // Queues `call` for the UI thread and wakes it through the shell; any thread.
    void post(std::function<void()> call);
    // Runs the calls queued so far, in order; the shell calls it on the UI thread when woken.
    void run_posted();

    // A drop of `files`: more than one is refused with a message box; one is
    // remembered and loaded as by reload_play.
    void drop(const std::vector<DroppedFile>& files);
    // Reads the remembered file again and starts it from the beginning; a file
    // that cannot be read leaves everything playing as it was and says so.
    // Nothing when no file has been dropped. Drops and reloads are ignored
    // while the Save dialog is open and until the export has been written, so
    // the capture being saved stays as it is.
    void reload_play();
    // Stops every track.
    void stop();
    // Switches recording mode on with an empty capture and repaints; says so
    // when the capture cannot be allocated. Nothing when already on.
    void record_on();
    // Writes the capture as a file chosen in the Save dialog, in the format its
    // extension names (WAV for any other name; FLAC, Ogg Vorbis, Opus and MP3
    // where this build writes them), when
    // recording is on, something is captured and no track plays; else nothing.
    // The write runs on a worker thread while the window paints "保存中...";
    // it ends in a posted call, so drops, reloads and exports are refused
    // until the UI thread has run it. The file is replaced only once
    // complete; a failed write says so.
    void write_out();
    // Waits for a write in progress, then ends streaming for good; for the
    // main window's destruction.
    void window_closed();

    void key_down(KeyKind key);  // P reload_play, R record_on, SYSTEM nothing, OTHER stop
    void right_button();         // stop
    void left_button();          // nothing

    // The lines to paint, top to bottom.
    std::vector<PaintLine> paint_lines();

    // The last dropped path (kept even when it could not be read); empty before the first drop.
    const std::filesystem::path& remembered_path() const { return remembered_.path; }
    // The last path chosen for a capture (with ".wav" added), where the next
    // Save dialog opens; empty before the first export.
    const std::filesystem::path& save_path() const { return save_path_; }

private:
    void load(const DroppedFile& file);
    void write_finished(const std::filesystem::path& target, bool written, const std::string& reason);

    AudioStream& stream_;
    Shell& shell_;
    DroppedFile remembered_;
    std::filesystem::path save_path_;
    bool exporting_ = false;  // the Save dialog is open or the write runs: no song may start meanwhile
    bool saving_ = false;     // the worker writes the capture
    std::thread writer_;
    std::mutex posted_mutex_;
    std::deque<std::function<void()>> posted_;
};

// The Save dialog's file types: "wave file" first, then each other format
// this build writes ("FLAC file", "*.flac", "flac"; ...).
std::vector<SaveFilter> save_filters();

// `path` with ".wav" added when it has no extension.
std::filesystem::path with_wav_extension(const std::filesystem::path& path);

}  // namespace bleepforge
