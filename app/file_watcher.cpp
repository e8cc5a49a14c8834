#include "app/file_watcher.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
#ifdef BLEEPFORGE_INOTIFY
#include <sys/inotify.h>
#endif

namespace bleepforge {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

// While a change settles the file is sampled this often.
constexpr milliseconds SETTLE_CHECK = FileWatcher::SETTLE / 4;
// With notices and nothing pending there is nothing to sample; wake now and
// then anyway so a deadline far away is no special case.
constexpr milliseconds IDLE_WAIT{60'000};

// What the file looks like from outside, without opening it.
struct Stamp {
    bool exists = false;
    std::uint64_t size = 0;      // bytes
    std::int64_t mtime = 0;      // ns since the epoch (POSIX), 100 ns ticks (Windows)
    std::uint64_t identity = 0;  // inode (POSIX), creation time (Windows): tells a new file from the old
    std::uint64_t device = 0;    // POSIX only

    bool operator==(const Stamp&) const = default;
};

#ifdef _WIN32
Stamp stamp_of(const fs::path& file) {
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(file.c_str(), GetFileExInfoStandard, &data) ||
        (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        return {};
    }
    auto join = [](DWORD high, DWORD low) { return (std::uint64_t(high) << 32) | low; };
    return {true, join(data.nFileSizeHigh, data.nFileSizeLow),
            std::int64_t(join(data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime)),
            join(data.ftCreationTime.dwHighDateTime, data.ftCreationTime.dwLowDateTime), 0};
}
#else
Stamp stamp_of(const fs::path& file) {
    struct stat st;
    if (::stat(file.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return {};
    return {true, std::uint64_t(st.st_size), std::int64_t(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            std::uint64_t(st.st_ino), std::uint64_t(st.st_dev)};
}
#endif

enum class Notice {
    NONE,       // the timeout passed
    CANCELLED,  // cancel() was called
    OTHER,      // something else in the folder changed
    FILE,       // a notice named the file, or notices were lost
};

#ifdef _WIN32
// The cancel event and, for NATIVE, ReadDirectoryChangesW on the folder.
class Notices {
public:
    Notices(const fs::path& file, bool native) : name_(file.filename().wstring()) {
        wake_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (native) watch(file.parent_path());
    }
    ~Notices() {
        unwatch();
        if (wake_) CloseHandle(wake_);
    }

    bool native() const { return native_.load(); }
    void cancel() noexcept {
        if (wake_) SetEvent(wake_);
    }

    Notice wait(milliseconds timeout) {
        if (!wake_) timeout = std::min(timeout, FileWatcher::POLL_INTERVAL);
        HANDLE handles[2] = {wake_, done_};
        HANDLE* first = wake_ ? handles : handles + 1;
        DWORD count = DWORD(handles + (native() ? 2 : 1) - first);
        if (count == 0) {
            Sleep(DWORD(timeout.count()));
            return Notice::NONE;
        }
        DWORD woken = WaitForMultipleObjects(count, first, FALSE, DWORD(timeout.count()));
        if (woken == WAIT_TIMEOUT || woken == WAIT_FAILED) return Notice::NONE;
        if (first[woken - WAIT_OBJECT_0] == wake_) return Notice::CANCELLED;

        DWORD bytes = 0;
        armed_ = false;
        bool read = GetOverlappedResult(folder_, &overlapped_, &bytes, FALSE);
        // No bytes: more changes than the buffer holds, so the file may be among them.
        Notice notice = read && bytes > 0 ? named_in(bytes) : Notice::FILE;
        if (!read || !arm()) unwatch();
        return notice;
    }

private:
    static constexpr DWORD CHANGES =
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE | FILE_NOTIFY_CHANGE_LAST_WRITE |
        FILE_NOTIFY_CHANGE_CREATION;

    void watch(const fs::path& folder) {
        folder_ = CreateFileW(folder.c_str(), FILE_LIST_DIRECTORY,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
        if (folder_ == INVALID_HANDLE_VALUE) return;
        done_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        overlapped_.hEvent = done_;
        native_.store(true);
        if (!done_ || !arm()) unwatch();
    }

    bool arm() {
        ResetEvent(done_);
        armed_ = ReadDirectoryChangesW(folder_, buffer_, sizeof buffer_, FALSE, CHANGES, nullptr, &overlapped_,
                                       nullptr);
        return armed_;
    }

    // Falls back to polling: the folder is gone or no longer answers.
    void unwatch() {
        native_.store(false);
        if (folder_ == INVALID_HANDLE_VALUE) return;
        if (armed_) {
            // The buffer must outlive the read: wait for the cancelled one to end.
            CancelIoEx(folder_, &overlapped_);
            DWORD bytes = 0;
            GetOverlappedResult(folder_, &overlapped_, &bytes, TRUE);
            armed_ = false;
        }
        CloseHandle(folder_);
        folder_ = INVALID_HANDLE_VALUE;
        if (done_) CloseHandle(done_);
        done_ = nullptr;
    }

    Notice named_in(DWORD bytes) const {
        for (DWORD offset = 0; offset + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
            auto* info = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer_ + offset);
            int length = int(info->FileNameLength / sizeof(WCHAR));
            // Windows names compare without case.
            if (CompareStringOrdinal(info->FileName, length, name_.c_str(), int(name_.size()), TRUE) ==
                CSTR_EQUAL) {
                return Notice::FILE;
            }
            if (info->NextEntryOffset == 0) break;
            offset += info->NextEntryOffset;
        }
        return Notice::OTHER;
    }

    std::wstring name_;  // the file's name in the folder
    HANDLE wake_ = nullptr;  // manual reset: once set by cancel(), stays set
    HANDLE folder_ = INVALID_HANDLE_VALUE;
    HANDLE done_ = nullptr;  // signalled when a read of changes completes
    OVERLAPPED overlapped_{};
    bool armed_ = false;  // a read of changes is outstanding
    std::atomic<bool> native_{false};
    alignas(DWORD) BYTE buffer_[16384];
};
#else
// A self-pipe that cancel() writes once and nobody drains, and, for NATIVE on
// Linux, inotify on the folder: editors replace the file, so its own inode
// would go stale, while the folder sees every way a file of that name changes.
class Notices {
public:
    Notices(const fs::path& file, [[maybe_unused]] bool native) : name_(file.filename().string()) {
        if (::pipe(wake_) != 0) wake_[0] = wake_[1] = -1;
        for (int fd : wake_) {
            if (fd >= 0) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        }
        // A signal handler may cancel: its write must never block.
        if (wake_[1] >= 0) ::fcntl(wake_[1], F_SETFL, O_NONBLOCK);
#ifdef BLEEPFORGE_INOTIFY
        if (native) watch(file.parent_path());
#endif
    }
    ~Notices() {
        for (int fd : {wake_[0], wake_[1], inotify_}) {
            if (fd >= 0) ::close(fd);
        }
    }

    bool native() const { return native_.load(); }
    void cancel() noexcept {
        char byte = 1;
        if (wake_[1] >= 0) (void)!::write(wake_[1], &byte, 1);
    }

    Notice wait(milliseconds timeout) {
        if (wake_[0] < 0) timeout = std::min(timeout, FileWatcher::POLL_INTERVAL);
        pollfd fds[2] = {{wake_[0], POLLIN, 0}, {inotify_, POLLIN, 0}};
        if (::poll(fds, 2, int(timeout.count())) <= 0) return Notice::NONE;  // EINTR: the caller samples anyway
        if (fds[0].revents) return Notice::CANCELLED;
        return read_notices();
    }

private:
#ifdef BLEEPFORGE_INOTIFY
    void watch(const fs::path& folder) {
        inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (inotify_ < 0) return;
        constexpr std::uint32_t CHANGES = IN_MODIFY | IN_CLOSE_WRITE | IN_CREATE | IN_DELETE | IN_MOVED_FROM |
                                          IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
        if (::inotify_add_watch(inotify_, folder.c_str(), CHANGES) < 0) {
            ::close(inotify_);
            inotify_ = -1;
            return;
        }
        native_.store(true);
    }

    Notice read_notices() {
        alignas(inotify_event) char buffer[4096];
        Notice notice = Notice::OTHER;
        bool lost = false;
        ssize_t bytes;
        while ((bytes = ::read(inotify_, buffer, sizeof buffer)) > 0) {
            for (char* p = buffer; p < buffer + bytes;) {
                auto* event = reinterpret_cast<const inotify_event*>(p);
                // The folder itself moved or went: the name no longer lives there.
                lost = lost || (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF));
                if ((event->mask & IN_Q_OVERFLOW) || (event->len > 0 && name_ == event->name)) {
                    notice = Notice::FILE;
                }
                p += sizeof(inotify_event) + event->len;
            }
        }
        if (lost) {
            ::close(inotify_);
            inotify_ = -1;
            native_.store(false);
            notice = Notice::FILE;
        }
        return notice;
    }
#else
    Notice read_notices() { return Notice::OTHER; }
#endif

    std::string name_;  // the file's name in the folder
    int wake_[2];       // read end, write end
    int inotify_ = -1;
    std::atomic<bool> native_{false};
};
#endif

fs::path absolute_path(const fs::path& file) {
    // Through symlinks: editors write through them, into the target's folder.
    std::error_code error;
    if (fs::path path = fs::weakly_canonical(file, error); !error) return path;
    if (fs::path path = fs::absolute(file, error); !error) return path;
    return file;
}

}  // namespace

struct FileWatcher::Impl {
    Impl(const fs::path& file, Backend backend)
        : file(file), notices(file, backend == Backend::NATIVE), reported(stamp_of(file)) {}

    bool wait_until(Clock::time_point deadline);
    bool settled(bool noticed, Clock::time_point now);

    const fs::path file;
    Notices notices;  // set up before `reported` is sampled, so no change falls between
    std::atomic<bool> cancelled{false};

    Stamp reported;  // as last reported, or as found at the start
    struct Pending {
        Stamp stamp;              // as last sampled
        Clock::time_point since;  // when it last changed or a notice named the file
    };
    std::optional<Pending> pending;  // a change waiting to hold still for SETTLE
    bool named = false;              // a notice named the file since the last report
};

bool FileWatcher::Impl::wait_until(Clock::time_point deadline) {
    while (!cancelled.load()) {
        milliseconds step = pending ? SETTLE_CHECK : notices.native() ? IDLE_WAIT : POLL_INTERVAL;
        milliseconds left = std::chrono::ceil<milliseconds>(deadline - Clock::now());
        Notice notice = notices.wait(std::clamp(left, milliseconds(0), step));
        if (notice == Notice::CANCELLED) return false;
        Clock::time_point now = Clock::now();
        if (settled(notice == Notice::FILE, now)) return true;
        if (now >= deadline) return false;
    }
    return false;
}

// Samples the file; true when a change has held still for SETTLE. A notice
// that names the file counts as a change even with the same stamp, since
// coarse modification times can hide a rewrite of the same size.
bool FileWatcher::Impl::settled(bool noticed, Clock::time_point now) {
    Stamp stamp = stamp_of(file);
    named = named || noticed;
    if (!pending || noticed || stamp != pending->stamp) {
        if (pending || named || stamp != reported) pending = Pending{stamp, now};
        return false;
    }
    if (now - pending->since < SETTLE) return false;
    pending.reset();
    // A missing file is not a save: its recreation will be.
    bool changed = stamp.exists && (named || stamp != reported);
    reported = stamp;
    named = false;
    return changed;
}

FileWatcher::FileWatcher(fs::path file, Backend backend)
    : file_(absolute_path(file)), impl_(std::make_unique<Impl>(file_, backend)) {}

FileWatcher::~FileWatcher() { stop(); }

FileWatcher::Backend FileWatcher::backend() const {
    return impl_->notices.native() ? Backend::NATIVE : Backend::POLLING;
}

bool FileWatcher::wait(milliseconds timeout) { return impl_->wait_until(Clock::now() + timeout); }

void FileWatcher::start(std::function<void()> on_change) {
    auto run = [this, on_change = std::move(on_change)] {
        while (impl_->wait_until(Clock::time_point::max())) on_change();
    };
#ifdef _WIN32
    thread_ = std::thread(std::move(run));
#else
    // Signals go to the program's own threads (Ctrl-C must interrupt their waits).
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old);
    thread_ = std::thread(std::move(run));
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
#endif
}

void FileWatcher::cancel() noexcept {
    impl_->cancelled.store(true);
    impl_->notices.cancel();
}

void FileWatcher::stop() {
    cancel();
    if (thread_.joinable()) thread_.join();
}

}  // namespace bleepforge
