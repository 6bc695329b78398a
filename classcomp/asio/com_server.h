#pragma once
// The in-process server frame around the driver object: module-wide object
// and server-lock counts, the base classes of counted objects and of
// aggregatable COM objects, the class factory, and the factory-template
// table of the 100 class identifiers (identifier n stands for device slot n).

#include "platform/com/com.h"
#include "platform/win32/types.h"

#include <cstddef>

namespace orvo::asio {

using com::HRESULT;
using com::REFCLSID;
using com::REFIID;

// Module-wide: every counted object alive, and the server locks held.
w32::LONG ObjectCount();
w32::LONG ServerLockCount();

// Moves the object count: one per live object of a derived class.
class CBaseObject {
public:
    CBaseObject();
    CBaseObject(const CBaseObject&) = delete;
    CBaseObject& operator=(const CBaseObject&) = delete;

protected:
    ~CBaseObject();
};

// The object's own, non-delegating IUnknown.
class INonDelegatingUnknown {
public:
    virtual HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) = 0;
    virtual w32::ULONG NonDelegatingAddRef() = 0;
    virtual w32::ULONG NonDelegatingRelease() = 0;
    virtual ~INonDelegatingUnknown() = default;
};

// An object that can be aggregated: its IUnknown calls go to the owner (the
// outer object, or its own non-delegating unknown when it stands alone).
class CUnknown : public INonDelegatingUnknown, public CBaseObject {
public:
    CUnknown(const char16_t* name, com::IUnknown* outer, HRESULT* result);

    HRESULT NonDelegatingQueryInterface(REFIID riid, void** object) override;
    w32::ULONG NonDelegatingAddRef() override;
    w32::ULONG NonDelegatingRelease() override;

    com::IUnknown* GetOwner() const { return owner_; }
    // The non-delegating unknown as an IUnknown, as handed to an aggregating outer object.
    com::IUnknown* NonDelegatingUnknown() { return &self_; }
    w32::LONG ReferenceCount() const { return refCount_; }

protected:
    // Hands out `iface` with a reference added.
    static HRESULT GetInterface(com::IUnknown* iface, void** object);
    // At the last release: true when the object will delete itself later
    // (it is released on a thread of its own that still runs in it).
    virtual bool DeferDestruction() { return false; }

private:
    // IUnknown calls on the object's own non-delegating unknown.
    class Self final : public com::IUnknown {
    public:
        explicit Self(CUnknown& o) : owner_(o) {}
        HRESULT QueryInterface(REFIID riid, void** object) override
        {
            return owner_.NonDelegatingQueryInterface(riid, object);
        }
        w32::ULONG AddRef() override { return owner_.NonDelegatingAddRef(); }
        w32::ULONG Release() override { return owner_.NonDelegatingRelease(); }

    private:
        CUnknown& owner_;
    };

    Self self_{*this};
    com::IUnknown* owner_;
    volatile w32::LONG refCount_ = 0;
};

using CreateInstanceFn = CUnknown* (*)(com::IUnknown* outer, HRESULT* result);

struct CFactoryTemplate {
    const char16_t* name;
    const com::CLSID* clsid;
    CreateInstanceFn create;
};

inline constexpr size_t kFactoryTemplateCount = 100;
// The table, in the order of the class-identifier table.
const CFactoryTemplate* FactoryTemplates();

class CClassFactory final : public com::IClassFactory, public CBaseObject {
public:
    explicit CClassFactory(const CFactoryTemplate* entry) : entry_(entry) {}

    HRESULT QueryInterface(REFIID riid, void** object) override;
    w32::ULONG AddRef() override;
    w32::ULONG Release() override;
    HRESULT CreateInstance(com::IUnknown* outer, REFIID riid, void** object) override;
    HRESULT LockServer(w32::BOOL lock) override;

private:
    ~CClassFactory() = default;
    const CFactoryTemplate* entry_;
    volatile w32::LONG refCount_ = 0;
};

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object);
HRESULT CanUnloadNow();

} // namespace orvo::asio
