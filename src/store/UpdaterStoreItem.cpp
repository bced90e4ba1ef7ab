#include "store/UpdaterStoreItem.h"

#include <atomic>
#include <cstdio>
#include <stdexcept>
#include <unistd.h>

#include "app/Log.h"
#include "common/aDirectory.h"
#include "platform/aFile.h"

namespace {

std::string entryName(const char* path) {
  std::string p(path);
  auto slash = p.rfind('/');
  return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool _find_item(const aDirectoryListData* entry, void* user) {
  auto* result = static_cast<result_t*>(user);
  Log::log(DEBUG_Updater, "%s([%s], %d, %d) searching for %s\n", "_find_item", entry->path,
           entry->isDirectory ? 1 : 0, static_cast<int>(entry->size), result->search.c_str());
  std::string name = entryName(entry->path);
  if (name == "." || name == "..") return true;
  // The entry's own name is searched, not its path: a parent folder whose
  // name happens to hold the text must not make every entry match.
  if (name.find(result->search) == std::string::npos) return true;
  result->found = true;
  if (result->item != nullptr) {
    std::string path(entry->path);
    auto slash = path.rfind('/');
    std::string parent = slash == std::string::npos ? std::string() : path.substr(0, slash);
    *result->item = UpdaterStoreItem(parent, name, entry->isDirectory ? STORE_ITEM_DIRECTORY : STORE_ITEM_FILE);
  }
  return false;
}

bool isPlainName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

}  // namespace

bool UpdaterStore_SearchFolder(const std::string& folder, result_t& result) {
  result.found = false;
  aErr err = aDirectory_List(folder.c_str(), _find_item, &result);
  if (err != aErrNone) result.found = false;
  Log::log(DEBUG_Updater, "UpdaterStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
           result.search.c_str());
  return result.found;
}

UpdaterStoreItem::UpdaterStoreItem() = default;

UpdaterStoreItem::UpdaterStoreItem(const std::string& base, const std::string& itemName, store_item_t itemKind)
    : basePath(base), name(itemName), kind(itemKind) {
  settings.Load(BuildPath(basePath, name, KeyValueStore::DEFAULT_FILENAME));
}

bool UpdaterStoreItem::IsValid() const { return !basePath.empty() && !name.empty(); }

std::string UpdaterStoreItem::Path() const { return BuildPath(basePath, name); }

bool UpdaterStoreItem::FileExists(const std::string& fileName) const {
  result_t result;
  result.search = fileName;
  return UpdaterStore_SearchFolder(Path(), result);
}

aErr UpdaterStoreItem::WriteFile(const std::string& fileName, const void* data, size_t count) const {
  if (data == nullptr) return aErrNotFound;
  // Only a file of this folder: a name with a separator could reach anywhere.
  // Refused as a file that cannot be opened.
  if (!isPlainName(fileName)) return aErrNotFound;
  static std::atomic<unsigned> counter{0};
  const std::string target = BuildPath(basePath, name, fileName);
  // Hidden from build listings (leading ".") until it is renamed into place,
  // and without the target's name, so that a temporary left by a crash is
  // never taken for the file by FileExists.
  const std::string tmp =
      BuildPath(basePath, name, ".tmp.file." + std::to_string(getpid()) + "." + std::to_string(counter++));
  aFileRef file = aFile_Open(tmp.c_str(), aFileModeWriteOnly);
  if (file == nullptr) return aErrNotFound;
  size_t written = 0;
  aErr err = count ? aFile_Write(file, data, count, &written) : aErrNone;
  aErr closeErr = aFile_Close(&file);
  if (err == aErrNone) err = closeErr;
  if (err == aErrNone && rename(tmp.c_str(), target.c_str()) != 0) err = aErrIO;
  if (err != aErrNone) {
    Log::log(DEBUG_Updater, "UpdaterStore: Error (%d) writing %s\n", err, target.c_str());
    aFile_Delete(tmp.c_str());
  }
  return err;
}

BirdFile UpdaterStoreItem::ReadBirdFile(const std::string& fileName) const {
  const std::string path = BuildPath(basePath, name, fileName);
  if (!BirdFile::VerifyFile(path)) throw std::runtime_error("Invalid bird " + path);
  return BirdFile(path);
}
