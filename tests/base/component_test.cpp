#include "base/component.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace sondrix {
namespace {

// Records its own destruction and the removals it hears of, and drops a reference like a
// converter drops its Input.
class Probe : public TComponent {
public:
  Probe(TComponent* owner, std::string name, std::vector<std::string>& log)
      : TComponent(owner), FLog(log) {
    SetName(std::move(name));
  }
  ~Probe() override { FLog.push_back("destroy " + Name()); }

  TComponent* Ref = nullptr;

  void SetRef(TComponent* c) {
    Ref = c;
    if (c != nullptr)
      c->FreeNotification(this);
  }

protected:
  void Notification(TComponent* c, TOperation op) override {
    if (op == TOperation::opRemove && c == Ref)
      Ref = nullptr;
  }
  void BeforeDestruction() override { FLog.push_back("before " + Name()); }

private:
  std::vector<std::string>& FLog;
};

TEST(Component, OwnerDestroysOwnedInReverseOrderAfterTheirBeforeDestruction) {
  std::vector<std::string> log;
  {
    auto owner = MakeComponent<Probe>(nullptr, "owner", log);
    new Probe(owner.get(), "a", log);
    new Probe(owner.get(), "b", log);
    EXPECT_EQ(owner->ComponentCount(), 2u);
  }
  const std::vector<std::string> expected = {"before owner", "destroy owner", "before b",
                                             "destroy b",    "before a",      "destroy a"};
  EXPECT_EQ(log, expected);
}

TEST(Component, DestroyingAReferencedComponentClearsTheReference) {
  std::vector<std::string> log;
  auto holder = MakeComponent<Probe>(nullptr, "holder", log);
  auto target = MakeComponent<Probe>(nullptr, "target", log);
  holder->SetRef(target.get());
  target.reset();
  EXPECT_EQ(holder->Ref, nullptr);
}

TEST(Component, SiblingsOfOneOwnerHearOfEachOthersRemoval) {
  std::vector<std::string> log;
  auto owner = MakeComponent<Probe>(nullptr, "owner", log);
  auto* a = new Probe(owner.get(), "a", log);
  auto* b = new Probe(owner.get(), "b", log);
  a->Ref = b; // no FreeNotification: the common owner is enough
  TComponent::Free(b);
  EXPECT_EQ(a->Ref, nullptr);
  EXPECT_EQ(owner->ComponentCount(), 1u);
}

TEST(Component, HolderDestroyedFirstIsForgottenByTheTarget) {
  std::vector<std::string> log;
  auto target = MakeComponent<Probe>(nullptr, "target", log);
  auto stays = MakeComponent<Probe>(nullptr, "stays", log);
  stays->SetRef(target.get());
  {
    auto holder = MakeComponent<Probe>(nullptr, "holder", log);
    holder->SetRef(target.get());
  }
  // The gone holder is not told (the sanitizer build catches a use after free); the one
  // still there is.
  target.reset();
  EXPECT_EQ(stays->Ref, nullptr);
}

} // namespace
} // namespace sondrix
