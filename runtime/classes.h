// Object and component base classes of the runtime.
#pragma once

#include <string>
#include <vector>

namespace rtl {

// Root of the class tree: every runtime object can be destroyed through a base pointer.
class TObject {
public:
  TObject() = default;
  TObject(const TObject&) = delete;
  TObject& operator=(const TObject&) = delete;
  virtual ~TObject() = default;
};

// A component with an optional owner. The owner deletes the components it still owns when it
// is destroyed; a component destroyed first takes itself off its owner's list.
class TComponent : public TObject {
public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;

  TComponent* Owner() const noexcept { return FOwner; }
  int ComponentCount() const noexcept { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const {
    return FComponents.at(static_cast<std::size_t>(Index));
  }

  std::string Name;

private:
  void InsertComponent(TComponent* AComponent);
  void RemoveComponent(TComponent* AComponent) noexcept;

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
};

} // namespace rtl
