#include "host/pairing/pairing_store.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "host/base/recording_log_sink.h"
#include "host/pairing/fake_store_files.h"

namespace veyra {
namespace {

namespace fs = std::filesystem;

const std::string kPath = "store/pairing.json";

bool IsHostId(const std::string& id) { return std::regex_match(id, std::regex("[0-9a-f]{32}")); }

std::string ExpectedText(const PairingStore& store, const std::string& receivers,
                         const std::string& pins) {
  return "{\"hostId\":\"" + store.hostId() + "\",\"hostName\":\"" + store.hostName() +
         "\",\"receivers\":" + receivers + ",\"pins\":" + pins + "}";
}

class PairingStoreTest : public testing::Test {
 protected:
  // Creates a store while recording what it logs into log_.
  std::unique_ptr<PairingStore> Open() {
    log_.clear();
    const RecordingLogSink sink(&log_);
    return std::make_unique<PairingStore>(kPath, files_);
  }

  FakeStoreFiles files_;
  std::string log_;
};

TEST_F(PairingStoreTest, FirstRunMakesAndSavesAnIdentity) {
  const auto store = Open();
  EXPECT_TRUE(IsHostId(store->hostId())) << store->hostId();
  EXPECT_EQ(store->hostName(), PairingStore::DefaultHostName());
  EXPECT_EQ(files_.files.at(kPath), ExpectedText(*store, "{}", "{}"));
  EXPECT_NE(log_.find("] INFO  new host identity " + store->hostId() + "\n"), std::string::npos);
  EXPECT_EQ(files_.files.count(kPath + ".tmp"), 0u);
}

TEST_F(PairingStoreTest, EmptyFileIsAFirstRunWithoutWarning) {
  files_.files[kPath] = "";
  const auto store = Open();
  EXPECT_TRUE(IsHostId(store->hostId()));
  EXPECT_EQ(log_.find("WARN"), std::string::npos);
  EXPECT_EQ(files_.writes, 1);
}

TEST_F(PairingStoreTest, SkipsMembersOfTheWrongKind) {
  files_.files[kPath] = R"({"hostId":"0123456789abcdef0123456789abcdef","hostName":"","extra":[1],)"
                        R"("receivers":{"a":"tok-a","b":5,"":"tok-empty","a2":"x","a2":"tok-a2"},)"
                        R"("pins":{"a":"pin-a","c":"pin-c","d":null}})";
  const auto store = Open();
  EXPECT_EQ(store->hostId(), "0123456789abcdef0123456789abcdef");
  EXPECT_EQ(store->hostName(), PairingStore::DefaultHostName());
  EXPECT_EQ(store->receivers(),
            (std::map<std::string, std::string>{{"a", "tok-a"}, {"a2", "tok-a2"}}));
  EXPECT_EQ(store->pins(), (std::map<std::string, std::string>{{"a", "pin-a"}, {"c", "pin-c"}}));
  EXPECT_EQ(files_.writes, 0) << "a usable identity needs no rewrite";
}

TEST_F(PairingStoreTest, NumericHostIdKeepsPairingsAndGetsANewIdAtOnce) {
  files_.files[kPath] = R"({"hostId":12,"hostName":"Desk","receivers":{"p":"t"},"pins":{}})";
  const auto store = Open();
  EXPECT_TRUE(IsHostId(store->hostId()));
  EXPECT_EQ(store->hostName(), "Desk");
  EXPECT_EQ(store->TokenFor("p"), "t");
  EXPECT_EQ(files_.files.at(kPath), ExpectedText(*store, R"({"p":"t"})", "{}"));
}

// A malformed store is kept aside for the user, never overwritten; a kept
// copy is never replaced by a later one.
TEST_F(PairingStoreTest, MalformedFileIsKeptAsideAndAFreshOneMade) {
  const std::string broken = R"({"hostId":"abc","receivers":{"p":"t"})";
  for (const std::string& aside : {kPath + ".corrupt", kPath + ".corrupt-2"}) {
    files_.files[kPath] = broken;
    const auto store = Open();
    EXPECT_NE(log_.find("] WARN  pairing store unreadable (unexpected end of JSON); kept it as " +
                        aside + " and starting fresh\n"),
              std::string::npos)
        << log_;
    EXPECT_EQ(files_.files.at(aside), broken);
    EXPECT_TRUE(IsHostId(store->hostId()));
    EXPECT_TRUE(store->receivers().empty());
    EXPECT_EQ(files_.files.at(kPath), ExpectedText(*store, "{}", "{}"));
  }
  EXPECT_EQ(files_.files.at(kPath + ".corrupt"), broken);
}

// A running host's store and a --forget's on one file: the host's next save
// keeps what the other forgot forgotten, and its next judgement re-reads it.
TEST_F(PairingStoreTest, SavesMergeWithWhatAnotherInstanceSaved) {
  const auto running = Open();
  running->SetToken("x", "tok-x");
  running->SetPin("x", "KEY-X");
  ASSERT_TRUE(running->Save());
  const auto forgetter = Open();
  ASSERT_TRUE(forgetter->Forget("x"));
  ASSERT_TRUE(forgetter->Save());

  running->SetToken("y", "tok-y");
  ASSERT_TRUE(running->Save());
  EXPECT_EQ(running->TokenFor("x"), "");
  EXPECT_EQ(running->PinFor("x"), "");
  EXPECT_EQ(files_.files.at(kPath), ExpectedText(*running, R"({"y":"tok-y"})", "{}"));

  // Forget-all elsewhere reaches a store that only reads from then on.
  const auto other = Open();
  other->ForgetAll();
  ASSERT_TRUE(other->Save());
  running->Reload();
  EXPECT_TRUE(running->receivers().empty());

  // Without the file lock nothing is written, and the change waits in memory.
  files_.failLock = true;
  running->SetToken("z", "tok-z");
  EXPECT_FALSE(running->Save());
  EXPECT_EQ(running->TokenFor("z"), "tok-z");
  files_.failLock = false;
  ASSERT_TRUE(running->Save());
  EXPECT_EQ(Open()->TokenFor("z"), "tok-z");
}

TEST_F(PairingStoreTest, ForgetReportsRemovalFromEitherMap) {
  const auto store = Open();
  store->SetPin("pin-only", "KEY=");
  store->SetToken("both", "t");
  store->SetPin("both", "K2=");
  EXPECT_TRUE(store->Forget("pin-only"));
  EXPECT_FALSE(store->Forget("pin-only"));
  EXPECT_TRUE(store->Forget("both"));
  EXPECT_TRUE(store->pins().empty());
  EXPECT_TRUE(store->receivers().empty());
}

TEST_F(PairingStoreTest, FailedWriteKeepsTheOldFileAndDropsTheTemporary) {
  const auto store = Open();
  const std::string before = files_.files.at(kPath);
  store->SetToken("phone", "token");
  files_.failWrites = true;
  std::string log;
  {
    const RecordingLogSink sink(&log);
    store->Save();
  }
  EXPECT_NE(log.find("] WARN  cannot write " + kPath + "\n"), std::string::npos) << log;
  EXPECT_EQ(files_.files.at(kPath), before);
  EXPECT_EQ(files_.files.count(kPath + ".tmp"), 0u);
  EXPECT_EQ(store->TokenFor("phone"), "token") << "memory keeps the change";
}

TEST_F(PairingStoreTest, FailedReplaceIsReported) {
  const auto store = Open();
  files_.replaceError = 5;
  std::string log;
  {
    const RecordingLogSink sink(&log);
    store->Save();
  }
  EXPECT_NE(log.find("] WARN  cannot replace " + kPath + " (error 5)\n"), std::string::npos);
}

TEST_F(PairingStoreTest, ReadFailureWorksFromMemoryAndNeverSavesOverTheFile) {
  const std::string stored =
      R"({"hostId":"0123456789abcdef0123456789abcdef","receivers":{"p":"t"},"pins":{"p":"K="}})";
  files_.files[kPath] = stored;
  files_.readFailure = "read failed: Input/output error";
  const auto store = Open();
  EXPECT_NE(log_.find("] WARN  pairing store unreadable (read failed: Input/output error); "
                      "starting fresh in memory, not saving over " +
                      kPath + " in this run\n"),
            std::string::npos)
      << log_;
  EXPECT_TRUE(IsHostId(store->hostId()));
  EXPECT_TRUE(store->receivers().empty());

  // Neither the new identity nor a later pairing reaches the file.
  store->SetToken("phone", "token");
  std::string log;
  {
    const RecordingLogSink sink(&log);
    store->Save();
  }
  EXPECT_NE(log.find("] WARN  not saving " + kPath + ": it could not be read"), std::string::npos)
      << log;
  EXPECT_EQ(files_.writes, 0);
  EXPECT_EQ(files_.files.at(kPath), stored);
  EXPECT_EQ(store->TokenFor("phone"), "token") << "memory keeps the change";
}

TEST_F(PairingStoreTest, NoDataFolderMeansNoWritesAtAll) {
  PairingStore store("", files_);
  store.SetToken("phone", "token");
  store.Save();
  EXPECT_TRUE(store.path().empty());
  EXPECT_EQ(files_.writes, 0);
  EXPECT_TRUE(files_.files.empty());
  EXPECT_TRUE(IsHostId(store.hostId()));
}

TEST_F(PairingStoreTest, EmptyPathTakesTheDataFolderWhenThereIsOne) {
  files_.defaultPath = "data/pairing.json";
  std::string log;
  const RecordingLogSink sink(&log);
  const PairingStore store("", files_);
  EXPECT_EQ(store.path(), "data/pairing.json");
  EXPECT_EQ(files_.writes, 1);
  EXPECT_EQ(files_.files.count("data/pairing.json"), 1u);
}

TEST(NewHostIdTest, IsFreshRandomHex) {
  EXPECT_TRUE(IsHostId(PairingStore::NewHostId()));
  EXPECT_NE(PairingStore::NewHostId(), PairingStore::NewHostId());
}

// The same rules on the platform's real files (under Wine in the Windows
// build).
class PairingStoreFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() /
        ("veyra-pairing-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(folder_);
    fs::create_directories(folder_);
    path_ = (folder_ / "pairing.json").string();
  }
  void TearDown() override { fs::remove_all(folder_); }

  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  fs::path folder_;
  std::string path_;
};

TEST_F(PairingStoreFilesTest, RoundTripsThroughASecondStore) {
  std::string id;
  std::string log;
  const RecordingLogSink sink(&log);
  {
    PairingStore first(path_);
    first.SetHostName("Desk PC");
    first.SetToken("phone-1", "tok");
    first.SetPin("phone-1", "AAAA+/=");
    first.Save();
    id = first.hostId();
  }
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
  const PairingStore second(path_);
  EXPECT_EQ(second.hostId(), id);
  EXPECT_EQ(second.hostName(), "Desk PC");
  EXPECT_EQ(second.receivers(), (std::map<std::string, std::string>{{"phone-1", "tok"}}));
  EXPECT_EQ(second.PinFor("phone-1"), "AAAA+/=");
  EXPECT_EQ(Read(path_), R"({"hostId":")" + id +
                             R"(","hostName":"Desk PC","receivers":{"phone-1":"tok"},)"
                             R"("pins":{"phone-1":"AAAA+/="}})");
}

