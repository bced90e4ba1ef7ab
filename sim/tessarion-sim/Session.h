#pragma once
// One host's conversation with the module over one transport connection:
// packet assembly, synchronisation answers, heartbeats and their checks,
// route requests, and the faults that tests switch on.
#include <cstdint>
#include <string>
#include <vector>

#include "EventLoop.h"
#include "Module.h"
#include "Wire.h"

namespace tsim {

// Faults shared by every session; switched by flags or control commands.
struct Faults {
  bool silent = false;        // answer nothing, send no heartbeats
  int slowMs = 0;             // delay every byte the module sends
  int garbageEvery = 0;       // garbage bytes before every Nth answer
  bool oddAddress = false;    // sync answers carry an odd address byte
  bool syncMismatch = false;  // consecutive sync answers come from different addresses
  int dropAfter = 0;          // drop the connection after N received packets
};

// What a session needs from its transport.
class HostLink {
 public:
  virtual ~HostLink() = default;
  virtual void send(const std::vector<std::uint8_t>& bytes) = 0;
  // Breaks the connection (a reset on TCP).
  virtual void drop() = 0;
  virtual const char* kind() const = 0;
};

struct SessionStats {
  std::uint64_t packetsIn = 0;
  std::uint64_t packetsOut = 0;
  std::uint64_t syncQueries = 0;
  std::uint64_t heartbeatsSent = 0;
  std::uint64_t heartbeatsOk = 0;
  std::uint64_t heartbeatsBad = 0;
  std::uint64_t heartbeatsMissed = 0;
  std::uint64_t refusedBytes = 0;
};

class Session {
 public:
  Session(EventLoop& loop, Module& module, Faults& faults, HostLink& link, int heartbeatMs);
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  void connected();
  void disconnected();
  bool isConnected() const { return connected_; }
  void bytesIn(const std::uint8_t* bytes, std::size_t n);

  // Faults on demand.
  void sendGarbage(std::size_t n);
  void sendOddByte();

  void setHeartbeatMs(int ms);
  SessionStats stats() const;

 private:
  void onPacket(const Packet& p);
  void emit(const Packet& p);
  void sendRaw(const std::vector<std::uint8_t>& bytes);
  void scheduleHeartbeat();
  void heartbeat();
  void cancelTimers();

  EventLoop& loop_;
  Module& module_;
  Faults& faults_;
  HostLink& link_;
  int heartbeatMs_;

  bool connected_ = false;
  // Bumped on every connect and disconnect, so that delayed output of an
  // earlier connection is never sent on a later one.
  std::uint64_t generation_ = 0;
  PacketReader reader_;
  SessionStats stats_;
  std::uint64_t answers_ = 0;
  std::uint64_t syncAnswers_ = 0;
  bool hostActive_ = false;  // heartbeats start once the host has spoken
  bool heartbeatOutstanding_ = false;
  std::uint8_t heartbeatValue_ = 0;
  std::uint8_t heartbeatNext_ = 1;
  EventLoop::TimerId heartbeatTimer_ = 0;
  bool dropPending_ = false;
};

}  // namespace tsim
