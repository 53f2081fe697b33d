#include "host/app/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/base/log.h"

namespace veyra {
namespace {

// Records what the entry asks of the platform and returns scripted results.
class FakeEnvironment : public HostEnvironment {
 public:
  void Print(const std::string& text) override { out += text; }
  bool ReopenLog(const std::string& path) override {
    calls.push_back("log " + path);
    return logOpens;
  }
  int ListReceivers() override { return Call("list", listResult); }
  int Probe() override {
    probeThreshold = LogThreshold();
    return Call("probe", 0);
  }
  int ListPairings() override { return Call("pairings", 0); }
  int Forget(const std::string& id) override { return Call("forget " + id, 0); }
  int ForgetAll() override { return Call("forget-all", 0); }
  void Discover(Options& options) override {
    calls.push_back("discover");
    if (!discovered.empty()) {
      options.host = discovered;
      options.port = 5555;
    }
  }
  void StoreHostName(const std::string& name) override { calls.push_back("name " + name); }
  int RunSession(const Options& options) override {
    session = options;
    calls.push_back("session");
    return sessionResult;
  }

  int ServeBrowsers(const Options& options) override {
    session = options;
    return Call("serve", 0);
  }

  int Call(const std::string& what, int result) {
    calls.push_back(what);
    return result;
  }

  std::string out;
  std::vector<std::string> calls;
  bool logOpens = true;
  int listResult = 0;
  int sessionResult = 0;
  std::string discovered;
  Options session;
  LogLevel probeThreshold = LogLevel::Trace;
};

class CommandLineTest : public testing::Test {
 protected:
  ~CommandLineTest() override { SetLogThreshold(LogLevel::Info); }

  int Run(std::vector<const char*> args) { return RunCommandLine(args, env_); }