TEST_F(PairingStoreFilesTest, MissingFolderCannotBeWritten) {
  const std::string path = (folder_ / "absent" / "pairing.json").string();
  std::string log;
  const RecordingLogSink sink(&log);
  const PairingStore store(path);
  EXPECT_NE(log.find("] WARN  cannot write " + path + "\n"), std::string::npos) << log;
  EXPECT_TRUE(IsHostId(store.hostId()));
  EXPECT_FALSE(fs::exists(folder_ / "absent"));
}

// A directory where the file should be: natively the open works and the
// read fails; under Wine the open itself is refused.
TEST_F(PairingStoreFilesTest, PathThatCannotBeReadIsNeverSavedOver) {
  fs::create_directory(path_);
  std::string log;
  const RecordingLogSink sink(&log);
  PairingStore store(path_);
  store.SetToken("phone", "t");
  store.Save();
  EXPECT_NE(log.find("] WARN  pairing store unreadable ("), std::string::npos) << log;
  EXPECT_NE(log.find("); starting fresh in memory, not saving over " + path_ + " in this run\n"),
            std::string::npos)
      << log;
  EXPECT_EQ(log.find("cannot "), std::string::npos) << "no save was tried: " << log;
  EXPECT_TRUE(IsHostId(store.hostId()));
  EXPECT_TRUE(fs::is_directory(path_));
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

#if !defined(_WIN32)
// A link planted where the temporary file goes (to a device that is always
// full, or to a file of the user's) is removed, never written through.
TEST_F(PairingStoreFilesTest, PlantedLinkAtTheTemporaryFileIsNeverWrittenThrough) {
  { const PairingStore first(path_); }
  const std::string victim = (folder_ / "victim").string();
  std::ofstream(victim) << "untouched";
  for (const std::string& target : {std::string("/dev/full"), victim}) {
    fs::create_symlink(target, path_ + ".tmp");
    PairingStore store(path_);
    store.SetToken("phone", target);
    ASSERT_TRUE(store.Save()) << target;
    EXPECT_NE(Read(path_).find(target), std::string::npos) << target;
    EXPECT_FALSE(fs::exists(fs::symlink_status(path_ + ".tmp"))) << target;
  }
  EXPECT_EQ(Read(victim), "untouched");
}

// An open that fails for another reason than a missing file: a link that
// leads to itself. A save would replace the link with a file.
TEST_F(PairingStoreFilesTest, OpenFailureOtherThanMissingIsNeverSavedOver) {
  fs::create_symlink(path_, path_);
  std::string log;
  const RecordingLogSink sink(&log);
  PairingStore store(path_);
  store.Save();
  EXPECT_NE(log.find("] WARN  pairing store unreadable (open failed: "), std::string::npos) << log;
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_ + ".tmp")));
}

