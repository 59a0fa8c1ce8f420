#include "quillpost/main/signals.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "quillpost/host/process/signal_dispatch.h"

namespace quillpost::main {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

struct Calls {
  std::vector<std::pair<std::string, int>> seen;
  ExitCallback callback() {
    return [this](const std::string& reason, int code) { seen.emplace_back(reason, code); };
  }
};

class Signals : public ::testing::Test {
 protected:
  void TearDown() override {
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) signals::restore_default(sig);
  }
  logs::Capture capture;
  BuildInfo release{"1", "community", false, "", false, {}};
};

TEST(GetSignalNames, EveryMatchingNameInCharacterOrder) {
  EXPECT_THAT(get_signal_names(SIGINT), ElementsAre("SIGINT", "SIG_SETMASK"));
  EXPECT_THAT(get_signal_names(SIGABRT), ElementsAre("SIGABRT", "SIGIOT"));
  EXPECT_THAT(get_signal_names(12345), IsEmpty());
}

TEST_F(Signals, StartupSigintOnlySetsTheFlag) {
  auto sigint = configure_initial_shutdown_handler();
  EXPECT_FALSE(sigint->is_set());
  std::raise(SIGINT);
  std::raise(SIGINT);
  EXPECT_TRUE(sigint->is_set());
  EXPECT_THAT(capture.records(), IsEmpty());
  // Each call makes a new flag.
  EXPECT_FALSE(configure_initial_shutdown_handler()->is_set());
}

TEST_F(Signals, ABurstAfterStartGivesExactlyOneExitRequest) {
  auto sigint = configure_initial_shutdown_handler();
  RuntimeConfig config;
  config.shutdown_on_sigint = true;
  Calls calls;
  EXPECT_TRUE(
      configure_signal_handlers(config, *sigint, calls.callback(), logs::logger("main"), release));
  for (int i = 0; i < 4; ++i) std::raise(SIGINT);
  EXPECT_THAT(calls.seen, IsEmpty()) << "never inside the signal";
  signals::dispatch_pending();
  std::raise(SIGINT);
  signals::dispatch_pending();
  EXPECT_THAT(calls.seen, ElementsAre(std::make_pair(std::string("SIGINT received"), 0)));
  EXPECT_EQ(signals::disposition(SIGINT), signals::Disposition::ignore);
  EXPECT_THAT(capture.texts("main"), ElementsAre("setting up sigint handler"));
  EXPECT_THAT(capture.texts("signal_handler"),
              ElementsAre("Processing signal 2 (SIGINT, SIG_SETMASK)"));
}

TEST_F(Signals, ASigintDuringStartIsActedOnAtOnceWhenEnabled) {
  auto sigint = configure_initial_shutdown_handler();
  std::raise(SIGINT);
  RuntimeConfig config;  // shutdown not configured, but a development build enables it
  BuildInfo develop = release;
  develop.develop = true;
  Calls calls;
  EXPECT_FALSE(
      configure_signal_handlers(config, *sigint, calls.callback(), logs::logger("main"), develop));
  EXPECT_EQ(calls.seen.size(), 1u);
  EXPECT_EQ(signals::disposition(SIGINT), signals::Disposition::ignore);
  EXPECT_THAT(capture.texts("signal_handler"),
              ElementsAre("Processing signal 2 (SIGINT, SIG_SETMASK)"));
  EXPECT_THAT(capture.texts("main"), IsEmpty());
}

TEST_F(Signals, DisabledShutdownIgnoresSigint) {
  auto sigint = configure_initial_shutdown_handler();
  std::raise(SIGINT);
  RuntimeConfig config;
  config.shutdown_on_sigint = false;
  Calls calls;
  EXPECT_FALSE(
      configure_signal_handlers(config, *sigint, calls.callback(), logs::logger("main"), release));
  std::raise(SIGINT);
  signals::dispatch_pending();
  EXPECT_THAT(calls.seen, IsEmpty());
  EXPECT_TRUE(sigint->is_set());
  EXPECT_EQ(signals::disposition(SIGINT), signals::Disposition::ignore);
  EXPECT_THAT(capture.texts("main"),
              ElementsAre("not using signal handers; --shutdown-on-sigint=False, debug=False"));
  EXPECT_THAT(capture.texts("signal_handler"), IsEmpty());
}

// SIGTERM goes SIGINT's way with shutdown enabled, whatever the configuration:
// a flag during start-up, acted on at once when it came, otherwise one exit
// request however many come. SIGHUP is logged from the main loop, nothing more.
TEST_F(Signals, SigtermAsksForOneExitAndSighupIsOnlyLogged) {
  for (const bool during_start : {false, true}) {
    capture.clear();
    auto sigterm = configure_initial_termination_handler();
    std::raise(SIGHUP);
    if (during_start) std::raise(SIGTERM);
    EXPECT_EQ(sigterm->is_set(), during_start);
    Calls calls;
    EXPECT_EQ(configure_termination_handler(*sigterm, calls.callback()), !during_start);
    for (int i = 0; i < 3; ++i) std::raise(SIGTERM);
    EXPECT_EQ(signals::dispatch_pending(), during_start ? 1 : 2);  // SIGHUP (and SIGTERM)
    std::raise(SIGTERM);
    signals::dispatch_pending();
    EXPECT_THAT(calls.seen, ElementsAre(std::make_pair(std::string("SIGTERM received"), 0)));
    EXPECT_EQ(signals::disposition(SIGTERM), signals::Disposition::ignore);
    EXPECT_EQ(signals::disposition(SIGHUP), signals::Disposition::deferred);
    EXPECT_THAT(capture.texts("signal_handler"),
                ::testing::UnorderedElementsAre(
                    "Processing signal 15 (SIGTERM)",
                    "Ignoring SIGHUP: the configuration is read only at start; restart to apply a "
                    "change"));
    signals::restore_default(SIGTERM);
  }
}

TEST_F(Signals, WrappedCallbackOfAnUnnamedNumberEndsInEmptyParentheses) {
  Calls calls;
  wrapped_sigint_callback(calls.callback(), 12345);
  EXPECT_THAT(capture.texts("signal_handler"), ElementsAre("Processing signal 12345 ()"));
  EXPECT_EQ(calls.seen.size(), 1u);
}

}  // namespace
}  // namespace quillpost::main
