// The renderer's command line: NUL-separated arguments through the parser.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> args(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0) args.emplace_back(); else args.back().push_back(char(data[i]));
    }
    bleepforge::cli::Options options;
    std::string error;
    if (!bleepforge::cli::parse_options(args, options, error)) {
        if (error.empty() || error.find('\n') != std::string::npos) std::abort();  // one line, always
        return 0;
    }
    if (options.mode == bleepforge::cli::Mode::RENDER) {
        if (options.out.empty() || !(options.seconds >= 0) || options.loops < 0 || !(options.fade >= 0)) std::abort();
        const bleepforge::RenderLimits limits = bleepforge::cli::render_limits(options);
        if (limits.max_blocks == 0 && limits.loops == 0) std::abort();  // something must end a render
    }
    return 0;
}
