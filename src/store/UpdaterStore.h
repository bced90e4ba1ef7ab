#pragma once
// The local firmware store: one folder per device under the updater
// directory, named by the serial number ("%08X"), holding the device's
// settings file and its downloaded builds (BUILD.bird).
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "store/UpdaterStoreItem.h"

class UpdaterStore {
 public:
  // Makes sure the base directory exists; throws std::runtime_error when it
  // cannot be created or is a file.
  explicit UpdaterStore(const std::string& path);

  const std::string& BasePath() const { return basePath; }

  // Makes sure of the folder base/name and returns its item, whose settings
  // are loaded from (or created in) base/name/.settings. Throws like the
  // constructor.
  UpdaterStoreItem AddDevice(uint32_t serial);
  UpdaterStoreItem AddDevice(const std::string& name);

  // True when an entry of the base directory has the text in its own name
  // (the first one listed wins); the item, when given, is then filled and
  // its settings loaded.
  bool FindDevice(uint32_t serial, UpdaterStoreItem* item = nullptr);
  bool FindDevice(const std::string& name, UpdaterStoreItem* item = nullptr);
  bool FindDevice(uint32_t serial, UpdaterStoreItem& item) { return FindDevice(serial, &item); }
  bool FindDevice(const std::string& name, UpdaterStoreItem& item) { return FindDevice(name, &item); }

  // Appends an item for every entry of the device's folder whose name does
  // not start with "." (directory order); always true.
  bool FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items);
  bool FindLocalBuilds(uint32_t serial, std::list<UpdaterStoreItem>& items);

  // "%08X" of a serial number: the name of a device's folder.
  static std::string DeviceName(uint32_t serial);

  std::string basePath;
};
