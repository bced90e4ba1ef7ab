#include "Session.h"

#include "EventLog.h"

namespace tsim {

Session::Session(EventLoop& loop, Module& module, Faults& faults, HostLink& link, int heartbeatMs)
    : loop_(loop), module_(module), faults_(faults), link_(link), heartbeatMs_(heartbeatMs) {}

Session::~Session() { cancelTimers(); }

void Session::cancelTimers() {
  if (heartbeatTimer_) loop_.cancel(heartbeatTimer_);
  heartbeatTimer_ = 0;
}

void Session::connected() {
  ++generation_;
  connected_ = true;
  reader_.reset();
  hostActive_ = false;
  heartbeatOutstanding_ = false;
  dropPending_ = false;
  syncAnswers_ = 0;
  answers_ = 0;
  stats_.packetsIn = 0;
  event("connected %s", link_.kind());
}

void Session::disconnected() {
  if (!connected_) return;
  ++generation_;
  connected_ = false;
  cancelTimers();
  if (module_.route()) {
    // A host that vanishes without releasing its route leaves it to us.
    event("route dropped");
    module_.setRoute(0);
  }
  event("disconnected %s", link_.kind());
}

void Session::bytesIn(const std::uint8_t* bytes, std::size_t n) {
  std::uint64_t gen = generation_;
  for (std::size_t i = 0; i < n && connected_ && gen == generation_ && !dropPending_; ++i) {
    std::uint64_t before = reader_.refused();
    auto p = reader_.feed(bytes[i]);
    if (reader_.refused() != before) ++stats_.refusedBytes;
    if (p) onPacket(*p);
  }
}

void Session::onPacket(const Packet& p) {
  ++stats_.packetsIn;
  if (faults_.dropAfter > 0 && stats_.packetsIn >= std::uint64_t(faults_.dropAfter)) {
    event("drop after %llu packets", static_cast<unsigned long long>(stats_.packetsIn));
    dropPending_ = true;
    std::uint64_t gen = generation_;
    // Not from inside the read handler: the transport closes its socket.
    loop_.after(std::chrono::milliseconds(0), [this, gen] {
      if (gen == generation_) link_.drop();
    });
    return;
  }

  if (p.address == kAddrSync) {
    if (!p.data.empty()) {
      event("sync malformed");
      return;
    }
    ++stats_.syncQueries;
    event("sync query");
    std::uint8_t addr = module_.address();
    if (faults_.syncMismatch && (syncAnswers_ & 1)) addr = std::uint8_t(addr + 2);
    if (faults_.oddAddress) addr |= 1;
    ++syncAnswers_;
    emit(Packet{addr, {}});
    if (!hostActive_) {
      hostActive_ = true;
      scheduleHeartbeat();
    }
    return;
  }
  if (p.address == kAddrRoute) {
    if (p.data.size() != 1 || p.data[0] > 1) {
      event("route malformed %s", p.describe().c_str());
      return;
    }
    module_.setRoute(p.data[0]);
    event("route %u", p.data[0]);
    return;
  }
  if (p.address != module_.address()) {
    event("ignored %s", p.describe().c_str());
    return;
  }
  if (!hostActive_) {
    hostActive_ = true;
    scheduleHeartbeat();
  }
  if (p.data.size() == 2 && p.data[0] == 0x00) {
    // A heartbeat answer: the value we sent plus two.
    if (heartbeatOutstanding_ && p.data[1] == std::uint8_t(heartbeatValue_ + 2)) {
      ++stats_.heartbeatsOk;
      event("heartbeat answer ok %u", heartbeatValue_);
    } else {
      ++stats_.heartbeatsBad;
      event("heartbeat answer bad %u", p.data[1]);
    }
    heartbeatOutstanding_ = false;
    return;
  }
  std::vector<Packet> answers;
  module_.handle(p, answers);
  for (const Packet& a : answers) emit(a);
}

void Session::emit(const Packet& p) {
  if (faults_.silent || !connected_) return;
  ++answers_;
  ++stats_.packetsOut;
  if (faults_.garbageEvery > 0 && answers_ % std::uint64_t(faults_.garbageEvery) == 0) sendGarbage(3);
  sendRaw(p.wire());
}

void Session::sendRaw(const std::vector<std::uint8_t>& bytes) {
  if (!connected_) return;
  if (faults_.slowMs <= 0) {
    link_.send(bytes);
    return;
  }
  std::uint64_t gen = generation_;
  loop_.after(std::chrono::milliseconds(faults_.slowMs), [this, gen, bytes] {
    if (gen == generation_ && connected_) link_.send(bytes);
  });
}

void Session::sendGarbage(std::size_t n) {
  // Starts with an odd byte, so that no receiver can take it for an address.
  static const std::uint8_t pattern[] = {0x03, 0xFF, 0x41, 0x1D, 0xE7, 0x00, 0x99};
  std::vector<std::uint8_t> g;
  for (std::size_t i = 0; i < n; ++i) g.push_back(pattern[i % sizeof pattern]);
  event("garbage %zu", n);
  sendRaw(g);
}

void Session::sendOddByte() {
  event("odd byte");
  sendRaw({std::uint8_t(module_.address() | 1)});
}

void Session::setHeartbeatMs(int ms) {
  heartbeatMs_ = ms;
  cancelTimers();
  if (connected_ && hostActive_) scheduleHeartbeat();
}

void Session::scheduleHeartbeat() {
  if (heartbeatMs_ <= 0 || heartbeatTimer_) return;
  heartbeatTimer_ = loop_.after(std::chrono::milliseconds(heartbeatMs_), [this] {
    heartbeatTimer_ = 0;
    heartbeat();
    scheduleHeartbeat();
  });
}

void Session::heartbeat() {
  if (!connected_ || faults_.silent) return;
  if (heartbeatOutstanding_) {
    ++stats_.heartbeatsMissed;
    event("heartbeat missed %u", heartbeatValue_);
  }
  heartbeatValue_ = heartbeatNext_++;
  heartbeatOutstanding_ = true;
  ++stats_.heartbeatsSent;
  event("heartbeat %u", heartbeatValue_);
  sendRaw(Packet{module_.address(), {0x00, heartbeatValue_}}.wire());
}

SessionStats Session::stats() const {
  SessionStats s = stats_;
  return s;
}

}  // namespace tsim
