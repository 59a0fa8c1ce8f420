#include "quillpost/host/runtime/agent/runtime.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "quillpost/host/logging/logs.h"
#include "recorder.h"

namespace quillpost::agent {
namespace {

using namespace std::chrono_literals;
using test::Recorder;

TEST(Runtime, BeforeRunsFirstAndMessagesArriveInOrder) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  std::atomic<int> seen_before{0};
  rec->on_receive = [&](Recorder& r, const std::string&, const Payload&) {
    if (r.before_called) seen_before++;
  };
  runtime.spawn(rec);
  auto channel = runtime.channel("recorder");
  for (int i = 0; i < 500; ++i) channel.send("n", i);
  runtime.start();
  ASSERT_TRUE(rec->wait_for(500));
  auto got = rec->received();
  for (int i = 0; i < 500; ++i) ASSERT_EQ(payload_as<int>(got[i].payload), i);
  EXPECT_EQ(seen_before.load(), 500);
}

TEST(Runtime, TextPayloadsAreStoredAsStdString) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  runtime.spawn(rec);
  runtime.start();
  std::string_view view = "view";
  runtime.channel("recorder").send("a", "literal");
  runtime.channel("recorder").send("b", view);
  runtime.channel("recorder").send("c");
  ASSERT_TRUE(rec->wait_for(3));
  auto got = rec->received();
  EXPECT_EQ(payload_as<std::string>(got[0].payload), "literal");
  EXPECT_EQ(payload_as<std::string>(got[1].payload), "view");
  EXPECT_FALSE(got[2].payload.has_value());
  EXPECT_THROW(payload_as<int>(got[0].payload), BadPayload);
}

TEST(Runtime, DelaysOrderMessagesAndAreHonoured) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  rec->on_before = [](Recorder& r) {
    r.send_self("late", 0.15);
    r.send_self("fraction", std::string("x"), 0.05);
    r.send_self("zero", 0.0);
    r.send_self("negative", -1.0);
    // Past what the clock's nanoseconds hold: saturated, not wrapped to now.
    r.send_self("never", 1e12);
    r.send_self("never", 1e300);
  };
  runtime.spawn(rec);
  const auto start = std::chrono::steady_clock::now();
  runtime.start();
  ASSERT_TRUE(rec->wait_for(4));
  std::this_thread::sleep_for(50ms);  // room for a "never" that wrongly comes
  auto got = rec->received();
  // No delay and a negative one come first: before the message due in 50 ms
  // (how soon after the start depends on the machine's load, not on the runtime).
  EXPECT_EQ(rec->events(), (std::vector<std::string>{"zero", "negative", "fraction", "late"}));
  EXPECT_GE(got[2].at - start, 50ms);
  EXPECT_GE(got[3].at - start, 150ms);
}

TEST(Runtime, MailboxesFromManyThreadsKeepEachSendersOrder) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  const AgentRef ref = runtime.spawn(rec);
  runtime.start();
  constexpr int kThreads = 4, kEach = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&runtime, ref, t] {
      Mailbox mailbox = runtime.get_mailbox(ref, "worker-" + std::to_string(t));
      for (int i = 0; i < kEach; ++i) mailbox.send("t" + std::to_string(t), i);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(rec->wait_for(kThreads * kEach));
  std::vector<int> next(kThreads, 0);
  for (const auto& r : rec->received()) {
    const int t = r.event[1] - '0';
    ASSERT_EQ(payload_as<int>(r.payload), next[t]++);
  }
}

TEST(Runtime, OneAgentNeverHandlesTwoMessagesAtOnce) {
  Runtime runtime(Runtime::Options{4});
  auto rec = std::make_shared<Recorder>();
  std::atomic<int> inside{0}, overlap{0};
  rec->on_receive = [&](Recorder&, const std::string&, const Payload&) {
    if (inside.fetch_add(1) != 0) overlap++;
    std::this_thread::yield();
    inside.fetch_sub(1);
  };
  const AgentRef ref = runtime.spawn(rec);
  runtime.start();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&runtime, ref] {
      Mailbox mailbox = runtime.get_mailbox(ref, "m");
      for (int i = 0; i < 500; ++i) mailbox.send("x", i);
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(rec->wait_for(2000));
  EXPECT_EQ(overlap.load(), 0);
}

TEST(Runtime, HandlerErrorIsLoggedAndTheAgentGoesOn) {
  logs::Capture capture;
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  rec->on_receive = [](Recorder&, const std::string& event, const Payload& payload) {
    if (event == "bad") (void)payload_as<int>(payload);  // holds a text: throws
  };
  runtime.spawn(rec);
  runtime.start();
  runtime.channel("recorder").send("bad", "not a number");
  runtime.channel("recorder").send("good");
  ASSERT_TRUE(rec->wait_for(1));
  EXPECT_EQ(rec->events(), std::vector<std::string>{"good"});
  bool logged = false;
  for (const auto& r : capture.records()) {
    if (r.level == logs::Level::exception && r.text.find("recorder") != std::string::npos &&
        r.text.find("'bad'") != std::string::npos && r.text.find("expected") != std::string::npos)
      logged = true;
  }
  EXPECT_TRUE(logged);
}

