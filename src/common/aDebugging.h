#pragma once
// The module library's diagnostic trace. A trace line of an area is written
// to standard output (flushed) only while aTessarionDebuggingEnable is
// non-zero and aTessarionDebuggingLevel has the area's bit. Both start at 0
// and the program never sets them; tools and tests may.
#include <atomic>
#include <cstdint>

extern std::atomic<uint8_t> aTessarionDebuggingEnable;
extern std::atomic<uint32_t> aTessarionDebuggingLevel;

// Trace areas (bits of aTessarionDebuggingLevel).
#define aDEBUG_LINK 0x0001u        // link table, link life cycle, pipes, connect, UEI receive
#define aDEBUG_PACKETS 0x0002u     // each packet and heartbeat sent or received by a link
#define aDEBUG_SERVER 0x0004u      // link server
#define aDEBUG_MULTICAST 0x0008u   // multicast socket helpers
#define aDEBUG_DISCOVERY 0x0010u   // network discovery, interface list, server interface choice
#define aDEBUG_ZMQCLIENT 0x0020u   // ZeroMQ client stream
#define aDEBUG_AUTONET 0x0040u     // automatic networking of a module
#define aDEBUG_BEACONLOCK 0x0200u  // beacon interface locking
#define aDEBUG_USB 0x0400u         // USB driver

// True when a trace line of the area would be written now.
bool aDebugging_IsOn(uint32_t area);
// Writes one formatted trace line of the area (if on) and flushes stdout.
// The caller supplies the line end.
void aDebugging_Trace(uint32_t area, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Traces without evaluating the arguments when the area is off.
#define aTRACE(area, ...)                                           \
  do {                                                              \
    if (aDebugging_IsOn(area)) aDebugging_Trace((area), __VA_ARGS__); \
  } while (0)
