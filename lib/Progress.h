#pragma once
// How long pieces of work (the walk, the install) report what they do.

#include "framework/AfxWnd.h"

#include <string>

// Receives each progress message and the context given to the work (the
// hot-update dialog), unchanged. The result is ignored.
using SCProgressCallback = LRESULT (*)(const std::wstring& strMessage, CWnd* pContext);