  FakeEnvironment env_;
};

const std::string kMissing = "No receiver address. Use --host <addr>, or --discover / --list.\n\n";

TEST_F(CommandLineTest, DefaultsMatchTheDocumentedOptions) {
  EXPECT_EQ(Run({"--host", "10.0.0.2"}), 0);
  const Options& o = env_.session;
  EXPECT_EQ(o.host, "10.0.0.2");
  EXPECT_EQ(o.port, 47820);
  EXPECT_EQ(o.outputIndex, 0);
  EXPECT_EQ(o.fps, 60);
  EXPECT_EQ(o.bitrate, 12000000);
  EXPECT_EQ(o.gop, 120);
  EXPECT_EQ(o.width, 0u);
  EXPECT_EQ(o.height, 0u);
  EXPECT_TRUE(o.preferHardware);
  EXPECT_TRUE(o.injectInput);
  EXPECT_EQ(o.reconnectWindowMs, 8000u);
  EXPECT_EQ(o.source, "dd");
  EXPECT_TRUE(o.useTls);
  EXPECT_EQ(env_.out, "");
}

TEST_F(CommandLineTest, AppliesEveryOptionInOrderLaterRepetitionWins) {
  EXPECT_EQ(Run({"--host",     "a",        "--port",    "1234",      "--output",   "2",
                 "--fps",      "30",       "--bitrate", "8000",      "--gop",      "60",
                 "--size",     "1281x721", "--source",  "synthetic", "--software", "--no-tls",
                 "--no-input", "--host",   "b",         "--port",    "70000"}),
            0);
  const Options& o = env_.session;
  EXPECT_EQ(o.host, "b");
  EXPECT_EQ(o.port, static_cast<std::uint16_t>(70000));
  EXPECT_EQ(o.outputIndex, 2);
  EXPECT_EQ(o.fps, 30);
  EXPECT_EQ(o.bitrate, 8000000);
  EXPECT_EQ(o.gop, 60);
  EXPECT_EQ(o.width, 1281u);
  EXPECT_EQ(o.height, 721u);
  EXPECT_EQ(o.source, "synthetic");
  EXPECT_FALSE(o.preferHardware);
  EXPECT_FALSE(o.useTls);
  EXPECT_FALSE(o.injectInput);
}

TEST_F(CommandLineTest, RefusesBadArgumentsWithExitCode2) {
  // The designed command line, as the Windows build has it.
  const CommandLineExtras designed;
  const std::string usage = UsageText(designed);
  struct Case {
    std::vector<const char*> args;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {{}, kMissing + usage},
      {{"--host", "a", "--port"}, "--port requires a value\n"},
      {{"--forget"}, "--forget requires a value\n"},
      {{"--host", "a", "--size", "1280x"}, "--size expects WxH, e.g. 1920x1080\n"},
      {{"--host", "a", "--size", "x720"}, "--size expects WxH, e.g. 1920x1080\n"},
      {{"--host", "a", "--size", "1280"}, "--size expects WxH, e.g. 1920x1080\n"},
      {{"--host", "a", "--source", "idd"}, "--source expects 'dd' or 'synthetic'\n"},
      {{"--host", "a", "--source", "noise"}, "--source expects 'dd' or 'synthetic'\n"},
      {{"--host", "a", "--Host"}, "unknown option: --Host\n\n" + usage},
      {{"--discover"}, kMissing + usage},
  };
  for (const auto& c : cases) {
    FakeEnvironment env;
    EXPECT_EQ(RunCommandLine(c.args, env, designed), 2);
    EXPECT_EQ(env.out, c.expected);
    EXPECT_EQ(std::count(env.calls.begin(), env.calls.end(), "session"), 0);
  }
}

TEST_F(CommandLineTest, ExtrasComeAfterTheDesignedLines) {
  const CommandLineExtras noise{.noiseSource = true};
  const std::string usage = UsageText(noise);
  EXPECT_EQ(usage.rfind(UsageText(CommandLineExtras{}), 0), 0u);
  EXPECT_NE(usage.find("\n  --source noise "), std::string::npos);

  const std::vector<const char*> args = {"--host", "a", "--source", "noise"};
  EXPECT_EQ(RunCommandLine(args, env_, noise), 0);
  EXPECT_EQ(env_.session.source, "noise");
  env_ = {};
  const std::vector<const char*> unknown = {"--host", "a", "--source", "idd"};
  EXPECT_EQ(RunCommandLine(unknown, env_, noise), 2);
  EXPECT_EQ(env_.out, "--source expects 'dd', 'synthetic' or 'noise'\n");
}

TEST_F(CommandLineTest, UnwritableLogFileStopsBeforeLaterArguments) {
  env_.logOpens = false;
  EXPECT_EQ(Run({"--log", "/nope/x.log", "--port"}), 2);
  EXPECT_EQ(env_.out, "could not open the --log file for writing\n");
  EXPECT_EQ(env_.calls, std::vector<std::string>{"log /nope/x.log"});
}

TEST_F(CommandLineTest, OneShotCommandsActWhenMetAndIgnoreTheRest) {
  EXPECT_EQ(Run({"--version", "--bogus"}), 0);
  EXPECT_EQ(env_.out, "0.1.0\n");

  env_ = {};
  EXPECT_EQ(Run({"-h"}), 0);
  EXPECT_EQ(env_.out, UsageText(BuildExtras()));

  env_ = {};
  env_.listResult = 1;
  EXPECT_EQ(Run({"--list", "--port"}), 1);
  EXPECT_EQ(env_.calls, std::vector<std::string>{"list"});

  env_ = {};
  EXPECT_EQ(Run({"--host", "a", "--forget", "dev-1", "--forget-all"}), 0);
  EXPECT_EQ(env_.calls, std::vector<std::string>{"forget dev-1"});
}

TEST_F(CommandLineTest, ProbeRunsAtInfoEvenAfterVerbose) {
  EXPECT_EQ(Run({"--verbose", "--probe"}), 0);
  EXPECT_EQ(env_.probeThreshold, LogLevel::Info);

  SetLogThreshold(LogLevel::Info);
  EXPECT_EQ(Run({"--probe", "--verbose"}), 0);
  EXPECT_EQ(LogThreshold(), LogLevel::Info);
}

TEST_F(CommandLineTest, DiscoveryOnlyWhenNoHostGiven) {
  EXPECT_EQ(Run({"--host", "10.0.0.2", "--discover"}), 0);
  EXPECT_EQ(env_.calls, std::vector<std::string>{"session"});

  env_ = {};
  env_.discovered = "192.168.1.7";
  EXPECT_EQ(Run({"--discover", "--port", "1"}), 0);
  EXPECT_EQ(env_.calls, (std::vector<std::string>{"discover", "session"}));
  EXPECT_EQ(env_.session.host, "192.168.1.7");
  EXPECT_EQ(env_.session.port, 5555);
}

TEST_F(CommandLineTest, DisplayNameIsStoredAfterTheAddressCheck) {
  EXPECT_EQ(Run({"--name", "Desk", "--host", "a"}), 0);
  EXPECT_EQ(env_.calls, (std::vector<std::string>{"name Desk", "session"}));

  env_ = {};
  EXPECT_EQ(Run({"--name", "Desk"}), 2);
  EXPECT_TRUE(env_.calls.empty());

  env_ = {};
  EXPECT_EQ(Run({"--name", "Desk", "--name", "", "--host", "a"}), 0);
  EXPECT_EQ(env_.calls, std::vector<std::string>{"session"});

  // Serving needs no receiver address; the port is the one to listen on.
  env_ = {};
  EXPECT_EQ(Run({"--name", "Desk", "--serve", "--port", "8443"}), 0);
  EXPECT_EQ(env_.calls, (std::vector<std::string>{"name Desk", "serve"}));
  EXPECT_EQ(env_.session.port, 8443);
}

TEST_F(CommandLineTest, SessionFailureGivesExitCode1) {
  env_.sessionResult = -5;
  EXPECT_EQ(Run({"--host", "a"}), 1);
  env_.sessionResult = 1;
  EXPECT_EQ(Run({"--host", "a"}), 0);
}

TEST(AtolLikeTest, ConvertsLikeTheWindowsRuntime) {
  struct Case {
    const char* text;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"42", 42},
      {"  \t-17xyz", -17},
      {"+8", 8},
      {"abc", 0},
      {"", 0},
      {"- 5", 0},
      {"0x10", 0},
      {"2147483647", 2147483647},
      {"2147483648", INT32_MAX},
      {"-2147483648", INT32_MIN},
      {"99999999999999999999", INT32_MAX},
      {"-99999999999999999999", INT32_MIN},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(AtolLike(c.text), c.expected) << c.text;
  }
}

TEST(StreamSizeTest, SplitsAtTheFirstX) {
  const auto size = ParseStreamSize("1920x1080x5");
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->width, 1920u);
  EXPECT_EQ(size->height, 1080u);
  EXPECT_FALSE(ParseStreamSize("0x720").has_value());
  EXPECT_FALSE(ParseStreamSize("1920X1080").has_value());
}

TEST(UsageTextTest, HasTheFortyOneDesignedLinesThenServing) {
  const std::string usage = UsageText(CommandLineExtras{});
  EXPECT_EQ(std::count(usage.begin(), usage.end(), '\n'), 46);
  const std::size_t designedEnd = usage.find("  --help\n") + 9;
  EXPECT_EQ(std::count(usage.begin(), usage.begin() + static_cast<long>(designedEnd), '\n'), 41);
  EXPECT_EQ(usage.find("\nThe phone's browser (no app to install):\n  --serve "), designedEnd);
  EXPECT_EQ(usage.rfind("Veyra Windows host 0.1.0\n\nUsage: veyra-host [options]\n", 0), 0u);
  EXPECT_NE(usage.find("      adb forward tcp:47820 tcp:47820\n"), std::string::npos);
  EXPECT_NE(usage.find("(default 47820)\n"), std::string::npos);
}

}  // namespace
}  // namespace veyra
