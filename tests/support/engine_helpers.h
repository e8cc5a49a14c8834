// Small helpers for driving an engine in tests.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sequencer/engine.h"

namespace bleepforge::test {

using Event = std::pair<int, int>;  // code, operand (-1 where none is written)

// Compiles `text` into track 0 of a fresh engine and returns its events up to
// and including the EV_END that ends them.
std::vector<Event> compile_events(const std::string& text);

// A fresh engine with `song` loaded (track lines as in a song file).
std::unique_ptr<Engine> loaded(const std::string& song);

// The notes (codes, 0 for rests) track 0 plays in its next `count` fetches,
// starting with the one the reset already made.
std::vector<int> played_codes(Engine& engine, int count, int track = 0);

}  // namespace bleepforge::test
