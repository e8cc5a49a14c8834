// The song checker behind the window: run off the UI thread on every load,
// its count in the status line and its findings in "警告を表示".
#include "app/controller.h"

namespace bleepforge {

namespace {

// One finding as a line: "12:5 W-clamp: track 0: ...", or without a place for the file or the song as a whole.
std::string finding_line(const CheckFinding& f) {
    std::string line;
    if (f.line > 0) line += std::to_string(f.line) + ":" + std::to_string(f.column) + " ";
    line += f.severity == CheckFinding::WARNING ? f.code : std::string("info");
    line += ": ";
    if (f.track >= 0) line += "track " + std::to_string(f.track) + ": ";
    return line + f.message;
}

}  // namespace

void Controller::start_check(std::shared_ptr<const std::string> bytes) {
    song_bytes_ = bytes;
    {
        std::lock_guard<std::mutex> lock(check_mutex_);
        if (check_quit_) return;
        check_next_ = std::move(bytes);
        ++check_serial_;
        check_result_.reset();
    }
    check_wanted_.notify_one();
    if (!checker_.joinable()) checker_ = std::thread([this] { run_checker(); });
}

void Controller::run_checker() {
    std::unique_lock<std::mutex> lock(check_mutex_);
    for (;;) {
        check_wanted_.wait(lock, [this] { return check_quit_ || check_next_; });
        if (check_quit_) return;
        const std::shared_ptr<const std::string> bytes = std::move(check_next_);
        const std::uint64_t serial = check_serial_;
        lock.unlock();
        auto result = std::make_shared<const CheckResult>(check_song(*bytes));
        lock.lock();
        if (serial == check_serial_) check_result_ = std::move(result);  // else a newer song waits
    }
}

void Controller::end_checker() {
    {
        std::lock_guard<std::mutex> lock(check_mutex_);
        check_quit_ = true;
    }
    check_wanted_.notify_one();
    if (checker_.joinable()) checker_.join();
}

long Controller::warning_count() {
    std::lock_guard<std::mutex> lock(check_mutex_);
    return check_result_ ? check_result_->warning_count() : -1;
}

void Controller::show_warnings() {
    if (!song_bytes_) {
        shell_.show_message(text::NO_SONG_YET, text::WARNINGS_CAPTION);
        return;
    }
    std::shared_ptr<const CheckResult> result;
    {
        std::lock_guard<std::mutex> lock(check_mutex_);
        result = check_result_;
    }
    if (!result) {
        shell_.show_message(text::STILL_CHECKING, text::WARNINGS_CAPTION);
        return;
    }
    std::string listing;
    for (const CheckFinding& f : result->findings) listing += finding_line(f) + "\n";
    for (const auto& [code, n] : result->more) {
        listing += "and " + std::to_string(n) + " more " + code + (n == 1 ? " warning\n" : " warnings\n");
    }
    if (result->warning_count() == 0) listing = std::string(text::NO_WARNINGS) + "\n" + listing;
    shell_.show_text(song_name_ + "\n" + listing, text::WARNINGS_CAPTION);
}

}  // namespace bleepforge
