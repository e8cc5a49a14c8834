#include "mml/check.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <memory>
#include <numeric>
#include <optional>

#include "mml/compiler.h"
#include "mml/event_code.h"
#include "mml/song.h"
#include "sequencer/interpreter.h"
#include "sequencer/transport.h"

namespace bleepforge {
namespace {

constexpr int MAX_NESTED_REPEATS = 4;
constexpr double LONGEST_RENDER = double(RECORD_CAPACITY - 1);  // samples: what a capture can hold
constexpr long MAX_FETCHES = 50'000'000;  // keeps zero-length notes in deep repeats from stalling the check
constexpr std::size_t MAX_SHOWN_BYTES = 32;
constexpr std::size_t SNIFFED_BYTES = 4096;  // how much of the file decides whether it is text

struct Place {
    int line = 0;
    int column = 0;
};

// Lists findings, at most MAX_WARNINGS_PER_CODE warnings of one code; the rest are only counted.
class Report {
public:
    explicit Report(CheckResult& result) : result_(result) {}

    void warn(const char* code, int track, Place at, std::string message) {
        auto seen = std::find_if(counts_.begin(), counts_.end(), [code](const auto& c) { return c.first == code; });
        if (seen == counts_.end()) seen = counts_.insert(counts_.end(), {code, 0});
        if (++seen->second > MAX_WARNINGS_PER_CODE) return;
        result_.findings.push_back({CheckFinding::WARNING, code, track, at.line, at.column, std::move(message)});
    }
    void inform(int track, std::string message) {
        result_.findings.push_back({CheckFinding::INFO, "", track, 0, 0, std::move(message)});
    }
    // Files the counts past the cap; call once at the end.
    void close() {
        for (const auto& [code, n] : counts_) {
            if (n > MAX_WARNINGS_PER_CODE) result_.more.push_back({code, n - MAX_WARNINGS_PER_CODE});
        }
    }

private:
    CheckResult& result_;
    std::vector<std::pair<std::string, long>> counts_;
};

std::string printable(std::string_view bytes) {
    std::string s;
    for (const unsigned char c : bytes.substr(0, MAX_SHOWN_BYTES)) {
        if (c < 0x20 || c == 0x7f) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            s += hex;
        } else {
            s += char(c);  // bytes from 128 up are shown raw: they are the song's own comment text
        }
    }
    if (bytes.size() > MAX_SHOWN_BYTES) s += "...";
    return s;
}

std::string quoted(std::string_view bytes) { return "\"" + printable(bytes) + "\""; }

// Lines as split_song cuts them: each call gives the next line's bytes, without its end.
class Lines {
public:
    explicit Lines(std::string_view bytes) : bytes_(bytes), p_(bytes.substr(0, 3) == "\xEF\xBB\xBF" ? 3 : 0) {}

