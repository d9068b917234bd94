// Components with owners: the part of the object model that needs nothing of the platform.
#include <algorithm>

#include "toolkit/classes.h"

TComponent::TComponent(TComponent* AOwner) : FOwner(AOwner) {
  if (FOwner) FOwner->FComponents.push_back(this);
}

TComponent::~TComponent() {
  // Each owned component takes itself off this list as it is destroyed.
  while (!FComponents.empty()) delete FComponents.back();
  if (FOwner) {
    auto& list = FOwner->FComponents;
    auto it = std::find(list.begin(), list.end(), this);
    if (it != list.end()) list.erase(it);
  }
}
