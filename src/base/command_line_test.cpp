// SPDX-License-Identifier: Apache-2.0
// Command-line splitting, the hand-over message, and NotifyWindow delivery.
#include "base/command_line.h"

#include <gtest/gtest.h>

#include <thread>

#include "base/notify_window.h"

namespace quillet::base {
namespace {

using Args = std::vector<std::string>;

TEST(CommandLine, SplitsAtWhiteSpaceAndKeepsQuotedBlanks) {
  EXPECT_EQ(splitCommandLine("-dial \"Front Door\" -show"), (Args{"-dial", "Front Door", "-show"}));
  EXPECT_EQ(splitCommandLine(" \t-a\r\n\v\f-b  "), (Args{"-a", "-b"}));
  EXPECT_EQ(splitCommandLine("x\"y z\"w"), (Args{"xy zw"}));
  EXPECT_EQ(splitCommandLine("-dial \"\""), (Args{"-dial", ""}));
  EXPECT_EQ(splitCommandLine("\"unterminated quote"), (Args{"unterminated quote"}));
  EXPECT_EQ(splitCommandLine(""), Args{});
}

TEST(CommandLine, HandOverMessageRoundTripsAndTextIsSplit) {
  Args sent = {"/usr/bin/quillet", "-dial", "sip:a b@c", ""};
  Args got;
  ASSERT_TRUE(decodeArgumentMessage(encodeArgumentMessage(sent), "/exe", got));
  EXPECT_EQ(got, sent);
  ASSERT_TRUE(decodeArgumentMessage("-dial \"Front Door\"\n", "/exe", got));
  EXPECT_EQ(got, (Args{"/exe", "-dial", "Front Door"}));
  EXPECT_FALSE(decodeArgumentMessage(std::string("QUILLET-ARGS 1\n/x\0-di", 21), "/exe", got));
  EXPECT_FALSE(decodeArgumentMessage(std::string("a\0b", 3), "/exe", got));
  EXPECT_FALSE(decodeArgumentMessage(std::string(kMaxArgumentMessage + 1, 'x'), "/exe", got));
}

TEST(CommandLine, CallCommandsAreTheirOwnKindOfMessage) {
  Args words;
  const std::string transfer = encodeCallMessage({"transfer", "sip:bob@example.com"});
  EXPECT_TRUE(isCallMessage(transfer));
  ASSERT_TRUE(decodeCallMessage(transfer, words));
  EXPECT_EQ(words, (Args{"transfer", "sip:bob@example.com"}));
  // An argument list is not a call command, nor the other way round.
  const std::string arguments = encodeArgumentMessage({"/exe", "-dial", "x"});
  EXPECT_FALSE(isCallMessage(arguments));
  EXPECT_FALSE(decodeCallMessage(arguments, words));
  // Cut short, empty, or too long: refused, nothing half-read.
  EXPECT_FALSE(decodeCallMessage(transfer.substr(0, transfer.size() - 1), words));
  EXPECT_TRUE(words.empty());
  EXPECT_FALSE(decodeCallMessage(encodeCallMessage({}), words));
  EXPECT_FALSE(
      decodeCallMessage(encodeCallMessage({std::string(kMaxArgumentMessage, 'x')}), words));
}

class Counter : public NotifyWindow {
 public:
  explicit Counter(platform::MessageLoop& loop) : NotifyWindow(loop) {}
  int calls = 0;
  bool onLoopThread = true;
  platform::MessageLoop* loop = nullptr;

 protected:
  void OnNotify() override {
    ++calls;
    onLoopThread = onLoopThread && loop->isLoopThread();
  }
};

TEST(NotifyWindow, PostsFromWorkersRunOnTheLoopAndLatePostsAreSwallowed) {
  platform::PlainMessageLoop loop;
  auto owner = std::make_unique<Counter>(loop);
  owner->loop = &loop;
  std::thread worker([&] {
    for (int i = 0; i < 3; ++i) owner->Post();
  });
  worker.join();
  loop.runPending();
  EXPECT_EQ(owner->calls, 3);
  EXPECT_TRUE(owner->onLoopThread);
  owner->Post();  // arrives after the owner is gone
  owner.reset();
  loop.post([&] { loop.quit(); });
  loop.run();  // must not touch the deleted owner (ASan would tell)
}

}  // namespace
}  // namespace quillet::base
