#include "component.h"

#include <algorithm>

namespace sondrix {

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner != nullptr)
    AOwner->insertOwned(this);
}

TComponent::~TComponent() {
  FDestroying = true;
  // Owned components go first, newest first, each while this owner is still whole enough to
  // receive their removal notifications.
  while (!FComponents.empty()) {
    TComponent* last = FComponents.back();
    Free(last); // removes itself from FComponents
  }
  notifyRemoval();
  if (FOwner != nullptr)
    FOwner->removeOwned(this);
}

void TComponent::Free(TComponent* component) {
  if (component == nullptr)
    return;
  if (!component->FDestroying) {
    component->FDestroying = true;
    component->BeforeDestruction();
  }
  delete component;
}

void TComponent::insertOwned(TComponent* component) {
  component->FOwner = this;
  FComponents.push_back(component);
  Notification(component, TOperation::opInsert);
}

void TComponent::removeOwned(TComponent* component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), component);
  if (it != FComponents.end())
    FComponents.erase(it);
  component->FOwner = nullptr;
}

void TComponent::notifyRemoval() {
  // Copies: a receiver may change the lists while it is told.
  std::vector<TComponent*> told;
  if (FOwner != nullptr) {
    told.push_back(FOwner);
    for (TComponent* sibling : FOwner->FComponents)
      if (sibling != this)
        told.push_back(sibling);
  }
  for (TComponent* c : FFreeNotifies)
    if (std::find(told.begin(), told.end(), c) == told.end())
      told.push_back(c);
  for (TComponent* c : FFreeNotifies) {
    auto& back = c->FFreeNotifies;
    back.erase(std::remove(back.begin(), back.end(), this), back.end());
  }
  FFreeNotifies.clear();
  for (TComponent* c : told)
    c->Notification(this, TOperation::opRemove);
}

void TComponent::FreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr || AComponent == this)
    return;
  if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
    FFreeNotifies.push_back(AComponent);
  if (std::find(AComponent->FFreeNotifies.begin(), AComponent->FFreeNotifies.end(), this) ==
      AComponent->FFreeNotifies.end())
    AComponent->FFreeNotifies.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent) {
  if (AComponent == nullptr)
    return;
  FFreeNotifies.erase(std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent),
                      FFreeNotifies.end());
  auto& back = AComponent->FFreeNotifies;
  back.erase(std::remove(back.begin(), back.end(), this), back.end());
}

void TComponent::Notification(TComponent*, TOperation) {}

} // namespace sondrix
