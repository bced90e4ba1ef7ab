#include "common/aLogger.h"

#include <atomic>
#include <new>
#include <thread>

#include "platform/aThread.h"

struct aLogger {
  uint32_t linkRef = 0;
  aLoggerFormatter formatter = nullptr;
  aFileRef file = nullptr;
  aThreadRef thread = nullptr;
  std::atomic<std::thread::id> threadId{};
  std::atomic<uint8_t> running{0};
  uint16_t check = 0;
};

#define aVALIDLOGGER(l) ((l) != nullptr && (l)->check == aLOGGERCHECK)

namespace {

void* sLoggerProcess(void* arg) {
  aLogger* logger = static_cast<aLogger*>(arg);
  logger->threadId = std::this_thread::get_id();
  while (logger->running.load()) logger->formatter(logger->file, logger->linkRef);
  return nullptr;
}

}  // namespace

aLoggerRef aLogger_Create(uint32_t linkRef, aLoggerFormatter formatter, const char* path) {
  if (!formatter || !path) return nullptr;
  aFileRef file = aFile_Open(path, aFileModeAppend);
  if (!file) return nullptr;
  aFile_Seek(file, 0, aSeekEnd);
  aFile_SetUnbuffered(file);
  aLogger* logger = new (std::nothrow) aLogger();
  if (!logger) {
    aFile_Close(&file);
    return nullptr;
  }
  logger->linkRef = linkRef;
  logger->formatter = formatter;
  logger->file = file;
  logger->check = aLOGGERCHECK;
  return logger;
}

aErr aLogger_Enable(aLoggerRef logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (logger->running.load()) return aErrNone;
  logger->running = 1;
  logger->thread = aThread_Create(sLoggerProcess, logger);
  if (!logger->thread) {
    logger->running = 0;
    return aErrResource;
  }
  return aErrNone;
}

aErr aLogger_Disable(aLoggerRef logger) {
  if (!aVALIDLOGGER(logger)) return aErrParam;
  if (!logger->running.load()) return aErrNone;
  // A formatter that disables its own logger would join itself.
  if (logger->threadId.load() == std::this_thread::get_id()) return aErrNone;
  logger->running = 0;
  if (aThread_Destroy(&logger->thread) != 0) return aErrUnknown;
  logger->threadId = std::thread::id();
  return aErrNone;
}

aErr aLogger_Destroy(aLoggerRef* logger) {
  if (!logger || !aVALIDLOGGER(*logger)) return aErrNone;
  aLogger* l = *logger;
  aErr err = aLogger_Disable(l);
  if (err != aErrNone) return err;
  if (l->running.load()) return aErrBusy;  // called from its own thread
  aFile_Close(&l->file);
  l->check = 0;
  delete l;
  *logger = nullptr;
  return aErrNone;
}
