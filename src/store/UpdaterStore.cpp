#include "store/UpdaterStore.h"

#include <cstdio>
#include <stdexcept>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "platform/aFile.h"

namespace {

constexpr uint32_t FOLDER_PERMISSIONS = 0755;

void ensureDirectory(const std::string& path) {
  if (aDirectory_Exists(path.c_str())) {
    Log::log(DEBUG_Updater, "UpdaterStore: [%s] already exists.\n", path.c_str());
    return;
  }
  if (aFile_Exists(path.c_str())) throw std::runtime_error("UpdaterStore: " + path + " exists and is a file");
  aErr err = aDirectory_Ensure(path.c_str(), FOLDER_PERMISSIONS);
  if (err != aErrNone) {
    throw std::runtime_error("UpdaterStore: Could not create directory " + path + " error " +
                             std::to_string(static_cast<int>(err)));
  }
  Log::log(DEBUG_Updater, "UpdaterStore: Created directory [%s].\n", path.c_str());
}

struct BuildListing {
  std::string folder;  // the device folder: the base path of every item
  std::vector<UpdaterStoreItem>* items;
};

bool _find_items(const aDirectoryListData* entry, void* user) {
  auto* listing = static_cast<BuildListing*>(user);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d)\n", "_find_items", entry->path, entry->isDirectory ? 1 : 0,
           static_cast<int>(entry->size));
  std::string path(entry->path);
  auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name[0] == '.') return true;  // ".", ".." and the store's own files
  listing->items->emplace_back(listing->folder, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  return true;
}

}  // namespace

std::string UpdaterStore::DeviceName(uint32_t serial) {
  char buf[16];
  snprintf(buf, sizeof buf, "%08X", serial);
  return buf;
}

UpdaterStore::UpdaterStore(const std::string& path) : basePath(path) { ensureDirectory(basePath); }

UpdaterStoreItem UpdaterStore::AddDevice(uint32_t serial) { return AddDevice(DeviceName(serial)); }

UpdaterStoreItem UpdaterStore::AddDevice(const std::string& name) {
  ensureDirectory(BuildPath(basePath, name));
  return UpdaterStoreItem(basePath, name, STORE_ITEM_DIRECTORY);
}

bool UpdaterStore::FindDevice(uint32_t serial, UpdaterStoreItem* item) { return FindDevice(DeviceName(serial), item); }

bool UpdaterStore::FindDevice(const std::string& name, UpdaterStoreItem* item) {
  result_t result;
  result.search = name;
  result.item = item;
  return UpdaterStore_SearchFolder(basePath, result);
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::list<UpdaterStoreItem>& items) {
  std::vector<UpdaterStoreItem> found;
  FindLocalBuilds(serial, found);
  items.insert(items.end(), found.begin(), found.end());
  return true;
}

bool UpdaterStore::FindLocalBuilds(uint32_t serial, std::vector<UpdaterStoreItem>& items) {
  UpdaterStoreItem device;
  if (!FindDevice(serial, &device)) return true;
  BuildListing listing{device.Path(), &items};
  aDirectory_List(listing.folder.c_str(), _find_items, &listing);
  return true;
}
