#pragma once
// BIRD file fixtures made by the built birdtool, for the tests of every layer.
//
//   tstest::makeBird(dir.file("fw.bird"),
//                    {"--loader", "0x10000000:pattern=256", "--firmware", "0x0:pattern=4096:2",
//                     "--info", "1200", "2.10.7", "00000000", "MODEL", "--serial-location", "0x100", "0x200"});
//
// Run `birdtool create --help` for every option (blocks, scrambling for a
// fingerprint, and the faults: wrong declared count, a block running past the
// end, bad zlib data, short information block, truncation...).
#include <string>
#include <vector>

#include "support/Process.h"

namespace tstest {

// Runs birdtool with the arguments (the subcommand first).
RunResult birdtool(const std::vector<std::string>& args);

// Runs "birdtool create -o path args..." and returns path; throws
// std::runtime_error with birdtool's message when it fails.
std::string makeBird(const std::string& path, const std::vector<std::string>& args);

}  // namespace tstest
