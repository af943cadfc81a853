#pragma once
// What every in-process COM double's objects share: reference counting, live
// object and server lock counts, QueryInterface, and the class factory.
//
// Each double names its own Tag type, so doubles linked into one executable
// keep separate counts.

#include <unknwn.h>

#include <atomic>
#include <utility>

#include "win/com_ptr.h"

namespace kqdtb::com {

template <typename Tag>
struct Counts {
  // Objects alive: any the caller did not release shows here.
  static inline std::atomic<long> live{0};
  // Class factory references and LockServer locks.
  static inline std::atomic<long> serverLocks{0};

  static bool Idle() { return live.load() == 0 && serverLocks.load() == 0; }
};

// Answers IUnknown, Interface and each of Also as Interface; anything else is
// up to QueryOwn.
template <typename Tag, typename Interface, typename... Also>
class ComObject : public Interface {
 public:
  ComObject() { ++Counts<Tag>::live; }
  virtual ~ComObject() { --Counts<Tag>::live; }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid == IID_IUnknown || iid == __uuidof(Interface) || ((iid == __uuidof(Also)) || ...)) {
      *out = static_cast<Interface*>(this);
      this->AddRef();
      return S_OK;
    }
    return QueryOwn(iid, out);
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --refs_;
    if (left == 0) delete this;
    return left;
  }

 protected:
  // Interfaces the object hands out itself; an answer adds its own reference.
  virtual HRESULT QueryOwn(REFIID, void**) { return E_NOINTERFACE; }

 private:
  std::atomic<ULONG> refs_{1};  // the creator's
};

// A new object holding its creator's reference.
template <typename T, typename... Args>
kqd::win::ComPtr<T> Make(Args&&... args) {
  return kqd::win::ComPtr<T>::Attach(new T(std::forward<Args>(args)...));
}

// A static class factory: its references count as server locks, so the
// module stays loaded while COM or a caller holds it.
template <typename Tag>
class ClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (iid != IID_IUnknown && iid != IID_IClassFactory) return E_NOINTERFACE;
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++Counts<Tag>::serverLocks) + 1; }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--Counts<Tag>::serverLocks) + 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    return Create(iid, out);
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    lock ? ++Counts<Tag>::serverLocks : --Counts<Tag>::serverLocks;
    return S_OK;
  }

 protected:
  // Makes the instance and answers `iid` on it; `*out` is null on entry.
  virtual HRESULT Create(REFIID iid, void** out) = 0;
};

}  // namespace kqdtb::com
