// The player's user commands, shared by every window shell (Qt, Win32): what a
// drop, a key, a click or a menu item does, what the window paints and how a
// capture is exported. A shell translates its events into these calls and
// paints what `paint_lines` returns; it decides nothing itself.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/scope.h"
#include "audio/stream.h"
#include "mml/check.h"

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
// The window's own additions beside the design's texts.
inline constexpr char APP_NAME[] = "bleepforge";  // the title before the first song, and after " - "
inline constexpr char PLAYING[] = "再生中";
inline constexpr char STOPPED[] = "停止中";
inline constexpr char LOOP[] = "ループ";
inline constexpr char WARNINGS_BEFORE[] = "警告 ";  // "警告 3件"
inline constexpr char WARNINGS_AFTER[] = "件";
inline constexpr char RECORDED[] = "録音";
inline constexpr char STOP_BEFORE_WRITING[] = "演奏を止めてから書き出してね";
inline constexpr char NOTHING_RECORDED[] = "録音データがないよ";
inline constexpr char NOT_A_LOCAL_FILE[] = "is not a file of this computer";
inline constexpr char OPEN_TITLE[] = "とっととファイルを選べ。";
inline constexpr char OPEN_FILTER_NAME[] = "mml file";
inline constexpr char OPEN_FILTER_PATTERN[] = "*.mml";
inline constexpr char ALL_FILTER_NAME[] = "all files";
inline constexpr char ALL_FILTER_PATTERN[] = "*";
inline constexpr char MENU_OPEN[] = "開く...";  // first in "ﾌｧｲﾙ"
inline constexpr char MENU_SHOW_WARNINGS[] = "警告を表示";  // last in "music"
inline constexpr char WARNINGS_CAPTION[] = "警告";
inline constexpr char NO_WARNINGS[] = "警告はないよ";
inline constexpr char STILL_CHECKING[] = "まだ調べてるよ。ちょっと待ってね";
inline constexpr char NO_SONG_YET[] = "曲がまだないよ";
inline constexpr char MENU_EXPORT_SONG[] = "曲を書き出し...";  // after the design's export in "ﾌｧｲﾙ"
inline constexpr char MENU_STOP_EXPORT[] = "書き出し中止";     // right after it
inline constexpr char EXPORT_SONG_CAPTION[] = "曲を書き出し";
inline constexpr char EXPORT_LOOPS_LABEL[] = "ループ回数";
inline constexpr char EXPORT_FADE_LABEL[] = "フェード（秒）";
inline constexpr char EXPORT_BAD_NUMBERS[] = "ループ回数は1以上の整数、フェードは0以上の秒数で書いてね";
inline constexpr char EXPORT_BUSY[] = "いま曲を書き出し中だよ。終わるか中止するまで待ってね";
inline constexpr char EXPORTING_SONG[] = "曲を書き出し中";
inline constexpr char IS_THE_SONG_ITSELF[] = "is the song file itself";
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

// How the shell's Open dialog is to be set up.
struct OpenRequest {
    std::string title;
    std::vector<std::pair<std::string, std::string>> filters;  // description and pattern, the first one chosen
    std::filesystem::path start_folder;                        // empty: the shell's choice
};

// The song export's small dialog: two labelled fields, filled with their
// defaults; the shell puts back what the user typed.
struct SongExportRequest {
    std::string caption;
    std::string loops_label, fade_label;
    std::string loops, fade;
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
    // STACKED: one row each, in order, under the design's fixed places (the
    // lines the window adds to the design's; adding one is one entry).
    enum class Place { CENTRED_ROW, AT, STACKED } place;
    int row = 0;       // CENTRED_ROW: line index from the top, 0 = top line, centred across the width
    int x = 0, y = 0;  // AT: top-left corner of the text in pixels
};

// A line placed in pixels by Controller::layout: the shell draws `text` in the
// box at (x, y) of width x height, single line, left-aligned or centred.
struct WindowLine {
    std::string text;
    int x = 0, y = 0, width = 0, height = 0;
    bool centred = false;
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

