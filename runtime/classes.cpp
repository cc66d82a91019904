#include "runtime/classes.h"

#include <algorithm>

namespace rtl {

TComponent::TComponent(TComponent* AOwner) {
  if (AOwner) AOwner->InsertComponent(this);
}

TComponent::~TComponent() {
  // Owned components are destroyed last-in first-out; each one removes itself from the list
  // in its own destructor, so pop before deleting.
  while (!FComponents.empty()) {
    TComponent* Child = FComponents.back();
    FComponents.pop_back();
    Child->FOwner = nullptr;
    delete Child;
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* AComponent) {
  FComponents.push_back(AComponent);
  AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent) noexcept {
  auto It = std::find(FComponents.begin(), FComponents.end(), AComponent);
  if (It != FComponents.end()) FComponents.erase(It);
  AComponent->FOwner = nullptr;
}

} // namespace rtl
