#include "core/Component.h"

#include <algorithm>

TComponent::TComponent(TComponent* owner) : owner_(owner) {
  if (owner_) owner_->owned_.push_back(this);
}

TComponent::~TComponent() {
  destroying_ = true;
  for (TComponent* child : owned_) child->destroying_ = true;
  // Newest first, as each child may still use what was created before it.
  while (!owned_.empty()) {
    TComponent* child = owned_.back();
    owned_.pop_back();
    child->owner_ = nullptr;
    delete child;
  }
  if (owner_) {
    auto& siblings = owner_->owned_;
    siblings.erase(std::remove(siblings.begin(), siblings.end(), this), siblings.end());
  }
}
