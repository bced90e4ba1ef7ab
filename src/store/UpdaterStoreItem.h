#pragma once
// One folder or file of the local store: its parent path, its own name, its
// kind, and the settings file that belongs to it (name/.settings).
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/aError.h"
#include "store/BirdFile.h"
#include "store/KeyValueStore.h"

typedef enum : uint8_t {
  STORE_ITEM_FILE = 0,
  STORE_ITEM_DIRECTORY = 1,
  STORE_ITEM_NONE = 2,
} store_item_t;

class UpdaterStoreItem {
 public:
  // An empty item of kind STORE_ITEM_NONE with empty settings.
  UpdaterStoreItem();
  // Loads (or, for a folder, creates) basePath/name/.settings.
  UpdaterStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);
  // The kind as its number (0 file, 1 folder); any other number is "not set".
  UpdaterStoreItem(const std::string& basePath, const std::string& name, int kind)
      : UpdaterStoreItem(basePath, name,
                         kind == STORE_ITEM_FILE || kind == STORE_ITEM_DIRECTORY ? static_cast<store_item_t>(kind)
                                                                                 : STORE_ITEM_NONE) {}

  // Both the parent path and the name are set.
  bool IsValid() const;
  // basePath/name.
  std::string Path() const;
  // True when an entry of the item's folder has fileName in its own name.
  bool FileExists(const std::string& fileName) const;
  // Writes the bytes to basePath/name/fileName through a temporary file that
  // replaces the old file only once complete. aErrNotFound for null data, a
  // file that cannot be created, or a name that is not a plain file name of
  // this folder (empty, ".", "..", or holding "/"); else the result of the write.
  aErr WriteFile(const std::string& fileName, const void* data, size_t count) const;
  // The BIRD file basePath/name/fileName. Throws std::runtime_error
  // "Invalid bird <path>" when it does not start like one, and the BirdFile
  // constructor's error when it cannot be loaded.
  BirdFile ReadBirdFile(const std::string& fileName) const;

  std::string basePath;
  std::string name;
  store_item_t kind = STORE_ITEM_NONE;
  KeyValueStore settings;
};

// The search record of a folder listing: the text searched for, whether an
// entry matched, and the item to fill with the match (may be null).
struct result_t {
  bool found = false;
  std::string search;
  UpdaterStoreItem* item = nullptr;
};

// Lists the folder and stops at the first entry whose own name (not its
// path) holds result.search; fills result.item with it when one is given.
// False when nothing matched or the folder cannot be listed.
bool UpdaterStore_SearchFolder(const std::string& folder, result_t& result);
