#include "support/BirdFixture.h"

#include <stdexcept>

namespace tstest {

RunResult birdtool(const std::vector<std::string>& args) {
  std::vector<std::string> argv{binPath("birdtool")};
  argv.insert(argv.end(), args.begin(), args.end());
  return run(argv);
}

std::string makeBird(const std::string& path, const std::vector<std::string>& args) {
  std::vector<std::string> all{"create", "-o", path};
  all.insert(all.end(), args.begin(), args.end());
  RunResult r = birdtool(all);
  if (r.status != 0) {
    throw std::runtime_error("birdtool create failed (" + std::to_string(r.status) + "): " + r.err);
  }
  return path;
}

}  // namespace tstest
