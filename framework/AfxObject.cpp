#include "framework/AfxObject.h"

#include <new>

const CRuntimeClass CObject::classCObject = {"CObject", nullptr, nullptr};

const CRuntimeClass* CObject::GetRuntimeClass() const noexcept
{
    return RUNTIME_CLASS(CObject);
}

bool CObject::IsKindOf(const CRuntimeClass* pClass) const noexcept
{
    return GetRuntimeClass()->IsDerivedFrom(pClass);
}

bool CRuntimeClass::IsDerivedFrom(const CRuntimeClass* pBase) const noexcept
{
    for (const CRuntimeClass* p = this; p != nullptr; p = p->m_pBaseClass)
    {
        if (p == pBase)
        {
            return true;
        }
    }
    return false;
}

CObject* CRuntimeClass::CreateObject() const
{
    return m_pfnCreateObject ? m_pfnCreateObject() : nullptr;
}
