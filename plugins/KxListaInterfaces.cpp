#include "plugins/KxListaInterfaces.h"

#include <memory>

#include "platform/TPackage.h"
#include "plugins/KxPackageCall.h"

KxListaInterfaces::~KxListaInterfaces() { Clear(); }

KxInterface* KxListaInterfaces::AddInterface(int32_t interfaceId, const std::string& packagePath,
                                             KxPackageLog* log, const uint8_t* bytes,
                                             int32_t count) {
  TPackage pacote(packagePath);  // throws when it cannot be loaded
  auto create = reinterpret_cast<KxCreateInterfaceProc>(pacote.GetProcAddress(KX_CREATE_INTERFACE));
  // Interface packages stay loaded until the process ends.
  pacote.Leak();
  if (create == nullptr) return nullptr;
  std::unique_ptr<KxInterface> interface_(CallPackage([&] { return create(log); }));
  if (!interface_) return nullptr;

  interface_->InterfaceId = interfaceId;
  // An exception from Configure or Open frees the object and reaches the
  // caller; it is then neither listed nor closed.
  if (CallPackage([&] { return interface_->Configure(bytes, count); }))
    interface_->Aberta = CallPackage([&] { return interface_->Open(); });
  items_.reserve(items_.size() + 1);
  items_.push_back(interface_.get());
  return interface_.release();
}

KxInterface* KxListaInterfaces::FindById(int32_t interfaceId) const {
  for (KxInterface* interface_ : items_)
    if (interface_ != nullptr && interface_->InterfaceId == interfaceId) return interface_;
  return nullptr;
}

int KxListaInterfaces::Count() const { return static_cast<int>(items_.size()); }

KxInterface* KxListaInterfaces::Items(int index) const {
  if (index < 0 || index >= Count())
    throw std::out_of_range("List index out of bounds (" + std::to_string(index) + ")");
  return items_[static_cast<size_t>(index)];
}

void KxListaInterfaces::Clear() {
  for (KxInterface* interface_ : items_) {
    if (interface_ == nullptr) continue;
    // Also run from the destructor: an error of one interface must not stop
    // the others from being closed and freed.
    try {
      if (interface_->Aberta) interface_->Close();
    } catch (...) {
    }
    delete interface_;
  }
  items_.clear();
}
