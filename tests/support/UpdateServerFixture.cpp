#include "support/UpdateServerFixture.h"

#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace tstest {

namespace {

void _be32(std::string& out, uint32_t v) {
  out += static_cast<char>(v >> 24);
  out += static_cast<char>(v >> 16);
  out += static_cast<char>(v >> 8);
  out += static_cast<char>(v);
}

void _block(std::string& out, uint8_t type, const std::string& payload) {
  out += static_cast<char>(type);
  _be32(out, static_cast<uint32_t>(payload.size()));
  out += payload;
}

std::string _field(const std::string& text) {
  std::string f = text.substr(0, 16);
  f.resize(16, ' ');
  return f;
}

}  // namespace

std::string birdContainer(const BirdSpec& spec) {
  std::string blocks;
  uint32_t count = 0;
  if (spec.infoBlock) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", spec.serial);
    std::string info = _field(std::to_string(spec.build)) + _field(spec.version) + _field(serial) + _field(spec.model);
    _block(blocks, 4, info);
    ++count;
  }
  std::string fw;
  _be32(fw, spec.address);
  fw += spec.firmware;
  _block(blocks, 1, fw);
  ++count;
  std::string out;
  _be32(out, count);
  out += blocks;
  _be32(out, 0x12345678);  // checksum: carried, never checked
  return out;
}

std::string zlibStored(const std::string& data) {
  std::string out("\x78\x01", 2);
  size_t pos = 0;
  do {
    size_t n = std::min<size_t>(65535, data.size() - pos);
    bool last = pos + n == data.size();
    out += static_cast<char>(last ? 1 : 0);
    out += static_cast<char>(n & 0xFF);
    out += static_cast<char>(n >> 8);
    out += static_cast<char>(~n & 0xFF);
    out += static_cast<char>((~n >> 8) & 0xFF);
    out.append(data, pos, n);
    pos += n;
  } while (pos < data.size());
  uint32_t a = 1, b = 0;
  for (unsigned char c : data) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  _be32(out, (b << 16) | a);
  return out;
}

std::string birdFile(const BirdSpec& spec) { return std::string("bird\x01\x01", 6) + zlibStored(birdContainer(spec)); }

std::string deviceFolder(const std::string& root, uint32_t serial) {
  char name[16];
  std::snprintf(name, sizeof name, "%08X", serial);
  std::string folder = root + "/" + name;
  std::filesystem::create_directories(folder);
  return folder;
}

void addBuild(const std::string& root, uint32_t serial, const BirdSpec& spec) {
  writeFile(deviceFolder(root, serial) + "/" + std::to_string(spec.build) + ".bird", birdFile(spec));
}

std::vector<std::string> fixedAnswers(const std::string& dir, const std::map<std::string, std::string>& bodies) {
  std::vector<std::string> args;
  for (const auto& [op, body] : bodies) {
    std::string file = dir + "/answer-" + op + ".txt";
    writeFile(file, body);
    args.push_back("--answer");
    args.push_back(op + "=" + file);
  }
  return args;
}

UpdateServer::UpdateServer(const std::string& root, const std::vector<std::string>& extra)
    : dir_(std::make_unique<TempDir>()) {
  logPath_ = dir_->file("requests.log");
  std::vector<std::string> argv{binPath("update-server"), "--root", root, "--host", "127.0.0.1", "--port", "0",
                                "--log", logPath_};
  argv.insert(argv.end(), extra.begin(), extra.end());
  proc_ = std::make_unique<Background>(argv);
  const std::string marker = "://127.0.0.1:";
  if (!proc_->waitForOutput(marker, std::chrono::seconds(10)))
    throw std::runtime_error("update-server did not start: " + proc_->err());
  std::string out = proc_->out();
  port_ = std::stoi(out.substr(out.find(marker) + marker.size()));
}

UpdateServer::~UpdateServer() { proc_->stop(); }

std::string UpdateServer::url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/cgi/u"; }

std::vector<std::string> UpdateServer::queries() const {
  std::vector<std::string> out;
  std::istringstream lines(readFile(logPath_));
  std::string line;
  while (std::getline(lines, line)) {
    size_t q = line.find('?');
    out.push_back(q == std::string::npos ? std::string() : line.substr(q + 1));
  }
  return out;
}

bool UpdateServer::waitForRequests(size_t n, std::chrono::milliseconds timeout) const {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (queries().size() < n) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

}  // namespace tstest
