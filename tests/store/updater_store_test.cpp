// UpdaterStore and UpdaterStoreItem on real folders: creation, lookups,
// build listing, reading and writing files.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "StoreTestUtil.h"
#include "store/UpdaterStore.h"
#include "support/BirdFixture.h"
#include "support/NamedPipe.h"
#include "support/Process.h"

using storetest::LogCapture;
using tstest::makeBird;
using tstest::readFile;
using tstest::TempDir;
using tstest::writeFile;
namespace fs = std::filesystem;

namespace {

std::string runtimeErrorOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "(no exception)";
}

// Entry names of a folder in the order the system lists them.
std::vector<std::string> listed(const std::string& dir) {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator(dir)) out.push_back(e.path().filename().string());
  return out;
}

}  // namespace

TEST(UpdaterStore, CreatesItsBaseFolderWithMissingParents) {
  TempDir dir;
  std::string base = dir.file("home/.corvanex/updater");
  LogCapture log(DEBUG_Updater);
  UpdaterStore store(base);
  EXPECT_TRUE(fs::is_directory(base));
  EXPECT_EQ(store.BasePath(), base);
  EXPECT_EQ(store.basePath, base);
  EXPECT_EQ(fs::status(base).permissions() & fs::perms::all,
            fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec | fs::perms::others_read |
                fs::perms::others_exec);
  UpdaterStore again(base);
  std::string text = log.text();
  EXPECT_NE(text.find("UpdaterStore: Created directory [" + base + "].\n"), std::string::npos);
  EXPECT_NE(text.find("UpdaterStore: [" + base + "] already exists.\n"), std::string::npos);
}

TEST(UpdaterStore, BasePathThatIsAFileOrCannotBeMadeThrows) {
  TempDir dir;
  writeFile(dir.file("plain"), "x");
  EXPECT_EQ(runtimeErrorOf([&] { UpdaterStore s(dir.file("plain")); }),
            "UpdaterStore: " + dir.file("plain") + " exists and is a file");
  std::string below = dir.file("plain/updater");
  EXPECT_EQ(runtimeErrorOf([&] { UpdaterStore s(below); }).rfind("UpdaterStore: Could not create directory " + below +
                                                                     " error ",
                                                                 0),
            0u);
}

TEST(UpdaterStore, AddDeviceMakesAPaddedFolderWithSettings) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(0xABC);
  EXPECT_EQ(item.basePath, dir.path());
  EXPECT_EQ(item.name, "00000ABC");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(item.IsValid());
  EXPECT_TRUE(fs::is_directory(dir.file("00000ABC")));
  KeyValueStore onDisk(dir.file("00000ABC/.settings"));
  EXPECT_EQ(onDisk.Entries().size(), 2u);
  EXPECT_NE(onDisk["CREATED_TIME"], nullptr);
  EXPECT_NE(onDisk["UPDATED_TIME"], nullptr);

  // Adding it again gives the same folder with the settings kept.
  item.settings.Add("LATEST_DOWNLOAD", "1200.bird");
  item.settings.Save();
  UpdaterStoreItem again = store.AddDevice(0xABC);
  EXPECT_EQ(again.settings.GetString("LATEST_DOWNLOAD"), "1200.bird");
  EXPECT_EQ(again.settings.GetInt("LATEST_DOWNLOAD", 0), 1200);

  // A file where the folder should be is an error.
  writeFile(dir.file("0000000F"), "x");
  EXPECT_EQ(runtimeErrorOf([&] { store.AddDevice(0xF); }),
            "UpdaterStore: " + dir.file("0000000F") + " exists and is a file");
}

