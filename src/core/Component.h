#pragma once
// The component base: an object with an owner that destroys it with itself,
// a name, and a state that tells when it is being destroyed. Events are bound
// callables, called only when assigned.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

/// Root of the class tree; lets a Sender be any object.
class TObject {
 public:
  virtual ~TObject() = default;
};

using TNotifyEvent = std::function<void(TObject* Sender)>;
/// A handler that sets Handled asks for exactly one retry of the failed step.
using THandlerEvent = std::function<void(bool& Handled)>;

/// A component is owned by another component, which deletes it with itself.
/// A component deleted first removes itself from its owner.
class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  /// True from the start of destruction on: events that would reach a
  /// half-destroyed owner are not fired then.
  bool Destroying() const { return destroying_; }

  std::string Name;
  std::intptr_t Tag = 0;

 protected:
  /// Called first thing by destructors that fire nothing while dying.
  void MarkDestroying() { destroying_ = true; }

 private:
  TComponent* owner_;
  std::vector<TComponent*> owned_;
  bool destroying_ = false;
};
