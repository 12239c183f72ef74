#include "lib/FailureReason.h"

#include "framework/AfxException.h"

void SCFailureReason::Note(DWORD dwError) noexcept
{
    if (!IsNoted())
    {
        m_dwError = dwError;
    }
}

void SCFailureReason::Note(const std::wstring& strReason)
{
    if (!IsNoted())
    {
        m_strReason = strReason;
    }
}

void SCFailureReason::Clear() noexcept
{
    m_dwError = ERROR_SUCCESS;
    m_strReason.clear();
}

std::wstring SCFailureReason::Text(const std::wstring& strNothingNoted) const
{
    if (m_dwError != ERROR_SUCCESS)
    {
        return AfxSystemErrorLine(m_dwError);
    }
    return m_strReason.empty() ? strNothingNoted : m_strReason;
}

DWORD SCErrorOfException(const CException* e) noexcept
{
    if (e == nullptr)
    {
        return ERROR_SUCCESS;
    }
    if (e->IsKindOf(RUNTIME_CLASS(CFileException)))
    {
        const LONG lOsError = static_cast<const CFileException*>(e)->m_lOsError;
        return lOsError > 0 ? static_cast<DWORD>(lOsError) : ERROR_SUCCESS;
    }
    if (e->IsKindOf(RUNTIME_CLASS(CMemoryException)))
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    return ERROR_SUCCESS;
}
