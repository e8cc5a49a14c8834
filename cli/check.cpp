#include "cli/check.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "mml/compiler.h"
#include "mml/event_code.h"
#include "mml/song.h"
#include "sequencer/interpreter.h"
#include "sequencer/transport.h"

namespace bleepforge::cli {
namespace {

constexpr int MAX_NESTED_REPEATS = 4;
constexpr double LONGEST_RENDER = double(RECORD_CAPACITY - 1);  // samples: what a capture can hold
constexpr long MAX_FETCHES = 50'000'000;  // keeps zero-length notes in deep repeats from stalling the check
constexpr std::size_t MAX_SHOWN_BYTES = 32;

struct Place {
    int line = 0;
    int column = 0;
};

// One track's text and where its pieces came from in the file.
struct TrackSource {
    int track;
    std::string_view text;
    const std::vector<TextOrigin>& origins;

    Place locate(std::size_t position) const {
        auto after = std::upper_bound(origins.begin(), origins.end(), position,
                                      [](std::size_t p, const TextOrigin& o) { return p < o.text_offset; });
        if (after == origins.begin()) return {};
        const TextOrigin& o = *(after - 1);
        return {o.line, o.column + int(position - o.text_offset)};
    }

    Finding warning(std::size_t position, std::string message) const {
        const Place p = locate(position);
        return {Finding::WARNING, track, p.line, p.column, std::move(message)};
    }
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

// Runs of adjacent ignored characters on one line become one warning; events
// lost to a full stream become one warning at the first command that lost one.
void report_compile_notes(const TrackSource& src, const std::vector<CompileNote>& notes,
                          std::vector<Finding>& out) {
    std::size_t lost = 0;
    std::size_t first_lost = 0;
    for (std::size_t i = 0; i < notes.size(); ++i) {
        if (notes[i].kind == CompileNote::STREAM_FULL) {
            if (lost++ == 0) first_lost = notes[i].position;
            continue;
        }
        const std::size_t start = notes[i].position;
        std::size_t end = start + 1;
        while (i + 1 < notes.size() && notes[i + 1].kind == CompileNote::IGNORED_CHARACTER &&
               notes[i + 1].position == end && src.locate(end).line == src.locate(start).line) {
            ++end;
            ++i;
        }
        const std::string run = printable(src.text.substr(start, end - start));
        out.push_back(src.warning(start, (end - start == 1 ? "ignored character \"" : "ignored characters \"") +
                                             run + "\""));
    }
    if (lost > 0) {
        out.push_back(src.warning(first_lost, "stream full: " + std::to_string(lost) +
                                                  (lost == 1 ? " event" : " events") +
                                                  " from here on did not fit (a track holds 1,021)"));
    }
}

struct StreamProblem {
    int offset;  // of the event in the stream
    const char* message;
};

// Walks the stream as the sequencer nests repeats, up to where it would stop the track.
std::vector<StreamProblem> repeat_problems(const TrackState& t) {
    std::vector<StreamProblem> found;
    int depth = 0;
    for (int off = 0; off < t.events_end; off += 2) {
        switch (t.events[off]) {
        case EV_REPEAT_START:
            if (++depth > MAX_NESTED_REPEATS) {
                found.push_back({off, "fifth nested \"[\": the track stops here (four nested repeats at most)"});
                return found;
            }
            break;
        case EV_REPEAT_END:
            if (depth == 0) {
                found.push_back({off, "\"]\" with no open \"[\": the track stops here"});
                return found;
            }
            --depth;
            break;
        case EV_LOOP_POINT:
            if (depth > 0) found.push_back({off, "\"L\" inside a repeat: the track will stop after its first loop"});
            break;
        case EV_STOP:
            return found;
        default:
            break;
        }
    }
    return found;
}

// The text position of the command that wrote the event at `offset`: the
// shortest prefix of the text whose compiled stream reaches that offset ends
// just behind that command's first character.
std::size_t command_position(Engine& scratch, std::string_view text, int offset) {
    std::size_t lo = 1;
    std::size_t hi = text.size();
    while (lo < hi) {
        const std::size_t mid = lo + (hi - lo) / 2;
        compile_track(scratch, 0, text.substr(0, mid));
        if (scratch.tracks[0].events_end > offset) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    return lo - 1;
}

std::string seconds(double samples) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", samples / SAMPLE_RATE);
    return text;
}

// Steps a loaded track's events as the voice renderer consumes them: an event
// of L samples lasts floor(L) samples, at least one, and every sample played
// refills the interpreter's allowance.
Finding track_length(Engine& engine, int k) {
    TrackState& t = engine.tracks[k];
    auto info = [k](std::string message) { return Finding{Finding::INFO, k, 0, 0, std::move(message)}; };
    if (!t.active) return info("plays nothing");
    double time = 0;  // samples played
    auto play_event = [&t, &time] {
        const double samples = std::max(1.0, std::floor(t.event_left));
        time += samples;
        t.fetch_budget = std::int32_t(
            std::min(t.fetch_budget + FETCH_BUDGET_PER_SAMPLE * samples, double(FETCH_BUDGET_MAX)));
    };
    play_event();  // the first note or rest, fetched when the song was loaded
    double intro = 0;
    double first_loop_back = -1;
    for (long fetches = 0; time < LONGEST_RENDER && fetches < MAX_FETCHES; ++fetches) {
        const int loops = t.loop_count;
        const int loop_point = t.loop_point;
        fetch_events(engine, k);
        if (!t.active) return info("ends after " + seconds(time));
        if (t.loop_count > loops) {
            if (first_loop_back >= 0) {
                return info("loops forever: intro " + seconds(intro) + ", loop " + seconds(time - first_loop_back));
            }
            first_loop_back = time;
        } else if (first_loop_back < 0 && t.loop_point != loop_point) {
            intro = time;
        }
        play_event();
    }
    return info("plays longer than a render can hold (15 minutes)");
}

}  // namespace

std::vector<Finding> check_song(std::string_view bytes) {
    const SplitSong song = split_song(bytes);
    auto scratch = std::make_unique<Engine>();
    std::vector<Finding> per_track[TRACK_COUNT];
    for (int k = 0; k < TRACK_COUNT; ++k) {
        if (song.texts[k].empty()) continue;
        const TrackSource src{k, song.texts[k], song.origins[k]};
        std::vector<CompileNote> notes;
        compile_track(*scratch, 0, src.text, &notes);
        report_compile_notes(src, notes, per_track[k]);
        for (const StreamProblem& p : repeat_problems(scratch->tracks[0])) {
            per_track[k].push_back(src.warning(command_position(*scratch, src.text, p.offset), p.message));
        }
        std::stable_sort(per_track[k].begin(), per_track[k].end(), [](const Finding& a, const Finding& b) {
            return a.line != b.line ? a.line < b.line : a.column < b.column;
        });
    }

    auto engine = std::make_unique<Engine>();
    load_song(*engine, bytes);
    std::vector<Finding> findings;
    for (int k = 0; k < TRACK_COUNT; ++k) {
        if (song.texts[k].empty()) continue;
        findings.insert(findings.end(), per_track[k].begin(), per_track[k].end());
        findings.push_back(track_length(*engine, k));
    }
    return findings;
}

int print_findings(const std::string& song, const std::vector<Finding>& findings, bool quiet, std::FILE* out) {
    int warnings = 0;
    for (const Finding& f : findings) {
        const std::string track = "track " + std::to_string(f.track) + ": ";
        if (f.severity == Finding::WARNING) {
            ++warnings;
            std::fprintf(out, "%s:%d:%d: warning: %s%s\n", song.c_str(), f.line, f.column, track.c_str(),
                         f.message.c_str());
        } else if (!quiet) {
            std::fprintf(out, "%s: info: %s%s\n", song.c_str(), track.c_str(), f.message.c_str());
        }
    }
    if (!quiet) {
        std::fprintf(out, "%s: %d %s\n", song.c_str(), warnings, warnings == 1 ? "warning" : "warnings");
    }
    return warnings == 0 ? 0 : 1;
}

}  // namespace bleepforge::cli