    bool next(std::string_view& line, int& number) {
        if (p_ >= bytes_.size()) return false;
        std::size_t end = bytes_.find_first_of("\r\n", p_);
        if (end == std::string_view::npos) end = bytes_.size();
        line = bytes_.substr(p_, end - p_);
        number = ++line_;
        p_ = end;
        if (p_ < bytes_.size()) p_ += (bytes_[p_] == '\r' && p_ + 1 < bytes_.size() && bytes_[p_ + 1] == '\n') ? 2 : 1;
        return true;
    }

private:
    std::string_view bytes_;
    std::size_t p_;
    int line_ = 0;
};

bool is_track_digit(char c) { return c >= '0' && c <= '7'; }

// The line and column of file byte `offset`.
Place place_in_file(std::string_view bytes, std::size_t offset) {
    Lines lines(bytes);
    std::string_view line;
    int number = 0;
    while (lines.next(line, number)) {
        const std::size_t start = std::size_t(line.data() - bytes.data());
        if (offset <= start + line.size()) return {number, int(offset - start) + 1};
    }
    return {1, 1};
}

// --- Files that are not text ---

struct NotText {
    std::size_t offset;  // where it shows
    std::string what;
};

std::optional<NotText> not_text(std::string_view bytes) {
    auto starts = [bytes](std::string_view magic) { return bytes.substr(0, magic.size()) == magic; };
    if (starts("\xFF\xFE") || starts("\xFE\xFF")) {
        return NotText{0, "the file is UTF-16 text (it starts with a UTF-16 byte-order mark); save it as UTF-8"};
    }
    if (starts("RIFF") && bytes.size() >= 12 && bytes.substr(8, 4) == "WAVE") return NotText{0, "the file is a WAV sound file, not a song"};
    static const std::pair<std::string_view, const char*> kinds[] = {
        {"\x89PNG", "a PNG image"},   {"\xFF\xD8\xFF", "a JPEG image"}, {"GIF8", "a GIF image"},
        {"PK\x03\x04", "a ZIP archive"}, {"\x1F\x8B", "a gzip archive"}, {"\x7F" "ELF", "a program (ELF)"},
        {"MZ", "a Windows program"},  {"%PDF", "a PDF document"},     {"ID3", "an MP3 file"},
        {"OggS", "an Ogg file"},      {"fLaC", "a FLAC file"},        {"MThd", "a MIDI file"},
    };
    for (const auto& [magic, name] : kinds) {
        if (starts(magic)) return NotText{0, std::string("the file is ") + name + ", not a song"};
    }
    const std::string_view head = bytes.substr(0, SNIFFED_BYTES);
    std::size_t nul_even = 0, nul_odd = 0, control = 0;
    for (std::size_t i = 0; i < head.size(); ++i) {
        const unsigned char c = head[i];
        if (c == 0) ++(i % 2 ? nul_odd : nul_even);
        else if (c < 0x20 && c != '\t' && c != '\r' && c != '\n' && c != 0x1A && c != 0x1B) ++control;
    }
    // UTF-16 text of ASCII characters has a NUL in every other byte, all on the same side.
    const std::size_t half = head.size() / 2;
    if (half >= 2 && std::max(nul_even, nul_odd) * 10 >= half * 8 && std::min(nul_even, nul_odd) * 10 <= half) {
        const char* order = nul_odd > nul_even ? "little-endian" : "big-endian";
        return NotText{0, std::string("the file looks like UTF-16 text (") + order +
                              ", without a byte-order mark); save it as UTF-8"};
    }
    const std::size_t nul = bytes.find('\0');
    if (control * 10 > head.size() || (nul != std::string_view::npos && (nul_even + nul_odd) * 10 > head.size())) {
        return NotText{0, "the file looks like binary data, not text"};
    }
    if (nul != std::string_view::npos) {
        return NotText{nul, "the file holds NUL bytes (the first one here): they are dropped, but a text file has none"};
    }
    return std::nullopt;
}

// --- Lines the split skips ---

bool is_mml_byte(unsigned char c) {
    static constexpr std::string_view MML = "abcdefghijlmnopqrstvwxDL0123456789 \t+-.&<>[]()/:%@_";
    return MML.find(char(c)) != std::string_view::npos;
}

// Why a line that split_song skips looks like it was meant as a track line; nullopt when it does not.
std::optional<std::string> skipped_track_line(std::string_view line) {
    if (line.empty() || is_track_digit(line[0])) return std::nullopt;
    const std::size_t first = line.find_first_not_of(" \t");
    if (first == std::string_view::npos) return std::nullopt;
    std::string_view body = line.substr(first);
    if (!std::all_of(body.begin(), body.end(), [](char c) { return is_mml_byte(std::uint8_t(c)); })) {
        return std::nullopt;
    }
    if (first > 0 && is_track_digit(body[0]) && body.size() > 1) {
        return "line skipped: it starts with a space or tab, and a track line must start with its digit 0-7";
    }
    if ((body[0] == '8' || body[0] == '9') && body.size() > 1) {
        return std::string("line skipped: ") + body[0] + " is not a track; track lines start with a digit 0-7";
    }
    if (body.find_first_of("0123456789<>[]&@%") == std::string_view::npos) return std::nullopt;
    return "line skipped: it looks like MML but does not start with a track digit 0-7";
}

// --- One track ---

// One track's text and where its pieces came from in the file.
struct TrackSource {
    int track;
    std::string_view text;
    const std::vector<TextOrigin>& origins;

    Place locate(std::size_t position) const {
        const SourcePlace p = source_place(origins, position);
        return {p.line, p.column};
    }
};

// What each command reads as: "v15", or the bytes it consumed.
std::string read_as(const TrackSource& src, const CompileNote& n) {
    const char command = src.text[n.position];
    if (n.kind == CompileNote::CLAMPED || command == 'o' || command == 'q') {
        return command + std::to_string(n.value);
    }
    return quoted(src.text.substr(n.position, n.read_end - n.position));
}

const char* why_misread(char command) {
    switch (command) {
    case 'o': return "\"o\" takes exactly the next character as its octave 0-9";
    case 'q': return "\"q\" takes one digit 1-9";
    case 't': return "a tempo has at most three digits, and two after its point";
    case 'v': return "a volume is 0-15";
    case 'p': return "a pan is 1-15";
    default: return "a number has at most two digits";
    }
}

// Turns the compiler's notes into warnings as they come, and keeps the command behind each event.
class TrackListener : public CompileListener {
public:
    TrackListener(const TrackSource& src, Report& report) : src_(src), report_(report) {}

