#include "host/app/pairing_commands.h"

#include <gtest/gtest.h>

#include "host/pairing/fake_store_files.h"

namespace veyra {
namespace {

constexpr const char* kStore = R"({"hostId":"0123456789abcdef0123456789abcdef","hostName":"PC",)"
                               R"("receivers":{"phone-1":"tok"},"pins":{"phone-1":"KEY"}})";

// Forgetting never claims success it did not have: an unreadable store or a
// failed save gives exit code 1 and leaves the file as it was.
TEST(PairingCommandsTest, ForgetFailsWhenTheStoreCannotBeReadOrSaved) {
  for (const bool all : {false, true}) {
    FakeStoreFiles files;
    files.files["p.json"] = kStore;
    {
      PairingStore store("p.json", files);
      const CommandOutcome done = all ? ForgetAllDevices(store) : ForgetDevice(store, "phone-1");
      EXPECT_EQ(done.exitCode, 0);
      EXPECT_EQ(files.files["p.json"].find("phone-1"), std::string::npos);
    }
    files.files["p.json"] = kStore;
    files.failWrites = true;
    {
      PairingStore store("p.json", files);
      const CommandOutcome failed = all ? ForgetAllDevices(store) : ForgetDevice(store, "phone-1");
      EXPECT_EQ(failed.exitCode, 1);
      EXPECT_EQ(failed.text,
                "could not save the pairing store p.json; the pairings stay as they were.\n");
      EXPECT_EQ(files.files["p.json"], kStore);
    }
    files.failWrites = false;
    files.readFailure = "sharing violation";
    {
      PairingStore store("p.json", files);
      const CommandOutcome failed = all ? ForgetAllDevices(store) : ForgetDevice(store, "phone-1");
      EXPECT_EQ(failed.exitCode, 1);
      EXPECT_EQ(failed.text, "could not read the pairing store p.json; nothing was forgotten.\n");
    }
  }
}

}  // namespace
}  // namespace veyra