TEST(Runtime, MessagesToStoppedOrUnknownAgentsAreDropped) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  const AgentRef ref = runtime.spawn(rec);
  runtime.start();
  Mailbox mailbox = runtime.get_mailbox(ref, "m");
  mailbox.send("one");
  ASSERT_TRUE(rec->wait_for(1));
  ASSERT_TRUE(runtime.stop_agent("recorder"));
  mailbox.send("two");
  runtime.channel("recorder").send("three");
  runtime.channel("nobody").send("four");

  // A new agent under the same name gets channel messages, never the old mailbox's.
  auto fresh = std::make_shared<Recorder>();
  runtime.spawn(fresh);
  mailbox.send("five");
  runtime.channel("recorder").send("six");
  ASSERT_TRUE(fresh->wait_for(1));
  std::this_thread::sleep_for(30ms);
  EXPECT_EQ(rec->events(), std::vector<std::string>{"one"});
  EXPECT_EQ(fresh->events(), std::vector<std::string>{"six"});
}

TEST(Runtime, StopDropsPendingMessagesAndTimersAndReleasesAgents) {
  Recorder::destroyed = false;
  Mailbox mailbox;
  {
    Runtime runtime;
    auto rec = std::make_shared<Recorder>();
    std::atomic<bool> release{false}, entered{false};
    rec->on_receive = [&](Recorder&, const std::string& event, const Payload&) {
      if (event != "block") return;
      entered = true;
      while (!release) std::this_thread::sleep_for(1ms);
    };
    rec->on_before = [](Recorder& r) { r.send_self("timer", 0.1); };
    const AgentRef ref = runtime.spawn(rec);
    mailbox = runtime.get_mailbox(ref, "m");
    runtime.start();
    mailbox.send("block");
    for (int i = 0; i < 100; ++i) mailbox.send("queued", i);
    while (!entered) std::this_thread::sleep_for(1ms);
    // The handler in progress finishes; stop waits for it, and nothing queued runs.
    std::thread stopper([&] { runtime.stop(); });
    std::this_thread::sleep_for(20ms);
    release = true;
    stopper.join();
    EXPECT_FALSE(runtime.running());
    mailbox.send("after stop");
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rec->received().size(), 1u);  // only "block"
    rec.reset();
  }
  EXPECT_TRUE(Recorder::destroyed.load());
  mailbox.send("runtime gone");  // harmless
}

TEST(Runtime, DrainRunsQueuedMessagesAndWhatTheySendButNotTimers) {
  Runtime runtime;
  auto first = std::make_shared<Recorder>();
  auto second = std::make_shared<Recorder>();
  // "save" on the first agent hands on to the second, which is slow: a stop
  // right after the send would drop both; a drain lets the chain finish.
  first->on_receive = [&](Recorder& r, const std::string& event, const Payload&) {
    if (event == "save") r.channel("second").send("write");
  };
  second->on_receive = [](Recorder&, const std::string&, const Payload&) {
    std::this_thread::sleep_for(30ms);
  };
  first->on_before = [](Recorder& r) { r.send_self("much later", 60.0); };
  runtime.spawn(first, "first");
  runtime.spawn(second, "second");
  runtime.start();
  for (int i = 0; i < 3; ++i) runtime.channel("first").send("save", i);
  EXPECT_TRUE(runtime.drain(5s));
  runtime.stop();
  EXPECT_EQ(first->received().size(), 3u);
  EXPECT_EQ(second->received().size(), 3u);
}

TEST(Runtime, DrainGivesUpAfterItsLimit) {
  Runtime runtime;
  auto rec = std::make_shared<Recorder>();
  // An agent that keeps itself busy never lets the queue empty.
  rec->on_receive = [](Recorder& r, const std::string&, const Payload&) { r.send_self("again"); };
  runtime.spawn(rec);
  runtime.start();
  runtime.channel("recorder").send("again");
  EXPECT_FALSE(runtime.drain(50ms));
  runtime.stop();
}

TEST(Runtime, SpawnAfterStartRunsBefore) {
  Runtime runtime;
  runtime.start();
  auto rec = std::make_shared<Recorder>();
  rec->on_before = [](Recorder& r) { r.send_self("hello"); };
  runtime.spawn(rec);
  ASSERT_TRUE(rec->wait_for(1));
  EXPECT_TRUE(rec->before_called);
}

TEST(Runtime, ReplacedLoggerCreatorIsUsed) {
  std::vector<std::string> names;
  replace_logger_creator([&](const std::string& name) {
    names.push_back(name);
    return logs::logger("custom-" + name);
  });
  { Runtime runtime; }
  replace_logger_creator([](const std::string& name) { return logs::logger(name); });
  EXPECT_EQ(names, std::vector<std::string>{"agent"});
}

}  // namespace
}  // namespace quillpost::agent