TEST(PairingStoreDefaultsTest, DataFolderFollowsXdgDataHome) {
  const fs::path home = fs::temp_directory_path() / "veyra-xdg-test";
  fs::remove_all(home);
  fs::create_directories(home);
  ::setenv("XDG_DATA_HOME", home.c_str(), 1);
  EXPECT_EQ(PairingStore::DefaultPath(), (home / "veyra" / "pairing.json").string());
  EXPECT_TRUE(fs::is_directory(home / "veyra"));

  // A data folder that does not exist yet is made, parents and all, so the
  // first save succeeds.
  const fs::path missing = home / "not" / "yet";
  ::setenv("XDG_DATA_HOME", missing.c_str(), 1);
  const std::string path = PairingStore::DefaultPath();
  EXPECT_EQ(path, (missing / "veyra" / "pairing.json").string());
  PairingStore store(path);
  store.SetToken("phone", "t");
  store.Save();
  EXPECT_TRUE(fs::is_regular_file(path));
  EXPECT_EQ(fs::status(missing).permissions() & fs::perms::all, fs::perms::owner_all);
  ::unsetenv("XDG_DATA_HOME");
  fs::remove_all(home);
}
#else
// Another process holds the file open without sharing it: the open fails
// with a sharing violation, which is not a first run.
TEST_F(PairingStoreFilesTest, FileLockedByAnotherHandleIsNeverSavedOverUnderWine) {
  const std::string stored =
      R"({"hostId":"0123456789abcdef0123456789abcdef","receivers":{"p":"t"}})";
  {
    std::ofstream out(path_, std::ios::binary);
    out << stored;
  }
  std::string log;
  {
    const HANDLE lock = CreateFileW(fs::path(path_).wstring().c_str(), GENERIC_READ, 0, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    const RecordingLogSink sink(&log);
    PairingStore store(path_);
    store.SetToken("phone", "t");
    store.Save();
    CloseHandle(lock);
  }
  EXPECT_NE(log.find("] WARN  pairing store unreadable (CreateFile failed: error 32)"),
            std::string::npos)
      << log;
  EXPECT_EQ(Read(path_), stored);
  EXPECT_FALSE(fs::exists(path_ + ".tmp"));
}

TEST(PairingStoreDefaultsTest, DataFolderIsUnderLocalAppDataUnderWine) {
  const std::string path = PairingStore::DefaultPath();
  ASSERT_FALSE(path.empty());
  EXPECT_NE(path.find("\\AppData\\Local\\Veyra\\pairing.json"), std::string::npos) << path;
  EXPECT_TRUE(fs::is_directory(fs::path(path).parent_path()));
  EXPECT_FALSE(PairingStore::DefaultHostName().empty());
}
#endif

}  // namespace
}  // namespace veyra
