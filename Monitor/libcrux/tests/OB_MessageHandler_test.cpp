#include "OB_MessageHandler.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "OB_Message.h"

namespace {

// Answers a fixed result and notes, in a shared trace, that it was asked.
class Answering : public OB_MessageHandler {
 public:
  Answering(std::string name, int answer, std::string* trace)
      : name_(std::move(name)), answer_(answer), trace_(trace) {}
  int handleMessage(OB_Message* message) override {
    calls.fetch_add(1);
    if (trace_ != nullptr) *trace_ += name_ + ":" + message->getMessage() + " ";
    return answer_;
  }
  std::atomic<int> calls{0};

 private:
  std::string name_;
  int answer_;
  std::string* trace_;
};

TEST(OB_Message, KeepsItsOwnCopyOfTheText) {
  char text[] = "CONFIG_RESET";
  OB_Object source;
  OB_Message message(text, &source);
  text[0] = 'X';
  EXPECT_STREQ(message.getMessage(), "CONFIG_RESET");
  EXPECT_EQ(message.getSource(), &source);
  message.setMessage("OTHER");
  message.setSource(nullptr);
  EXPECT_STREQ(message.getMessage(), "OTHER");
  EXPECT_EQ(message.getSource(), nullptr);
  message.setMessage(nullptr);
  EXPECT_STREQ(message.getMessage(), "");
}

TEST(OB_MessageHandler, FirstNonZeroAnswerEndsTheWalk) {
  std::string trace;
  Answering a("A", 0, &trace), b("B", 1, &trace), c("C", 7, &trace), stop("S", -1, &trace);
  OB_Message message("CONFIG_RESET", nullptr);

  OB_MessageHandler empty;
  EXPECT_EQ(empty.sendMessage(&message), 0);
  EXPECT_EQ(empty.handleMessage(&message), 0);

  OB_MessageHandler chain;
  chain.addHandler(&a);
  chain.addHandler(&b);
  chain.addHandler(&c);
  EXPECT_EQ(chain.sendMessage(&message), 1);
  EXPECT_EQ(trace, "A:CONFIG_RESET B:CONFIG_RESET ");

  OB_MessageHandler reversed;
  reversed.addHandler(&b);
  reversed.addHandler(&a);
  trace.clear();
  EXPECT_EQ(reversed.sendMessage(&message), 1);
  EXPECT_EQ(trace, "B:CONFIG_RESET ");

  OB_MessageHandler failing;
  failing.addHandler(&stop);
  failing.addHandler(&b);
  trace.clear();
  EXPECT_EQ(failing.sendMessage(&message), -1);
  EXPECT_EQ(trace, "S:CONFIG_RESET ");
}

TEST(OB_MessageHandler, NestedChainsPassMessagesOn) {
  std::string trace;
  Answering a("A", 0, &trace), b("B", 0, &trace), taker("T", 1, &trace), late("L", 5, &trace);
  OB_MessageHandler inner;  // the base passes the message on down its own chain
  inner.addHandler(&b);
  inner.addHandler(&taker);
  OB_MessageHandler outer;
  outer.addHandler(&a);
  outer.addHandler(&inner);
  outer.addHandler(&late);
  OB_Message message("M", nullptr);
  EXPECT_EQ(outer.sendMessage(&message), 1);
  EXPECT_EQ(trace, "A:M B:M T:M ");

  inner.removeHandler(&taker);
  trace.clear();
  EXPECT_EQ(outer.sendMessage(&message), 5);
  EXPECT_EQ(trace, "A:M B:M L:M ");
}

TEST(OB_MessageHandler, AddAndRemoveByIdentity) {
  Answering a("A", 0, nullptr), other("O", 0, nullptr);
  OB_MessageHandler chain;
  EXPECT_EQ(chain.addHandler(&a), 0);
  EXPECT_EQ(chain.addHandler(&a), 0);
  EXPECT_EQ(chain.addHandler(nullptr), -1);
  OB_Message message("M", nullptr);
  chain.sendMessage(&message);
  EXPECT_EQ(a.calls.load(), 2);  // registered twice, offered twice

  EXPECT_EQ(chain.removeHandler(&other), 0);
  EXPECT_EQ(chain.getHandlers()->getCount(), 2);
  EXPECT_EQ(chain.removeHandler(&a), 0);
  EXPECT_EQ(chain.getHandlers()->getCount(), 1);
}

// A handler that sends through the very chain it is registered in, once.
class Resender : public OB_MessageHandler {
 public:
  explicit Resender(OB_MessageHandler* chain) : chain_(chain) {}
  int handleMessage(OB_Message* message) override {
    if (depth_++ == 0) chain_->sendMessage(message);
    --depth_;
    return 0;
  }

 private:
  OB_MessageHandler* chain_;
  int depth_ = 0;
};

TEST(OB_MessageHandler, SendsThroughTheSameChainDoNotDisturbEachOther) {
  OB_MessageHandler chain;
  Resender resender(&chain);
  Answering a("A", 0, nullptr), b("B", 0, nullptr), c("C", 0, nullptr);
  chain.addHandler(&a);
  chain.addHandler(&resender);
  chain.addHandler(&b);
  chain.addHandler(&c);
  OB_Message message("M", nullptr);
  EXPECT_EQ(chain.sendMessage(&message), 0);
  // The nested walk visits everyone once, and the outer walk still finishes its own round.
  EXPECT_EQ(a.calls.load(), 2);
  EXPECT_EQ(b.calls.load(), 2);
  EXPECT_EQ(c.calls.load(), 2);

  chain.removeHandler(&resender);
  const int rounds = 2000;
  std::atomic<int> incomplete{0};
  std::vector<std::thread> senders;
  for (int t = 0; t < 4; ++t) {
    senders.emplace_back([&] {
      OB_Message own("M", nullptr);
      for (int i = 0; i < rounds; ++i)
        if (chain.sendMessage(&own) != 0) incomplete.fetch_add(1);
    });
  }
  for (std::thread& sender : senders) sender.join();
  EXPECT_EQ(incomplete.load(), 0);
  EXPECT_EQ(a.calls.load(), 2 + 4 * rounds);
  EXPECT_EQ(b.calls.load(), 2 + 4 * rounds);
  EXPECT_EQ(c.calls.load(), 2 + 4 * rounds);
}

}  // namespace