    void note(const CompileNote& n) override {
        switch (n.kind) {
        case CompileNote::IGNORED_CHARACTER:
        case CompileNote::STRAY_DIGIT:
            if (run_end_ == n.position && src_.locate(n.position).line == src_.locate(run_start_).line) {
                ++run_end_;
                return;
            }
            flush_run();
            run_start_ = n.position;
            run_end_ = n.position + 1;
            return;
        case CompileNote::STREAM_FULL:
            if (lost_++ == 0) first_lost_ = n.position;
            return;
        default:
            break;
        }
        flush_run();
        const std::string looks = quoted(src_.text.substr(n.position, n.looks_end - n.position));
        const char command = src_.text[n.position];
        switch (n.kind) {
        case CompileNote::CLAMPED:
            warn("W-clamp", n.position,
                 looks + " read as " + read_as(src_, n) + " (" +
                     (n.asked == 0 && std::string_view("vpt").find(command) == std::string_view::npos ? "a length of 0 means a whole note" : why_misread(command)) + ")");
            break;
        case CompileNote::LENGTH_CLAMPED:
            warn("W-clamp", n.position, looks + " is " + std::to_string(n.asked) +
                                            " ticks long: played as 255 ticks, the longest an event holds");
            break;
        case CompileNote::NOTE_TOO_LOW:
            warn("W-clamp", n.position, looks + " is below the lowest note: played as a rest");
            break;
        default:
            warn("W-misread", n.position, looks + " read as " + read_as(src_, n) + " (" + why_misread(command) + ")");
            break;
        }
    }

    void event(int offset, std::size_t position) override { origin[std::size_t(offset) / 2] = position; }

    void finish() {
        flush_run();
        if (lost_ > 0) {
            warn("W-stream-full", first_lost_,
                 "stream full: " + std::to_string(lost_) + (lost_ == 1 ? " event" : " events") +
                     " from here on did not fit (a track holds 1,021)");
        }
    }

    void warn(const char* code, std::size_t position, std::string message) {
        report_.warn(code, src_.track, src_.locate(position), std::move(message));
    }

    std::array<std::size_t, EVENT_STREAM_BYTES / 2> origin{};  // text position of the command behind each slot

private:
    // Adjacent ignored bytes on one line make one warning.
    void flush_run() {
        if (run_end_ == run_start_) return;
        const std::string_view run = src_.text.substr(run_start_, run_end_ - run_start_);
        warn("W-ignored", run_start_,
             (run.size() == 1 ? "ignored character " : "ignored characters ") + quoted(run));
        run_start_ = run_end_ = 0;
    }

    const TrackSource& src_;
    Report& report_;
    std::size_t run_start_ = 0, run_end_ = 0;
    long lost_ = 0;
    std::size_t first_lost_ = 0;
};

// Walks the stream as the sequencer nests repeats, up to where it would stop the track.
void repeat_problems(const TrackState& t, TrackListener& where) {
    std::vector<int> open;  // offsets of the "[" not closed yet
    for (int off = 0; off < t.events_end; off += 2) {
        const std::size_t at = where.origin[std::size_t(off) / 2];
        switch (t.events[off]) {
        case EV_REPEAT_START:
            if (int(open.size()) >= MAX_NESTED_REPEATS) {
                where.warn("W-deep-repeat", at, "fifth nested \"[\": the track stops here (four nested repeats at most)");
                return;
            }
            open.push_back(off);
            break;
        case EV_REPEAT_END:
            if (open.empty()) {
                where.warn("W-unopened", at, "\"]\" with no open \"[\": the track stops here");
                return;
            }
            open.pop_back();
            break;
        case EV_LOOP_POINT: {
            if (!open.empty()) {
                where.warn("W-loop-in-repeat", at, "\"L\" inside a repeat: the track will stop after its first loop");
            }
            bool timed = false;
            for (int next = off + 2; next < t.events_end && !timed; next += 2) {
                timed = t.events[next] <= EV_LAST_NOTE;
            }
            if (!timed) {
                where.warn("W-loop-empty", at, "\"L\" with no note or rest after it: the track ends instead of looping");
            }
            break;
        }
        case EV_STOP:
            return;
        default:
            break;
        }
    }
    for (const int off : open) {
        where.warn("W-unclosed", where.origin[std::size_t(off) / 2],
                   "\"[\" never closed by \"]\": what follows plays once, at the end the track goes back to its loop");
    }
}

std::string seconds(double samples) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", samples / SAMPLE_RATE);
    return text;
}