    // Shows `title` as the window's title.
    virtual void set_title(const std::string& title) { (void)title; }
    // Runs the Open dialog for an existing file; returns the path as the file
    // system names it, or an empty path when cancelled.
    virtual std::filesystem::path ask_open_path(const OpenRequest& request) {
        (void)request;
        return {};
    }
    // A modal box showing `text` (lines ended by "\n") read-only in a
    // multi-line text box the user can select and copy from, with an OK button.
    virtual void show_text(const std::string& text, const std::string& caption) { show_message(text, caption); }
    // Runs the song export's dialog; false when cancelled.
    virtual bool ask_song_export(SongExportRequest& request) {
        (void)request;
        return false;
    }
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

    // The window title: "song.mml - bleepforge" for the song last loaded, "bleepforge" before.
    std::string title() const;
    // Every line to paint, placed in a client area of `width` x `height`
    // pixels whose font is `line_height` pixels high.
    std::vector<WindowLine> layout(int width, int height, int line_height);
    // The status line: playing or stopped, time played, loops, warnings and
    // the captured length; empty before the first song.
    std::string status_text();
    // "開く...": runs the Open dialog and loads the chosen file as a drop does.
    void open_file();
    // "警告を表示": lists the loaded song's warnings in a box whose text can be copied.
    void show_warnings();
    // The checker's warning count for the song last loaded; -1 while it runs or before a song.
    long warning_count();
    // "曲を書き出し...": asks loops and fade, then a file, and renders the song
    // last loaded (as read then, with the current mutes) to it on a worker
    // thread, exactly as bleepforge-render SONG --loops N --fade F does, while
    // a progress line shows. A second one while it runs is refused, saying so.
    void export_song();
    // "書き出し中止": ends a song export early; its file is not written.
    void stop_song_export();
    bool song_exporting() const { return song_export_.joinable(); }
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

    // After every start of a song read from `path`: title, timer, check.
    void song_started(const std::filesystem::path& path, std::shared_ptr<const std::string> bytes);
    void song_loaded(const std::filesystem::path& path);
    std::string song_name_;  // file name of the song last loaded, UTF-8; empty before

    // The checker runs on a thread of its own, one song at a time: a song
    // handed over while it is busy waits, replacing any that waited before,
    // so a load never waits for a check. The result is left in this mailbox
    // (the only controller state another thread writes), where the status
    // timer finds it.
    void start_check(std::shared_ptr<const std::string> bytes);
    void end_checker();
    void run_checker();
    std::thread checker_;
    std::mutex check_mutex_;
    std::condition_variable check_wanted_;
    std::shared_ptr<const std::string> check_next_;    // waiting to be checked; null: none
    std::uint64_t check_serial_ = 0;                   // songs handed over so far
    bool check_quit_ = false;
    std::shared_ptr<const CheckResult> check_result_;  // of the latest song; null while checking or before a song
    std::shared_ptr<const std::string> song_bytes_;   // the song last loaded, as read

    void song_export_finished(const std::filesystem::path& target, bool written, bool stopped,
                              const std::string& reason);
    std::string song_export_progress() const;
    std::thread song_export_;
    std::atomic<bool> stop_song_export_{false};
    std::atomic<std::uint32_t> song_export_frames_{0};  // written by the worker, read for the progress line
    std::atomic<int> song_export_loops_{0};
    int song_export_loop_target_ = 0;
};

// The song export's two fields, as typed: loops a whole number from 1, fade
// seconds from 0. False when either is not.
bool parse_song_export(const std::string& loops_text, const std::string& fade_text, int& loops, double& fade);

// `frames` of the sample rate as "m:ss", rounded down.
std::string minutes_seconds(std::uint64_t frames);

// `path` as UTF-8 text for messages and the title.
std::string utf8_text(const std::filesystem::path& path);

// `seconds` as the window shows a start point: "0:05", "1:30", "1:30.25" (to the millisecond).
std::string format_time(double seconds);

// The Save dialog's file types: "wave file" first, then each other format
// this build writes ("FLAC file", "*.flac", "flac"; ...).
std::vector<SaveFilter> save_filters();

// `path` with ".wav" added when it has no extension.
std::filesystem::path with_wav_extension(const std::filesystem::path& path);

}  // namespace bleepforge
