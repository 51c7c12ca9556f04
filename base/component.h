#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace sondrix {

enum class TOperation { opInsert, opRemove };

// The framework component: an owner destroys the components it owns (in reverse order of
// creation), and every component that asked for it is told when another one goes away, so
// that non-owning references (an `Input`, say) can be cleared before they dangle.
//
// A component is either owned (created with an owner, destroyed by it) or held by a
// ComponentPtr. Both paths call BeforeDestruction() while the object is still whole, which is
// where a component stops threads that still call its virtual functions.
// All of this runs on one thread (the main thread in the station).
class TComponent {
public:
  explicit TComponent(TComponent* AOwner = nullptr);
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  virtual ~TComponent();

  TComponent* Owner() const { return FOwner; }
  const std::string& Name() const { return FName; }
  void SetName(std::string name) { FName = std::move(name); }

  std::size_t ComponentCount() const { return FComponents.size(); }
  TComponent* Components(std::size_t index) const { return FComponents.at(index); }

  // Asks for a Notification(this-or-AComponent, opRemove) when AComponent is destroyed.
  void FreeNotification(TComponent* AComponent);
  void RemoveFreeNotification(TComponent* AComponent);

  // Runs BeforeDestruction once, then deletes. Owners and ComponentPtr use it.
  static void Free(TComponent* component);

  struct Deleter {
    void operator()(TComponent* component) const { Free(component); }
  };

protected:
  // Told about components being inserted into or removed from the owner, and about
  // components this one asked to hear of.
  virtual void Notification(TComponent* AComponent, TOperation Operation);
  // Called once before the destructor chain starts, with the whole object still alive.
  virtual void BeforeDestruction() {}

private:
  void insertOwned(TComponent* component);
  void removeOwned(TComponent* component);
  void notifyRemoval();

  TComponent* FOwner = nullptr;
  std::string FName;
  std::vector<TComponent*> FComponents; // owned
  std::vector<TComponent*> FFreeNotifies;
  bool FDestroying = false;
};

template <class T> using ComponentPtr = std::unique_ptr<T, TComponent::Deleter>;

template <class T, class... Args> ComponentPtr<T> MakeComponent(Args&&... args) {
  return ComponentPtr<T>(new T(std::forward<Args>(args)...));
}

} // namespace sondrix