// How a track plays, stepped as the voice renderer consumes its events.
struct TrackPlay {
    std::string info;
    bool loops = false;
    long loop_ticks = 0;        // one pass of the loop
    double loop_samples = 0;
    long tick_gcd = 0;          // of the lengths of the loop's notes and rests
    int tempo_x100 = 0;         // the loop's tempo; 0 when it changes within the loop
    int loop_offset = 0;        // of the stream position the track loops back to
};

// An event of L samples lasts floor(L) samples, at least one, and every
// sample played refills the interpreter's allowance.
TrackPlay track_play(Engine& engine, int k) {
    TrackState& t = engine.tracks[k];
    TrackPlay play;
    if (!t.active) {
        play.info = "plays nothing";
        return play;
    }
    double time = 0;  // samples played
    long ticks = 0;
    auto play_event = [&] {
        const double samples = std::max(1.0, std::floor(t.event_left));
        time += samples;
        ticks += t.events[t.cursor - 1];
        t.fetch_budget = std::int32_t(
            std::min(t.fetch_budget + FETCH_BUDGET_PER_SAMPLE * samples, double(FETCH_BUDGET_MAX)));
    };
    play_event();  // the first note or rest, fetched when the song was loaded
    double intro = 0;
    double first_loop_back = -1;
    long first_loop_ticks = 0;
    long gcd = 0;
    int tempo = -1;
    for (long fetches = 0; time < LONGEST_RENDER && fetches < MAX_FETCHES; ++fetches) {
        const int loops = t.loop_count;
        const int loop_point = t.loop_point;
        fetch_events(engine, k);
        if (!t.active) {
            play.info = "ends after " + seconds(time);
            return play;
        }
        if (t.loop_count > loops) {
            if (first_loop_back >= 0) {
                play.info = "loops forever: intro " + seconds(intro) + ", loop " + seconds(time - first_loop_back);
                play.loops = true;
                play.loop_ticks = ticks - first_loop_ticks;
                play.loop_samples = time - first_loop_back;
                play.tick_gcd = gcd;
                play.tempo_x100 = std::max(tempo, 0);
                play.loop_offset = t.loop_point;
                return play;
            }
            first_loop_back = time;
            first_loop_ticks = ticks;
        } else if (first_loop_back < 0 && t.loop_point != loop_point) {
            intro = time;
        }
        if (first_loop_back >= 0) {
            gcd = std::gcd(gcd, long(t.events[t.cursor - 1]));
            tempo = tempo < 0 || tempo == t.tempo_x100 ? t.tempo_x100 : 0;
        }
        play_event();
    }
    play.info = "plays longer than a render can hold (15 minutes)";
    return play;
}

// Samples per tick are 55125 / tempo: every length of a multiple of `gcd`
// ticks is a whole number of samples where the tempo divides 55125 x gcd.
std::string steady_tempos(long gcd, int tempo_x100) {
    if (gcd <= 0 || tempo_x100 <= 0 || tempo_x100 % 100 != 0) return "";
    const int tempo = tempo_x100 / 100;
    auto whole = [gcd](int t) { return (55125L * gcd) % t == 0; };
    int below = 0, above = 0;
    for (int t = tempo - 1; t >= 15 && !below; --t) if (whole(t)) below = t;
    for (int t = tempo + 1; t <= 255 && !above; ++t) if (whole(t)) above = t;
    if (!below && !above) return "";
    std::string s = "; at tempo ";
    if (below) s += std::to_string(below);
    if (below && above) s += " or ";
    if (above) s += std::to_string(above);
    return s + " every length is whole samples and the drift vanishes";
}