TEST(UpdaterStore, FindDeviceMatchesTheSerialWithinTheEntryName) {
  TempDir dir;
  UpdaterStore store(dir.path());
  fs::create_directory(dir.file("x0000ABCDy"));
  LogCapture log(DEBUG_Updater);
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0xABCD, &item));
  EXPECT_EQ(item.basePath, dir.path());
  EXPECT_EQ(item.name, "x0000ABCDy");
  EXPECT_EQ(item.kind, STORE_ITEM_DIRECTORY);
  EXPECT_TRUE(fs::exists(dir.file("x0000ABCDy/.settings")));  // its settings were loaded (and created)
  EXPECT_TRUE(store.FindDevice(0xABCD));                       // no item to fill
  EXPECT_FALSE(store.FindDevice(0xABCE, &item));
  EXPECT_EQ(item.name, "x0000ABCDy");  // untouched when not found
  std::string text = log.text();
  EXPECT_NE(text.find("UpdaterStore: FindDevice Found 0000ABCD.\n"), std::string::npos);
  EXPECT_NE(text.find("UpdaterStore: FindDevice Not Found 0000ABCE.\n"), std::string::npos);
  EXPECT_NE(text.find("_find_item([" + dir.file("x0000ABCDy") + "], 1, "), std::string::npos);
}

TEST(UpdaterStore, FindDeviceTakesTheFirstEntryListed) {
  TempDir dir;
  UpdaterStore store(dir.path());
  for (const char* n : {"a0000ABCD", "0000ABCD", "0000ABCDz", "b0000ABCD"}) fs::create_directory(dir.file(n));
  std::string first;
  for (const auto& n : listed(dir.path())) {
    if (n.find("0000ABCD") != std::string::npos) {
      first = n;
      break;
    }
  }
  UpdaterStoreItem item;
  ASSERT_TRUE(store.FindDevice(0xABCD, item));
  EXPECT_EQ(item.name, first);
}

TEST(UpdaterStore, FindDeviceIgnoresTheDigitsOfTheBasePath) {
  // A home folder whose path holds eight hexadecimal digits must not make
  // every device folder match.
  TempDir dir;
  UpdaterStore store(dir.file("0000ABCD/updater"));
  store.AddDevice(0x11111111);
  EXPECT_FALSE(store.FindDevice(0xABCD));
  EXPECT_FALSE(store.FindDevice("updater"));
  EXPECT_TRUE(store.FindDevice(0x11111111));
}

TEST(UpdaterStore, FindDeviceInAVanishedBaseFolderIsFalse) {
  TempDir dir;
  UpdaterStore store(dir.file("gone"));
  fs::remove(dir.file("gone"));
  UpdaterStoreItem item;
  EXPECT_FALSE(store.FindDevice(0x1, &item));
  EXPECT_FALSE(item.IsValid());
  std::vector<UpdaterStoreItem> items;
  EXPECT_TRUE(store.FindLocalBuilds(0x1, items));
  EXPECT_TRUE(items.empty());
}

TEST(UpdaterStore, FindLocalBuildsListsEveryNonDotEntryInFolderOrder) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem device = store.AddDevice(0x12345678);
  ASSERT_TRUE(fs::exists(dir.file("12345678/.settings")));
  writeFile(dir.file("12345678/1200.bird"), "a");
  writeFile(dir.file("12345678/1201.bird"), "b");
  writeFile(dir.file("12345678/.hidden"), "c");
  std::vector<std::string> expected;
  for (const auto& n : listed(device.Path())) {
    if (n[0] != '.') expected.push_back(n);
  }
  ASSERT_EQ(expected.size(), 2u);

  LogCapture log(DEBUG_Updater);
  std::vector<UpdaterStoreItem> items;
  items.emplace_back();  // the list is appended to
  EXPECT_TRUE(store.FindLocalBuilds(0x12345678, items));
  ASSERT_EQ(items.size(), 3u);
  for (size_t i = 0; i < 2; ++i) {
    EXPECT_EQ(items[i + 1].name, expected[i]);
    EXPECT_EQ(items[i + 1].basePath, dir.file("12345678"));
    EXPECT_EQ(items[i + 1].kind, STORE_ITEM_FILE);
    EXPECT_TRUE(items[i + 1].IsValid());
  }
  EXPECT_NE(log.text().find("_find_items([" + dir.file("12345678/1200.bird") + "], 0, 1)\n"), std::string::npos);
  // A file item's settings cannot live below a file: nothing is created there.
  EXPECT_TRUE(fs::is_regular_file(dir.file("12345678/1200.bird")));
  EXPECT_EQ(readFile(dir.file("12345678/1200.bird")), "a");

  std::vector<UpdaterStoreItem> none;
  EXPECT_TRUE(store.FindLocalBuilds(0x9, none));
  EXPECT_TRUE(none.empty());

  std::list<UpdaterStoreItem> asList;  // any list of items is appended to alike
  EXPECT_TRUE(store.FindLocalBuilds(0x12345678, asList));
  ASSERT_EQ(asList.size(), 2u);
  EXPECT_EQ(asList.front().name, expected[0]);
  EXPECT_EQ(asList.back().name, expected[1]);
}

