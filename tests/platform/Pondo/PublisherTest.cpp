// Delivery order and re-entrancy of Pondo::Publisher.
#include "Pondo/Publisher.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

struct Recorder {
  Recorder(std::vector<std::string>& log, std::string name) : log(log), name(std::move(name)) {}
  void onChange(const Pondo::Change& c) {
    log.push_back(name + ":" + std::to_string(c.attribute));
    if (auto f = then) f();  // a copy: the handler may replace `then`
  }
  std::vector<std::string>& log;
  std::string name;
  std::function<void()> then;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&Recorder::onChange>};
};

using Log = std::vector<std::string>;

// Subscribers hear every change in subscription order; `first` puts one in front.
TEST(PublisherTest, DeliversInSubscriptionOrder) {
  Log log;
  Pondo::Publisher pub;
  Recorder a(log, "a"), b(log, "b"), c(log, "c");
  pub.subscriberAdd(a.slot, false);
  pub.subscriberAdd(b.slot, false);
  pub.subscriberAdd(c.slot, true);
  pub.publishChangeRecursive(7, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"c:7", "a:7", "b:7"}));
}

// Removing oneself, a later subscriber, or an earlier one during delivery is safe, and a
// removed subscriber hears nothing more.
TEST(PublisherTest, RemovalDuringDelivery) {
  Log log;
  Pondo::Publisher pub;
  Recorder a(log, "a"), b(log, "b"), c(log, "c");
  pub.subscriberAdd(a.slot, false);
  pub.subscriberAdd(b.slot, false);
  pub.subscriberAdd(c.slot, false);
  a.then = [&] { pub.subscriberRemove(b.slot); };
  c.then = [&] {
    pub.subscriberRemove(c.slot);
    pub.subscriberRemove(a.slot);
  };
  pub.publishChangeRecursive(1, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"a:1", "c:1"}));
  EXPECT_FALSE(pub.hasSubscribers());
  pub.publishChangeRecursive(2, nullptr, nullptr, nullptr);
  EXPECT_EQ(log.size(), 2u);
}

// Removing the last due subscriber from an earlier handler ends the delivery; a subscriber
// added during delivery hears only later changes.
TEST(PublisherTest, ChangesToTheTailDuringDelivery) {
  Log log;
  Pondo::Publisher pub;
  Recorder a(log, "a"), b(log, "b"), late(log, "late");
  pub.subscriberAdd(a.slot, false);
  pub.subscriberAdd(b.slot, false);
  a.then = [&] {
    pub.subscriberRemove(b.slot);
    pub.subscriberAdd(late.slot, false);
    a.then = nullptr;
  };
  pub.publishChangeRecursive(1, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"a:1"}));
  pub.publishChangeRecursive(2, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"a:1", "a:2", "late:2"}));
}

// A handler may publish again (nested delivery) and remove subscribers that the outer
// delivery has still to reach.
TEST(PublisherTest, NestedDelivery) {
  Log log;
  Pondo::Publisher pub;
  Recorder a(log, "a"), b(log, "b");
  pub.subscriberAdd(a.slot, false);
  pub.subscriberAdd(b.slot, false);
  a.then = [&] {
    a.then = nullptr;
    pub.publishChangeRecursive(2, nullptr, nullptr, nullptr);
    pub.subscriberRemove(b.slot);
  };
  pub.publishChangeRecursive(1, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"a:1", "a:2", "b:2"}));
}

// The publisher may be destroyed by a handler; the delivery stops and subscribers detach.
TEST(PublisherTest, PublisherDestroyedDuringDelivery) {
  Log log;
  auto pub = std::make_unique<Pondo::Publisher>();
  Recorder a(log, "a"), b(log, "b");
  pub->subscriberAdd(a.slot, false);
  pub->subscriberAdd(b.slot, false);
  a.then = [&] { pub.reset(); };
  Pondo::Publisher* raw = pub.get();
  raw->publishChangeRecursive(1, nullptr, nullptr, nullptr);
  EXPECT_EQ(log, (Log{"a:1"}));
  EXPECT_FALSE(a.slot.subscribed());
  EXPECT_FALSE(b.slot.subscribed());
}

// A subscriber detaches itself when destroyed.
TEST(PublisherTest, SubscriberDestructorDetaches) {
  Log log;
  Pondo::Publisher pub;
  {
    Recorder a(log, "a");
    pub.subscriberAdd(a.slot, false);
  }
  EXPECT_FALSE(pub.hasSubscribers());
  pub.publishChangeRecursive(1, nullptr, nullptr, nullptr);
  EXPECT_TRUE(log.empty());
}

}  // namespace

namespace {

// A subscriber that throws ends the delivery; the publisher stays usable afterwards.
TEST(PublisherTest, ThrowingSubscriberLeavesPublisherUsable) {
  Log log;
  Pondo::Publisher pub;
  Recorder a(log, "a"), b(log, "b");
  pub.subscriberAdd(a.slot, false);
  pub.subscriberAdd(b.slot, false);
  a.then = [&] { throw std::runtime_error("refused"); };
  EXPECT_THROW(pub.publishChangeRecursive(1, nullptr, nullptr, nullptr), std::runtime_error);
  a.then = nullptr;
  pub.publishChangeRecursive(2, nullptr, nullptr, nullptr);
  pub.subscriberRemove(b.slot);
  EXPECT_EQ(log, (Log{"a:1", "a:2", "b:2"}));
}

}  // namespace
