// update-server: the update server's HTTP API over a firmware repository
// folder. A site without internet access runs it as its update server; tests
// run it on loopback. Every request is logged with its raw query string, and
// fault flags make it misbehave in the ways a real server or network can.
#include <httplib.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <vector>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include "Repository.h"

namespace {

enum class Fault { None, Status500, Empty, NotOk, MissingLines, Never, Trickle, CRLF };

struct Options {
  std::string root;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string portFile;
  std::string path = "/cgi/u";
  std::string log;
  std::string cert, key;  // both given: serve https
  Fault fault = Fault::None;
  std::set<std::string> faultOps;  // empty: every request
  int faultCount = 0;              // 0: every matching request
  int trickleMs = 50;
  int trickleBytes = 16;
  int holdSeconds = 3600;
  std::map<std::string, std::string> answers;  // op -> file whose bytes are the body
};

std::string _hex8(uint32_t v) {
  char t[16];
  std::snprintf(t, sizeof t, "%08X", v);
  return t;
}

std::string _base64(const std::string& data) {
  static const char table[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  for (size_t i = 0; i < data.size(); i += 3) {
    uint32_t n = uint32_t(uint8_t(data[i])) << 16;
    if (i + 1 < data.size()) n |= uint32_t(uint8_t(data[i + 1])) << 8;
    if (i + 2 < data.size()) n |= uint8_t(data[i + 2]);
    out += table[(n >> 18) & 63];
    out += table[(n >> 12) & 63];
    out += i + 1 < data.size() ? table[(n >> 6) & 63] : '=';
    out += i + 2 < data.size() ? table[n & 63] : '=';
  }
  return out;
}

std::optional<std::string> _readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// A serial number parameter: 1 to 8 hexadecimal digits.
std::optional<uint32_t> _serial(const httplib::Request& req) {
  std::string sn = req.get_param_value("sn");
  if (sn.empty() || sn.size() > 8 || sn.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
    return std::nullopt;
  return static_cast<uint32_t>(std::stoul(sn, nullptr, 16));
}

struct Answer {
  int status = 200;
  std::string body;
};

Answer _fail(int status, const std::string& why) { return {status, "error: " + why + "\n"}; }

class Server {
 public:
  explicit Server(Options o) : opt_(std::move(o)), repo_(opt_.root) {
    if (!opt_.cert.empty())
      svrPtr_ = std::make_unique<httplib::SSLServer>(opt_.cert.c_str(), opt_.key.c_str());
    else
      svrPtr_ = std::make_unique<httplib::Server>();
  }

  int Run() {
    if (!svrPtr_->is_valid()) {
      std::fprintf(stderr, "update-server: cannot use certificate %s and key %s\n", opt_.cert.c_str(),
                   opt_.key.c_str());
      return 1;
    }
    if (!opt_.log.empty()) {
      logFile_ = std::fopen(opt_.log.c_str(), "a");
      if (!logFile_) {
        std::fprintf(stderr, "update-server: cannot open log %s\n", opt_.log.c_str());
        return 1;
      }
    }
    // Handlers that hold an answer back each keep a worker; leave room for
    // the others.
    svrPtr_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    svrPtr_->Get(opt_.path, [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); });
    svrPtr_->set_error_handler([](const httplib::Request&, httplib::Response& res) {
      if (res.body.empty()) res.set_content("error: not found\n", "text/plain");
    });
    int port = opt_.port == 0 ? svrPtr_->bind_to_any_port(opt_.host) : (svrPtr_->bind_to_port(opt_.host, opt_.port) ? opt_.port : -1);
    if (port <= 0) {
      std::fprintf(stderr, "update-server: cannot listen on %s:%d\n", opt_.host.c_str(), opt_.port);
      return 1;
    }
    if (!opt_.portFile.empty()) {
      std::string tmp = opt_.portFile + ".tmp";
      std::ofstream(tmp) << port << "\n";
      std::rename(tmp.c_str(), opt_.portFile.c_str());
    }
    std::printf("update-server listening on %s://%s:%d%s\n", opt_.cert.empty() ? "http" : "https",
                opt_.host.c_str(), port, opt_.path.c_str());
    std::fflush(stdout);
    bool ok = svrPtr_->listen_after_bind();
    if (logFile_) std::fclose(logFile_);
    return ok || stopping_ ? 0 : 1;
  }

  void Stop() {
    {
      std::lock_guard<std::mutex> lock(holdMutex_);
      stopping_ = true;
    }
    holdCv_.notify_all();
    svrPtr_->stop();
  }

 private:
  void LogRequest(const httplib::Request& req) {
    std::lock_guard<std::mutex> lock(logMutex_);
    FILE* f = logFile_ ? logFile_ : stdout;
    std::fprintf(f, "%s %s\n", req.method.c_str(), req.target.c_str());
    std::fflush(f);
  }

  bool Faulted(const std::string& op) {
    if (opt_.fault == Fault::None) return false;
    if (!opt_.faultOps.empty() && !opt_.faultOps.count(op)) return false;
    if (opt_.faultCount > 0 && faultsDone_.fetch_add(1) >= opt_.faultCount) return false;
    return true;
  }

  Answer Serve(const httplib::Request& req, const std::string& op) {
    if (op == "hi") return {200, "ok\n"};
    if (op == "fix") {
      // The fingerprint arrives as four words separated by blanks ("%20").
      std::istringstream words(req.get_param_value("fp"));
      uint32_t fp[4];
      for (auto& w : fp) {
        std::string text;
        if (!(words >> text) || text.size() > 8 || text.find_first_not_of("0123456789ABCDEFabcdef") != std::string::npos)
          return _fail(400, "bad fingerprint");
        w = static_cast<uint32_t>(std::stoul(text, nullptr, 16));
      }
      auto found = repo_.Recovery(fp);
      if (!found) return _fail(404, "unknown fingerprint");
      uint32_t build = found->second;
      if (build == 0) {
        auto latest = repo_.Latest(found->first);
        if (latest) build = latest->number;
      }
      return {200, "ok\n" + _hex8(found->first) + "\n" + std::to_string(build) + "\n"};
    }
    auto serial = _serial(req);
    if (!serial) return _fail(400, "bad serial number");
    if (op == "qu") {
      auto latest = repo_.Latest(*serial);
      if (!latest) return _fail(404, "no builds for device");
      return {200, "ok\n" + std::to_string(latest->number) + "\n" + latest->version + "\n"};
    }
    if (op == "builds") {
      auto builds = repo_.Builds(*serial);
      if (!builds) return _fail(404, "unknown device");
      std::string body = "ok\n";
      for (const auto& [number, build] : *builds) body += std::to_string(number) + ";" + build.version + "\n";
      return {200, body};
    }
    if (op == "bird") {
      std::string bld = req.get_param_value("bld");
      std::optional<updsrv::Build> build;
      if (bld.empty() || bld == "0") {
        build = repo_.Latest(*serial);
      } else if (bld.size() <= 10 && bld.find_first_not_of("0123456789") == std::string::npos &&
                 std::stoull(bld) <= 0xFFFFFFFFull) {
        auto builds = repo_.Builds(*serial);
        if (builds) {
          auto it = builds->find(static_cast<uint32_t>(std::stoull(bld)));
          if (it != builds->end()) build = it->second;
        }
      } else {
        return _fail(400, "bad build number");
      }
      if (!build) return _fail(404, "no such build");
      auto data = _readFile(build->path);
      if (!data) return _fail(500, "cannot read build");
      return {200, "ok\n" + _base64(*data) + "\n"};
    }
    if (op == "ent_jwt") {
      auto token = repo_.Token(*serial);
      if (!token) return _fail(404, "no token for device");
      return {200, "ok\n" + *token + "\n"};
    }
    return _fail(400, "unknown op");
  }

  void Handle(const httplib::Request& req, httplib::Response& res) {
    LogRequest(req);
    std::string op = req.get_param_value("op");
    Answer answer;
    if (auto fixed = opt_.answers.find(op); fixed != opt_.answers.end()) {
      // A body given whole: read at every request, sent byte for byte.
      auto body = _readFile(fixed->second);
      answer = body ? Answer{200, *body} : _fail(500, "cannot read answer file");
    } else {
      answer = Serve(req, op);
    }
    if (Faulted(op)) {
      switch (opt_.fault) {
        case Fault::Status500:
          answer = {500, "error: internal server error\n"};
          break;
        case Fault::Empty:
          answer.status = 200;
          answer.body.clear();
          break;
        case Fault::NotOk:
          answer.status = 200;
          answer.body = "error" + answer.body.substr(std::min(answer.body.find('\n'), answer.body.size()));
          break;
        case Fault::MissingLines:
          answer = {200, "ok\n"};
          break;
        case Fault::CRLF: {
          std::string body;
          for (char c : answer.body) body += c == '\n' ? std::string("\r\n") : std::string(1, c);
          answer.body = body;
          break;
        }
        case Fault::Never: {
          // Hold the answer back; bounded, and released when the server stops.
          std::unique_lock<std::mutex> lock(holdMutex_);
          holdCv_.wait_for(lock, std::chrono::seconds(opt_.holdSeconds), [this] { return stopping_.load(); });
          res.status = 503;
          return;
        }
        case Fault::Trickle: {
          auto body = std::make_shared<std::string>(answer.body);
          res.status = answer.status;
          int ms = opt_.trickleMs;
          size_t step = static_cast<size_t>(opt_.trickleBytes);
          res.set_content_provider(body->size(), "text/plain",
                                   [this, body, ms, step](size_t offset, size_t length, httplib::DataSink& sink) {
                                     if (stopping_) return false;
                                     std::this_thread::sleep_for(std::chrono::milliseconds(ms));
                                     size_t n = std::min({step, length, body->size() - offset});
                                     return sink.write(body->data() + offset, n);
                                   });
          return;
        }
        case Fault::None:
          break;
      }
    }
    res.status = answer.status;
    res.set_content(answer.body, "text/plain");
  }

  Options opt_;
  updsrv::Repository repo_;
  std::unique_ptr<httplib::Server> svrPtr_;
  FILE* logFile_ = nullptr;
  std::mutex logMutex_;
  std::atomic<int> faultsDone_{0};
  std::mutex holdMutex_;
  std::condition_variable holdCv_;
  std::atomic<bool> stopping_{false};
};

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  std::string fault = "none";
  CLI::App app{"update-server: serves the update server API from a firmware repository folder"};
  app.add_option("-r,--root", opt.root, "Firmware repository folder (one folder per serial number)")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("--host", opt.host, "Address to listen on")->capture_default_str();
  app.add_option("-p,--port", opt.port, "Port to listen on; 0 picks a free one")->capture_default_str()->check(CLI::Range(0, 65535));
  app.add_option("--port-file", opt.portFile, "Write the port listened on to this file");
  app.add_option("--path", opt.path, "Path of the API")->capture_default_str();
  app.add_option("--log", opt.log, "Append one line per request (method and raw target) to this file; default stdout");
  auto* cert = app.add_option("--cert", opt.cert, "Serve https with this certificate (PEM)")->check(CLI::ExistingFile);
  app.add_option("--key", opt.key, "Private key (PEM) of the certificate")->check(CLI::ExistingFile)->needs(cert);
  cert->needs(app.get_option("--key"));
  app.add_option("--fault", fault, "Misbehave: none, status500, empty, not-ok, missing-lines, never, trickle, crlf")
      ->check(CLI::IsMember({"none", "status500", "empty", "not-ok", "missing-lines", "never", "trickle", "crlf"}))
      ->capture_default_str();
  app.add_option("--fault-op", opt.faultOps, "Fault only these requests (op values: hi qu bird builds fix ent_jwt)")
      ->check(CLI::IsMember({"hi", "qu", "bird", "builds", "fix", "ent_jwt"}));
  app.add_option("--fault-count", opt.faultCount, "Fault only the first N matching requests; 0 every one")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--trickle-ms", opt.trickleMs, "trickle: pause before each piece of the body")
      ->capture_default_str()->check(CLI::Range(0, 60000));
  app.add_option("--trickle-bytes", opt.trickleBytes, "trickle: bytes per piece")
      ->capture_default_str()->check(CLI::Range(1, 1 << 20));
  app.add_option("--hold-seconds", opt.holdSeconds, "never: how long an answer is held back before the connection is dropped")
      ->capture_default_str()->check(CLI::Range(1, 86400));
  std::vector<std::string> answerSpecs;
  app.add_option("--answer", answerSpecs,
                 "OP=FILE: answer every request of OP with status 200 and the bytes of FILE as the body (repeatable)");
  CLI11_PARSE(app, argc, argv);
  for (const auto& spec : answerSpecs) {
    size_t eq = spec.find('=');
    if (eq == std::string::npos || eq == 0 || eq + 1 == spec.size()) {
      std::fprintf(stderr, "update-server: --answer needs OP=FILE, not %s\n", spec.c_str());
      return 1;
    }
    opt.answers[spec.substr(0, eq)] = spec.substr(eq + 1);
  }

  if (fault == "status500") opt.fault = Fault::Status500;
  else if (fault == "empty") opt.fault = Fault::Empty;
  else if (fault == "not-ok") opt.fault = Fault::NotOk;
  else if (fault == "missing-lines") opt.fault = Fault::MissingLines;
  else if (fault == "never") opt.fault = Fault::Never;
  else if (fault == "trickle") opt.fault = Fault::Trickle;
  else if (fault == "crlf") opt.fault = Fault::CRLF;

  // Signals are taken by one thread that stops the server cleanly.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Server server(opt);
  std::thread waiter([&] {
    int sig = 0;
    sigwait(&set, &sig);
    if (sig != 0) server.Stop();
  });
  int rc = server.Run();
  // Wakes the signal thread in case the server ended by itself.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  return rc;
}