TEST(UpdaterStoreItem, DefaultItemIsEmptyAndInvalid) {
  UpdaterStoreItem item;
  EXPECT_EQ(item.kind, STORE_ITEM_NONE);
  EXPECT_FALSE(item.IsValid());
  EXPECT_TRUE(item.settings.Entries().empty());
  EXPECT_FALSE(UpdaterStoreItem("", "x", STORE_ITEM_FILE).IsValid());
  // The kind may be given by its number.
  TempDir dir;
  EXPECT_EQ(UpdaterStoreItem(dir.path(), "f", 0).kind, STORE_ITEM_FILE);
  EXPECT_EQ(UpdaterStoreItem(dir.path(), "d", 1).kind, STORE_ITEM_DIRECTORY);
  EXPECT_EQ(UpdaterStoreItem(dir.path(), "n", 7).kind, STORE_ITEM_NONE);
}

TEST(UpdaterStoreItem, WriteFileReplacesWholeFilesOnly) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(0x1);
  const uint8_t bytes[] = {'b', 'i', 'r', 'd', 1, 1, 0, 9};

  EXPECT_EQ(item.WriteFile("null.bird", nullptr, 8), aErrNotFound);
  EXPECT_FALSE(fs::exists(dir.file("00000001/null.bird")));

  EXPECT_EQ(item.WriteFile("1200.bird", bytes, sizeof bytes), aErrNone);
  EXPECT_EQ(readFile(dir.file("00000001/1200.bird")), std::string(reinterpret_cast<const char*>(bytes), 8));
  EXPECT_EQ(item.WriteFile("1200.bird", bytes, 3), aErrNone);
  EXPECT_EQ(readFile(dir.file("00000001/1200.bird")), "bir");
  EXPECT_EQ(item.WriteFile("empty.bird", bytes, 0), aErrNone);
  const std::string text = "text bytes";
  EXPECT_EQ(item.WriteFile("text.bird", text.data(), text.size()), aErrNone);
  EXPECT_EQ(readFile(dir.file("00000001/text.bird")), text);
  fs::remove(dir.file("00000001/text.bird"));
  EXPECT_EQ(readFile(dir.file("00000001/empty.bird")), "");

  // Only plain names of this folder; anything else cannot be opened.
  for (const char* bad : {"../escape.bird", "", ".", "..", "sub/x.bird", "/abs.bird"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(item.WriteFile(bad, bytes, 8), aErrNotFound);
  }
  fs::create_directory(dir.file("00000001/sub"));
  EXPECT_EQ(item.WriteFile("sub/x.bird", bytes, 8), aErrNotFound);
  EXPECT_FALSE(fs::exists(dir.file("00000001/sub/x.bird")));
  fs::remove(dir.file("00000001/sub"));
  EXPECT_FALSE(fs::exists(dir.file("escape.bird")));

  std::vector<std::string> names = listed(item.Path());
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{".settings", "1200.bird", "empty.bird"}));  // no temporary left

  UpdaterStoreItem gone(dir.path(), "nofolder", STORE_ITEM_DIRECTORY);
  EXPECT_EQ(gone.WriteFile("1.bird", bytes, 8), aErrNotFound);
}

