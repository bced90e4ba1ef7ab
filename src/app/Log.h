#pragma once
// Diagnostic log: lines grouped into packages that the -X mask switches on.
// Every application-level component writes its diagnostics through Log::log
// with its package bit; package 0 is always written.
#include <atomic>
#include <cstdint>
#include <cstdio>

// Package bits, as the -X usage text names them.
constexpr uint32_t DEBUG_Updater = 0x00000001;       // Updater operations, local store, option parsing
constexpr uint32_t DEBUG_History = 0x00000002;       // no user
constexpr uint32_t DEBUG_Attributes = 0x00000004;    // key-value settings files
constexpr uint32_t DEBUG_BirdFile = 0x00000008;      // BIRD files
constexpr uint32_t DEBUG_Network = 0x00000010;       // no user
constexpr uint32_t DEBUG_ServerComm = 0x00000020;    // HTTP transport, update server requests
// The usage text lists a second "DEBUG_Network" row with this value; it is the
// one actually used (loader reconnection, link-type lookup, recovery).
constexpr uint32_t DEBUG_Network2 = 0x00000100;
constexpr uint32_t DEBUG_Network_SR = 0x00000200;    // no user
constexpr uint32_t DEBUG_Network_FIRM = 0x00000400;  // loader protocol
constexpr uint32_t DEBUG_NXPSerial = 0x00001000;     // LPC ISP operations
constexpr uint32_t DEBUG_NXPSerial_E = 0x00002000;   // LPC ISP echo handling
constexpr uint32_t DEBUG_NXPSerial_SR = 0x00004000;  // LPC ISP bytes sent and received
constexpr uint32_t DEBUG_APP = 0x00010000;           // main, option parsing, download worker, fingerprints
constexpr uint32_t DEBUG_iMXSerial = 0x10000000;     // i.MX serial download protocol

class Log {
 public:
  Log() {}
  ~Log() {}

  // Writes the printf-style message to the output stream when `package` is 0
  // or shares a bit with the active mask. No line end is added. Output longer
  // than 2047 characters is cut.
  static void log(uint32_t package, const char* format, ...) __attribute__((format(printf, 2, 3)));

  static void SetOutput(FILE* stream) { fh.store(stream); }
  static void ActivatePackage(uint32_t mask) { package_bitmask.fetch_or(mask); }
  static void DeactivatePackage(uint32_t mask) { package_bitmask.fetch_and(~mask); }

  // The download worker logs while the main thread runs, so the shared state
  // is atomic.
  static inline std::atomic<uint32_t> package_bitmask{0};
  static inline std::atomic<FILE*> fh{nullptr};
  static inline std::atomic<bool> timestamped{false};

  static constexpr const char* TIMESTAMP_FORMAT = "%Y:%m:%d:%H:%M:%S";
  static constexpr const char* SEPARATOR = " | ";
};
