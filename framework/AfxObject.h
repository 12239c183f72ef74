#pragma once
// Run-time class information: lets handlers tell exception classes apart and
// lets a thread be started from its class alone.

#include <windows.h>

class CObject;

struct CRuntimeClass
{
    const char* m_lpszClassName;
    const CRuntimeClass* m_pBaseClass;
    CObject* (*m_pfnCreateObject)(); // null unless the class is dynamically creatable

    bool IsDerivedFrom(const CRuntimeClass* pBase) const noexcept;
    CObject* CreateObject() const; // null when the class cannot be created
};

class CObject
{
public:
    static const CRuntimeClass classCObject;

    virtual const CRuntimeClass* GetRuntimeClass() const noexcept;
    virtual ~CObject() = default;

    bool IsKindOf(const CRuntimeClass* pClass) const noexcept;

protected:
    CObject() = default;
    CObject(const CObject&) = default;
    CObject& operator=(const CObject&) = default;
};

#define RUNTIME_CLASS(class_name) (&class_name::class##class_name)

#define DECLARE_DYNAMIC(class_name)                                                                \
public:                                                                                            \
    static const CRuntimeClass class##class_name;                                                  \
    const CRuntimeClass* GetRuntimeClass() const noexcept override;

#define DECLARE_DYNCREATE(class_name)                                                              \
    DECLARE_DYNAMIC(class_name)                                                                    \
    static CObject* CreateObject();

#define IMPLEMENT_RUNTIMECLASS_(class_name, base_name, pfnNew)                                     \
    const CRuntimeClass class_name::class##class_name = {#class_name, RUNTIME_CLASS(base_name),    \
                                                         pfnNew};                                  \
    const CRuntimeClass* class_name::GetRuntimeClass() const noexcept                              \
    {                                                                                              \
        return RUNTIME_CLASS(class_name);                                                          \
    }

#define IMPLEMENT_DYNAMIC(class_name, base_name)                                                   \
    IMPLEMENT_RUNTIMECLASS_(class_name, base_name, nullptr)

#define IMPLEMENT_DYNCREATE(class_name, base_name)                                                 \
    CObject* class_name::CreateObject()                                                            \
    {                                                                                              \
        return new class_name;                                                                     \
    }                                                                                              \
    IMPLEMENT_RUNTIMECLASS_(class_name, base_name, class_name::CreateObject)