TEST(UpdaterStoreItem, FileExistsSearchesTheItemsFolder) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(0x2);
  writeFile(dir.file("00000002/1200.bird"), "x");
  EXPECT_TRUE(item.FileExists("1200.bird"));
  EXPECT_TRUE(item.FileExists("1200"));  // a part of the name is enough
  EXPECT_FALSE(item.FileExists("1201.bird"));
  EXPECT_FALSE(item.FileExists("00000002"));  // the folder's own name is not one of its entries
  EXPECT_FALSE(UpdaterStoreItem(dir.path(), "absent", STORE_ITEM_DIRECTORY).FileExists("x"));
}

TEST(UpdaterStoreItem, NamedPipesInADeviceFolderNeverHoldTheStoreUp) {
  // A pipe named like a build, and one in place of the settings file: every
  // reader refuses them at once instead of waiting for a writer.
  TempDir dir;
  UpdaterStore store(dir.path());
  const std::string folder = dir.file("0000FEED");
  fs::create_directory(folder);
  const std::string build = folder + "/1300.bird", settings = folder + "/.settings";
  ASSERT_TRUE(tstest::makeNamedPipe(build));
  ASSERT_TRUE(tstest::makeNamedPipe(settings));
  LogCapture log(DEBUG_BirdFile);
  ASSERT_TRUE(tstest::finishesWithin(std::chrono::seconds(5), {build, settings}, [&] {
    UpdaterStoreItem item;
    ASSERT_TRUE(store.FindDevice(0xFEED, &item));
    EXPECT_TRUE(item.FileExists("1300.bird"));
    std::vector<UpdaterStoreItem> items;
    EXPECT_TRUE(store.FindLocalBuilds(0xFEED, items));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].name, "1300.bird");
    EXPECT_EQ(items[0].kind, STORE_ITEM_FILE);
    EXPECT_FALSE(BirdFile::VerifyFile(build));
    BirdFile bird;
    bird.filename = build;
    EXPECT_FALSE(bird.Load());
    EXPECT_EQ(runtimeErrorOf([&] { item.ReadBirdFile("1300.bird"); }), "Invalid bird " + build);
  }));
  EXPECT_NE(log.text().find("BIRDFILE: Error - cannot open bird file: '" + build + "'\n"), std::string::npos);
  EXPECT_EQ(fs::status(build).type(), fs::file_type::fifo);
  EXPECT_EQ(fs::status(settings).type(), fs::file_type::fifo);  // not replaced by a load
}

TEST(UpdaterStoreItem, ReadBirdFileLoadsOrThrowsWithThePath) {
  TempDir dir;
  UpdaterStore store(dir.path());
  UpdaterStoreItem item = store.AddDevice(0x3);
  makeBird(dir.file("00000003/1200.bird"), {"--firmware", "0:fill=32", "--info", "1200", "2.0.1", "3", "M"});
  makeBird(dir.file("00000003/bad.bird"), {"--firmware", "0:fill=32", "--signature", "bard"});
  makeBird(dir.file("00000003/cut.bird"), {"--firmware", "0:pattern=400", "--truncate", "60"});

  BirdFile bird = item.ReadBirdFile("1200.bird");
  EXPECT_EQ(bird.GetBuild(), 1200u);
  EXPECT_EQ(bird.GetVersion(), "2.0.1");
  EXPECT_EQ(bird.filename, dir.file("00000003/1200.bird"));

  EXPECT_EQ(runtimeErrorOf([&] { item.ReadBirdFile("bad.bird"); }), "Invalid bird " + dir.file("00000003/bad.bird"));
  EXPECT_EQ(runtimeErrorOf([&] { item.ReadBirdFile("none.bird"); }),
            "Invalid bird " + dir.file("00000003/none.bird"));
  // Passes the header check but does not unpack.
  EXPECT_EQ(runtimeErrorOf([&] { item.ReadBirdFile("cut.bird"); }), "Failed to load bird data");
}
