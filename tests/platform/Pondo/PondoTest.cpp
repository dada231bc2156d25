// Pondo: the publisher's re-entrancy rules.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "Pondo/Publisher.h"

namespace {

using Log = std::vector<std::string>;

struct Recorder {
  Recorder(Log& log, std::string name) : log(log), name(std::move(name)) {}
  void onChange(const Pondo::Change& c) {
    log.push_back(name + ":" + std::to_string(c.attribute));
    if (auto f = then) f();  // a copy: the handler may replace `then`
  }
  Log& log;
  std::string name;
  std::function<void()> then;
  Pondo::Subscriber slot{this, Pondo::memberHandler<&Recorder::onChange>};
};

void publish(Pondo::Publisher& pub, U16 attribute) {
  pub.publishChangeRecursive(attribute, nullptr, nullptr, nullptr);
}

// Delivery goes in subscription order (`first` in front); a handler may remove any subscriber,
// add one (it hears only later changes) and publish again; a removed one hears nothing more.
TEST(PublisherTest, ChangesDuringDelivery) {
  Log log;
  Pondo::Publisher pub;
  Recorder f(log, "f"), a(log, "a"), b(log, "b"), c(log, "c"), late(log, "late");
  for (Recorder* r : {&a, &b, &c}) pub.subscriberAdd(r->slot, false);
  pub.subscriberAdd(f.slot, true);
  a.then = [&] {
    pub.subscriberRemove(b.slot);
    pub.subscriberAdd(late.slot, false);
  };
  c.then = [&] {
    pub.subscriberRemove(c.slot);
    pub.subscriberRemove(a.slot);
  };
  publish(pub, 1);
  f.then = [&] {
    f.then = [&] {
      f.then = nullptr;
      publish(pub, 4);
      pub.subscriberRemove(b.slot);
    };
    pub.subscriberAdd(b.slot, false);
    pub.subscriberRemove(late.slot);
  };
  publish(pub, 2);
  publish(pub, 3);
  EXPECT_EQ(log, (Log{"f:1", "a:1", "c:1", "f:2", "f:3", "f:4", "b:4"}));
}

// A handler may destroy the publisher (delivery stops, subscribers detach) or throw (delivery
// ends, the publisher stays usable); a destroyed subscriber detaches.
TEST(PublisherTest, DestroyedOrThrowingEndsDelivery) {
  Log log;
  auto pub = std::make_unique<Pondo::Publisher>();
  Recorder a(log, "a"), b(log, "b");
  pub->subscriberAdd(a.slot, false);
  pub->subscriberAdd(b.slot, false);
  a.then = [&] { pub.reset(); };
  Pondo::Publisher* raw = pub.get();
  publish(*raw, 1);
  EXPECT_FALSE(a.slot.subscribed() || b.slot.subscribed());
  Pondo::Publisher again;
  again.subscriberAdd(a.slot, false);
  again.subscriberAdd(b.slot, false);
  a.then = [] { throw std::runtime_error("refused"); };
  EXPECT_THROW(publish(again, 2), std::runtime_error);
  a.then = nullptr;
  publish(again, 3);
  {
    Recorder gone(log, "gone");
    again.subscriberAdd(gone.slot, true);
  }
  again.subscriberRemove(b.slot);
  publish(again, 4);
  EXPECT_EQ(log, (Log{"a:1", "a:2", "a:3", "b:3", "a:4"}));
}

}  // namespace
