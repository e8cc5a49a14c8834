// The player's user commands, shared by every window shell (Qt, Win32): what a
// drop, a key, a click or a menu item does, what the window paints and how a
// capture is exported. A shell translates its events into these calls and
// paints what `paint_lines` returns; it decides nothing itself.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/scope.h"
#include "audio/stream.h"

namespace bleepforge {

class FileWatcher;
struct PreparedSong;

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
// The composer's loop: play on save, start points, mutes.
inline constexpr char MENU_PLAY_ON_SAVE[] = "保存したら再生";
inline constexpr char MENU_PLAY_FROM[] = "途中から再生...";
inline constexpr char MENU_TRACKS[] = "トラック";
inline constexpr char MENU_UNMUTE_ALL[] = "ミュート全解除";
inline constexpr char PLAY_FROM_TITLE[] = "途中から再生";
inline constexpr char PLAY_FROM_PROMPT[] = "どこから？ 秒か 分:秒で（0 で最初から）";
inline constexpr char BAD_TIME[] = "時間が読めないよ";
inline constexpr char TIME_EXAMPLES[] = "90 とか 1:30.5 みたいに書いてね";
inline constexpr char STARTS_FROM[] = "途中から ";  // followed by the start point, "途中から 1:30"
inline constexpr char PAST_THE_END[] = "曲はそこまでないよ";
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

// How the shell's one-line text dialog is to be set up.
struct TextRequest {
    std::string title;    // dialog caption
    std::string prompt;   // label above the field
    std::string initial;  // text filled in, selected
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
    // A small modal dialog with a one-line field, OK and Cancel; returns the
    // field's text, or nothing when cancelled.
    virtual std::optional<std::string> ask_text(const TextRequest&) { return std::nullopt; }
    // From now on calls Controller::tick() every `milliseconds` from the
    // event loop; 0 stops the calls.
    virtual void set_tick_interval(int /*milliseconds*/) {}
};

// What the track scopes add to the paint: their labels, painted as the lines
// are, then their frames and traces, in order.
struct ScopePicture {
    std::vector<PaintLine> labels;
    std::vector<Polyline> lines;
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
    // Reads the remembered file again and starts it from the beginning (from
    // the start point once play_from set one); a file that cannot be read
    // leaves everything playing as it was and says so. Nothing when no file
    // has been dropped. Drops and reloads are ignored while the Save dialog is
    // open and until the export has been written, so the capture being saved
    // stays as it is.
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

    // "途中から再生...": asks for a start point (the last one filled in), then
    // plays the remembered file from there. P and play on save start there too
    // until it is set back to 0; the window shows it. A text that is not a time
    // says so in a message box and changes nothing.
    void play_from();
    // The start point in seconds; 0: the song's start.
    double start_seconds() const { return start_seconds_; }

    // "保存したら再生", off at start: while on, each settled save of the
    // remembered file reloads it as P does (from the start point). A save that
    // cannot be read keeps the song playing and paints a line until the next
    // good load. A save while an export runs reloads once the export ended.
    void toggle_play_on_save();
    bool play_on_save() const { return play_on_save_; }

    // "トラック": track 0..7 muted or not, from the next block on; mutes stay
    // across loads. A muted track still plays silently, so the others sound as in the full mix.
    void toggle_mute(int track);
    void unmute_all();
    bool muted(int track) const { return (muted_ >> track) & 1u; }
    // How often the scopes are redrawn while anything plays: about 30 times a second.
    static constexpr int TICK_MS = 33;
    // The track scopes in a client area of `width` x `height` pixels whose
    // font's lines are `line_height` high: below every painted line, in the
    // space left. Each shows its track's output as the device has it now;
    // flat while nothing plays, greyed while the track is muted.
    ScopePicture scope_picture(int width, int height, int line_height);
    // The tick timer fired: the scopes are redrawn.
    void tick();

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

    void start_song(const PreparedSong& song);
    void watch_remembered();
    void file_saved();
    void end_export();
    void apply_mutes();

    double start_seconds_ = 0;
    bool play_on_save_ = false;
    bool reload_pending_ = false;  // a save came while exporting_
    std::string load_problem_;     // line painted after a load that did not play as asked; empty: none
    std::uint8_t muted_ = 0;       // bit k: track k muted
    std::uint64_t watch_generation_ = 0;  // notices of an older watcher are dropped
    std::unique_ptr<FileWatcher> watcher_;
    // Starts the tick timer when anything plays and stops it when nothing does.
    void follow_playing();
    bool ticking_ = false;       // the shell's tick timer runs: something plays
    bool traces_drawn_ = false;  // the latest picture drew live traces, not flat lines
};

// `seconds` as the window shows a start point: "0:05", "1:30", "1:30.25" (to the millisecond).
std::string format_time(double seconds);

// The Save dialog's file types: "wave file" first, then each other format
// this build writes ("FLAC file", "*.flac", "flac"; ...).
std::vector<SaveFilter> save_filters();

// `path` with ".wav" added when it has no extension.
std::filesystem::path with_wav_extension(const std::filesystem::path& path);

}  // namespace bleepforge
