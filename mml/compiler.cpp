#include "mml/compiler.h"

#include <algorithm>
#include <cstdint>
#include <optional>

namespace bleepforge {
namespace {

class TrackCompiler {
public:
    TrackCompiler(TrackState& state, std::string_view text, CompileListener* listener)
        : ev_(state.events), text_(text), listener_(listener) {}

    int run() {
        for (read_ = 0; read_ < text_.size(); ++read_) {
            if (write_ > LAST_EVENT_OFFSET) write_ = LAST_EVENT_OFFSET;
            start_ = read_;
            takes_number_ = false;
            pending_.reset();
            command(at(read_));
            if (listener_) report_misreads();
        }
        return end_;
    }

private:
    // What the command that just ran looked like against what it read: digits
    // it left behind, or a value it had to change. One note per command.
    void report_misreads() {
        std::size_t looks_end = read_ + 1;
        while (looks_end < text_.size() && is_digit(at(looks_end))) ++looks_end;
        if (!pending_ && takes_number_ && looks_end > read_ + 1) pending_ = CompileNote{CompileNote::MISREAD, start_};
        if (!pending_) return;
        pending_->position = start_;
        pending_->read_end = read_ + 1;
        pending_->looks_end = looks_end;
        covered_until_ = looks_end;
        listener_->note(*pending_);
    }
    void squeeze(CompileNote::Kind kind, int value, int asked) {
        if (listener_) pending_ = CompileNote{kind, start_, 0, 0, value, asked};
    }
    // Records a clamped number; `value` is what is used.
    int clamped(int asked, int low, int high) {
        const int value = std::clamp(asked, low, high);
        if (value != asked) squeeze(CompileNote::CLAMPED, value, asked);
        return value;
    }

    // The byte at i, or the terminating NUL at and past the end of the text.
    std::uint8_t at(std::size_t i) const { return i < text_.size() ? std::uint8_t(text_[i]) : 0; }
    static bool is_digit(std::uint8_t c) { return c >= '0' && c <= '9'; }
    bool next_is(char c) const { return at(read_ + 1) == std::uint8_t(c); }

    // Consumes up to `max_digits` digits after the read position; -1 when none follow.
    int number(int max_digits = 2) {
        takes_number_ = true;
        int value = -1;
        for (int n = 0; n < max_digits && is_digit(at(read_ + 1)); ++n) {
            value = (value < 0 ? 0 : value * 10) + (at(++read_) - '0');
        }
        return value;
    }

    // Optional "-", then optional "+", then up to two digits; 0 without digits.
    int signed_number() {
        bool negative = false;
        if (next_is('-')) { ++read_; negative = true; }
        if (next_is('+')) { ++read_; negative = false; }
        int value = number();
        if (value < 0) return 0;
        return negative ? -value : value;
    }

    void write(std::uint8_t code) {
        if (listener_) {
            if (write_ >= LAST_EVENT_OFFSET && end_ >= LAST_EVENT_OFFSET + 2) {
                listener_->note({CompileNote::STREAM_FULL, start_});
            }
            origin_[write_ / 2] = start_;
            listener_->event(write_, start_);
        }
        ev_[write_] = code;
        ev_[write_ + 2] = EV_END;
        write_ += 2;
        end_ = write_;
    }
    void write(std::uint8_t code, int operand) {
        ev_[write_ + 1] = std::uint8_t(operand);
        write(code);
    }

    void note(int semitone) {
        const bool rest = semitone == 12;
        int code = rest ? 0 : octave_base_ + semitone;
        if (next_is('+')) { ++read_; ++code; }
        if (next_is('-')) { ++read_; --code; }
        if (!rest && code < 0) squeeze(CompileNote::NOTE_TOO_LOW, 0, code);
        if (rest || code < 0) code = 0;  // accidentals never turn a rest or a low note into a control code
        int length = default_length_;
        int n = number();
        if (n >= 0) length = TICKS_PER_WHOLE / clamped(n, 1, 99);
        const int base = length;
        if (next_is('.')) {
            ++read_;
            length += base / 2;
            if (next_is('.')) { ++read_; length += base / 4; }
        }
        if (length > 255) squeeze(CompileNote::LENGTH_CLAMPED, 255, length);
        write(std::uint8_t(code), std::min(length, 255));
    }

    void tempo() {
        int value = number(3);
        if (value < 0) {
            write(EV_TEMPO, 165);  // a bare "t" means the reset tempo
            return;
        }
        write(EV_TEMPO, clamped(value, 15, 255));
        if (!next_is('.')) return;
        ++read_;
        if (!is_digit(at(read_ + 1))) return;
        int fraction = (at(++read_) - '0') * 10;
        if (is_digit(at(read_ + 1))) fraction += at(++read_) - '0';
        write(EV_TEMPO_FRACTION, fraction);
    }

    void tie() {
        if (write_ == 0) {
            if (listener_) listener_->note({CompileNote::IGNORED_CHARACTER, read_});
            return;
        }
        if (listener_) {
            // The tied note moves up a slot and keeps the place of the command that wrote it.
            origin_[write_ / 2] = origin_[write_ / 2 - 1];
            origin_[write_ / 2 - 1] = start_;
            listener_->event(write_, origin_[write_ / 2]);
            listener_->event(write_ - 2, start_);
        }
        ev_[write_] = ev_[write_ - 2];
        ev_[write_ + 1] = ev_[write_ - 1];
        ev_[write_ - 2] = EV_TIE;
        ev_[write_ - 1] = 0;
        ev_[write_ + 2] = EV_END;
        write_ += 2;
        end_ = write_;
    }