// Loops against the longest one: whole multiples keep in step; the others drift apart.
void compare_loops(const std::array<TrackPlay, TRACK_COUNT>& plays,
                   const std::array<std::unique_ptr<TrackListener>, TRACK_COUNT>& places, Report& report) {
    int longest = -1;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        if (plays[k].loops && plays[k].loop_ticks > 0 &&
            (longest < 0 || plays[k].loop_ticks > plays[longest].loop_ticks)) {
            longest = k;
        }
    }
    if (longest < 0) return;
    const TrackPlay& l = plays[longest];
    for (int k = 0; k < TRACK_COUNT; ++k) {
        const TrackPlay& p = plays[k];
        if (k == longest || !p.loops || p.loop_ticks <= 0) continue;
        if (l.loop_ticks % p.loop_ticks != 0) {
            places[k]->warn("W-loop-mismatch", places[k]->origin[std::size_t(p.loop_offset) / 2],
                            "loops every " + std::to_string(p.loop_ticks) + " ticks, track " +
                                std::to_string(longest) + " every " + std::to_string(l.loop_ticks) +
                                " ticks: not whole multiples of each other, so the tracks drift apart");
            continue;
        }
        // Only at one steady tempo do equal ticks mean equal time, short of rounding.
        if (p.tempo_x100 == 0 || p.tempo_x100 != l.tempo_x100) continue;
        const long times = l.loop_ticks / p.loop_ticks;
        const double drift = l.loop_samples - times * p.loop_samples;
        if (drift == 0) continue;
        const std::string per = times == 1 ? "per loop" : "per loop of track " + std::to_string(longest);
        report.inform(k, "loops in step with track " + std::to_string(longest) + " in ticks but drifts " +
                             std::to_string(long(std::fabs(drift))) + (std::fabs(drift) == 1 ? " sample " : " samples ") +
                             per + " (note lengths are not whole samples at this tempo)" +
                             steady_tempos(std::gcd(p.tick_gcd, l.tick_gcd), p.tempo_x100));
    }
}

}  // namespace

long CheckResult::warning_count() const {
    long n = long(std::count_if(findings.begin(), findings.end(),
                                [](const CheckFinding& f) { return f.severity == CheckFinding::WARNING; }));
    for (const auto& m : more) n += m.second;
    return n;
}

bool has_track_lines(std::string_view bytes) {
    Lines lines(bytes);
    std::string_view line;
    int number = 0;
    while (lines.next(line, number)) {
        if (!line.empty() && is_track_digit(line[0])) return true;
    }
    return false;
}

CheckResult check_song(std::string_view bytes) {
    CheckResult result;
    Report report(result);
    if (const auto odd = not_text(bytes)) report.warn("W-not-text", -1, place_in_file(bytes, odd->offset), odd->what);
    if (!has_track_lines(bytes)) {
        report.warn("W-no-tracks", -1, {}, "no line starts with a track digit 0-7: the song plays nothing");
    }
    {
        Lines lines(bytes);
        std::string_view line;
        int number = 0;
        while (lines.next(line, number)) {
            if (auto why = skipped_track_line(line)) report.warn("W-skipped-line", -1, {number, 1}, std::move(*why));
        }
    }

    const SplitSong song = split_song(bytes);
    auto scratch = std::make_unique<Engine>();
    std::array<std::unique_ptr<TrackListener>, TRACK_COUNT> listeners;
    std::array<TrackSource, TRACK_COUNT> sources = {
        TrackSource{0, song.texts[0], song.origins[0]}, TrackSource{1, song.texts[1], song.origins[1]},
        TrackSource{2, song.texts[2], song.origins[2]}, TrackSource{3, song.texts[3], song.origins[3]},
        TrackSource{4, song.texts[4], song.origins[4]}, TrackSource{5, song.texts[5], song.origins[5]},
        TrackSource{6, song.texts[6], song.origins[6]}, TrackSource{7, song.texts[7], song.origins[7]},
    };
    auto engine = std::make_unique<Engine>();
    start_all_if_idle(*engine, song.texts);  // as load_song does, without splitting the file again
    std::array<TrackPlay, TRACK_COUNT> plays;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        listeners[k] = std::make_unique<TrackListener>(sources[k], report);
        if (song.texts[k].empty()) continue;
        const std::size_t first = result.findings.size();
        compile_track(*scratch, 0, sources[k].text, *listeners[k]);
        listeners[k]->finish();
        repeat_problems(scratch->tracks[0], *listeners[k]);
        std::stable_sort(result.findings.begin() + std::ptrdiff_t(first), result.findings.end(),
                         [](const CheckFinding& a, const CheckFinding& b) {
                             return a.line != b.line ? a.line < b.line : a.column < b.column;
                         });
        plays[k] = track_play(*engine, k);
        report.inform(k, plays[k].info);
    }
    compare_loops(plays, listeners, report);
    report.close();
    return result;
}

}  // namespace bleepforge
