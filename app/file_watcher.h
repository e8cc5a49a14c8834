// Watches one file for saves: one report per save, once the file has held
// still, whichever way the editor wrote it (in place, a new file renamed over
// it, delete and recreate). Knows nothing of the engine or of Qt, so the
// window and bleepforge-render --watch share it.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <thread>

namespace bleepforge {

class FileWatcher {
public:
    enum class Backend {
        NATIVE,   // the folder's change notices (inotify, ReadDirectoryChangesW); POLLING where there are none
        POLLING,  // size, modification time and file identity sampled every POLL_INTERVAL
    };

    // A save is reported once size, modification time and identity have not
    // changed, and no change notice has named the file, for SETTLE.
    static constexpr std::chrono::milliseconds SETTLE{100};
    static constexpr std::chrono::milliseconds POLL_INTERVAL{50};

    // Watches `file` from its state now: only later changes are reported. The
    // file need not exist yet; its folder should (else POLLING is used).
    explicit FileWatcher(std::filesystem::path file, Backend backend = Backend::NATIVE);
    ~FileWatcher();  // stop()
    FileWatcher(const FileWatcher&) = delete;
    FileWatcher& operator=(const FileWatcher&) = delete;

    const std::filesystem::path& file() const { return file_; }
    // The backend in use: NATIVE turns into POLLING when the platform refuses
    // the folder watch, at construction or later (folder deleted or moved).
    Backend backend() const;

    // Blocks the calling thread until a save has settled (true), `timeout`
    // passed or cancel() was called (false). A save still settling at the
    // timeout is reported by the next wait(). Not together with start().
    bool wait(std::chrono::milliseconds timeout);

    // Calls `on_change` on a thread of the watcher once per settled save, until
    // stop(). Keep it short (e.g. post an event to a UI thread); the file has
    // held still when it runs. Call at most once.
    void start(std::function<void()> on_change);

    // Ends all waiting for good: wait() returns false now and from then on, and
    // the thread of start() ends. Safe from a signal or console control handler.
    void cancel() noexcept;

    // cancel(), then joins the thread of start(): on return `on_change` is not
    // running and is not called again. Takes milliseconds. Idempotent; never
    // call it from `on_change`.
    void stop();

private:
    struct Impl;
    std::filesystem::path file_;
    std::unique_ptr<Impl> impl_;
    std::thread thread_;
};

}  // namespace bleepforge