    void with_default(std::uint8_t code, int fallback) {
        int n = number();
        write(code, n < 0 ? fallback : n);
    }

    void command(std::uint8_t c) {
        switch (c) {
        case 'c': note(0); break;
        case 'd': note(2); break;
        case 'e': note(4); break;
        case 'f': note(5); break;
        case 'g': note(7); break;
        case 'a': note(9); break;
        case 'b': note(11); break;
        case 'r': note(12); break;
        case '@': with_default(EV_TONE, 0); break;
        case 'h': with_default(EV_ATTACK, 99); break;
        case 'i': with_default(EV_DECAY, 0); break;
        case 'j': with_default(EV_SUSTAIN, 0); break;
        case 'm': with_default(EV_VIBRATO_DEPTH, 0); break;
        case 'n': with_default(EV_VIBRATO_DELAY, 0); break;
        case 'w': with_default(EV_SMOOTH, 84); break;
        case ']': with_default(EV_REPEAT_END, 2); break;
        case 'v': {
            int n = number();
            write(EV_VOLUME, n < 0 ? 13 : clamped(n, 0, 15));
            break;
        }
        case 'p': {
            int n = number();
            write(EV_PAN, n < 0 ? 8 : clamped(n, 1, 15));
            break;
        }
        case 'q': {
            // Exactly one digit 1..9; a "0" is left for the next command.
            int n = 8;
            std::uint8_t d = at(read_ + 1);
            if (d >= '1' && d <= '9') { n = d - '0'; ++read_; }
            if (is_digit(at(read_ + 1))) squeeze(CompileNote::MISREAD, n, n);
            write(EV_GATE, n);
            break;
        }
        case 'D': write(EV_DETUNE, signed_number()); break;
        case 's': write(EV_SWEEP, signed_number()); break;
        case '_': write(EV_TRANSPOSE, signed_number()); break;
        case 'L': write(EV_LOOP_POINT, 0); break;
        case '(': write(EV_VOLUME_STEP, 0); break;
        case ')': write(EV_VOLUME_STEP, 1); break;
        case '[': write(EV_REPEAT_START); break;
        case '/':
        case ':': write(EV_REPEAT_BREAK); break;
        case 'x': write(EV_STOP); break;
        case 't': tempo(); break;
        case '&': tie(); break;
        case 'l': {
            int n = number();
            default_length_ = n < 0 ? 24 : TICKS_PER_WHOLE / clamped(n, 1, 99);
            break;
        }
        case '%': {
            int n = number();
            default_length_ = n < 0 ? 24 : n;
            break;
        }
        case 'o': {
            // Takes the next byte whatever it is, as a signed value.
            int c2 = std::int8_t(at(++read_));
            octave_base_ = std::clamp((c2 - '0') * 12, 0, 108);
            if (!is_digit(std::uint8_t(c2)) || is_digit(at(read_ + 1))) {
                squeeze(CompileNote::MISREAD, octave_base_ / 12, c2);
            }
            break;
        }
        case '<': octave_base_ = std::max(octave_base_ - 12, 0); break;
        case '>': octave_base_ = std::min(octave_base_ + 12, 84); break;
        default:
            if (!listener_ || c == ' ' || c == '\t' || c == '\r' || c == '\n') break;
            if (!is_digit(c)) {
                listener_->note({CompileNote::IGNORED_CHARACTER, read_});
            } else if (read_ >= covered_until_) {
                listener_->note({CompileNote::STRAY_DIGIT, read_});
            }
            break;
        }
    }

    std::array<std::uint8_t, EVENT_STREAM_BYTES>& ev_;
    std::string_view text_;
    CompileListener* listener_;
    std::size_t read_ = 0;
    std::size_t start_ = 0;          // first byte of the command being compiled
    bool takes_number_ = false;      // the command reads digits
    std::optional<CompileNote> pending_;  // what the command squeezed, reported once it has read all it reads
    std::size_t covered_until_ = 0;  // digits before this belong to a command's note already
    std::array<std::size_t, EVENT_STREAM_BYTES / 2> origin_;  // the command behind each slot (with a listener)
    int write_ = 0;
    int end_ = -1;
    int octave_base_ = 48;
    int default_length_ = 24;
};

void compile_with(Engine& engine, int track, std::string_view text, CompileListener* listener) {
    if (track < 0 || track >= TRACK_COUNT) return;
    TrackState& state = engine.tracks[track];
    if (state.active) return;
    state.events_end = TrackCompiler(state, text, listener).run();
}

}  // namespace

void compile_track(Engine& engine, int track, std::string_view text, std::vector<CompileNote>* notes) {
    if (!notes) return compile_with(engine, track, text, nullptr);
    struct Collect : CompileListener {
        std::vector<CompileNote>& out;
        explicit Collect(std::vector<CompileNote>& o) : out(o) {}
        void note(const CompileNote& n) override { out.push_back(n); }
    } collect(*notes);
    compile_with(engine, track, text, &collect);
}

void compile_track(Engine& engine, int track, std::string_view text, CompileListener& listener) {
    compile_with(engine, track, text, &listener);
}

}  // namespace bleepforge
