#include "classcomp/asio/com_server.h"

#include "platform/win32/interlocked.h"

#include <new>

namespace orvo::asio {

namespace {

// LONG-aligned, as the interlocked calls require.
alignas(w32::LONG) volatile w32::LONG g_objectCount = 0;
alignas(w32::LONG) volatile w32::LONG g_serverLocks = 0;

} // namespace

w32::LONG ObjectCount()
{
    return w32::InterlockedExchangeAdd(&g_objectCount, 0);
}

w32::LONG ServerLockCount()
{
    return w32::InterlockedExchangeAdd(&g_serverLocks, 0);
}

CBaseObject::CBaseObject()
{
    w32::InterlockedIncrement(&g_objectCount);
}

CBaseObject::~CBaseObject()
{
    w32::InterlockedDecrement(&g_objectCount);
}

CUnknown::CUnknown(const char16_t* name, com::IUnknown* outer, HRESULT* result)
    : owner_(outer ? outer : &self_)
{
    (void)name;
    (void)result;
}

HRESULT CUnknown::GetInterface(com::IUnknown* iface, void** object)
{
    if (!object)
        return com::E_POINTER;
    *object = iface;
    iface->AddRef();
    return com::S_OK;
}

HRESULT CUnknown::NonDelegatingQueryInterface(REFIID riid, void** object)
{
    if (!object)
        return com::E_POINTER;
    if (com::IsEqualGUID(riid, com::IID_IUnknown))
        return GetInterface(&self_, object);
    *object = nullptr;
    return com::E_NOINTERFACE;
}

w32::ULONG CUnknown::NonDelegatingAddRef()
{
    const w32::LONG n = w32::InterlockedIncrement(&refCount_);
    return static_cast<w32::ULONG>(n) > 1 ? static_cast<w32::ULONG>(n) : 1;
}

w32::ULONG CUnknown::NonDelegatingRelease()
{
    const w32::LONG n = w32::InterlockedDecrement(&refCount_);
    if (n == 0) {
        // Back to 1 while the destructor runs: a reference taken and
        // dropped inside it must not destroy the object a second time.
        refCount_ = 1;
        if (!DeferDestruction())
            delete this;
        return 0;
    }
    return static_cast<w32::ULONG>(n) > 1 ? static_cast<w32::ULONG>(n) : 1;
}

HRESULT CClassFactory::QueryInterface(REFIID riid, void** object)
{
    if (!object)
        return com::E_POINTER;
    *object = nullptr;
    if (com::IsEqualGUID(riid, com::IID_IUnknown) || com::IsEqualGUID(riid, com::IID_IClassFactory)) {
        *object = static_cast<com::IClassFactory*>(this);
        AddRef();
        return com::S_OK;
    }
    return com::E_NOINTERFACE;
}

// Interlocked like Release, though hosts use a factory from the thread that
// made it: a host that does not costs nothing more than this.
w32::ULONG CClassFactory::AddRef()
{
    return static_cast<w32::ULONG>(w32::InterlockedIncrement(&refCount_));
}

w32::ULONG CClassFactory::Release()
{
    const w32::LONG n = w32::InterlockedDecrement(&refCount_);
    if (n == 0) {
        delete this;
        return 0;
    }
    return static_cast<w32::ULONG>(n);
}

HRESULT CClassFactory::CreateInstance(com::IUnknown* outer, REFIID riid, void** object)
{
    if (!object)
        return com::E_POINTER;
    *object = nullptr;
    // An aggregated object hands its outer object only its own unknown.
    if (outer && !com::IsEqualGUID(riid, com::IID_IUnknown))
        return com::E_NOINTERFACE;
    HRESULT result = com::S_OK;
    CUnknown* created = entry_->create(outer, &result);
    if (!created)
        return com::FAILED(result) ? result : com::E_OUTOFMEMORY;
    if (com::FAILED(result)) {
        delete created;
        return result;
    }
    created->NonDelegatingAddRef();
    const HRESULT query = created->NonDelegatingQueryInterface(riid, object);
    created->NonDelegatingRelease();
    return query;
}

HRESULT CClassFactory::LockServer(w32::BOOL lock)
{
    if (lock)
        w32::InterlockedIncrement(&g_serverLocks);
    else
        w32::InterlockedDecrement(&g_serverLocks);
    return com::S_OK;
}

HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object)
{
    if (!object)
        return com::E_POINTER;
    *object = nullptr;
    if (!com::IsEqualGUID(riid, com::IID_IUnknown) && !com::IsEqualGUID(riid, com::IID_IClassFactory))
        return com::E_NOINTERFACE;
    const CFactoryTemplate* table = FactoryTemplates();
    for (size_t i = 0; i < kFactoryTemplateCount; ++i) {
        if (!com::IsEqualGUID(clsid, *table[i].clsid))
            continue;
        auto* factory = new (std::nothrow) CClassFactory(&table[i]);
        if (!factory)
            return com::E_OUTOFMEMORY;
        factory->AddRef();
        *object = static_cast<com::IClassFactory*>(factory);
        return com::S_OK;
    }
    return com::CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CanUnloadNow()
{
    return ServerLockCount() > 0 || ObjectCount() != 0 ? com::S_FALSE : com::S_OK;
}

} // namespace orvo::asio
