#pragma once
// The application object: decides at start whether an update is configured.

#include "framework/AfxWinApp.h"

#include <string>

class CQVSCliUpdateApp : public CWinApp
{
public:
    CQVSCliUpdateApp();

    // Reads "SourceFolder": configured runs the hot-update dialog, otherwise QVS.exe
    // is started at once. Always FALSE: the process ends when the decision is carried out.
    BOOL InitInstance() override;

    void RunUpdateDialog();
    void LaunchClientProgram();

    // Starts QVS.exe with the verb "Open", normal window, no arguments, the
    // current folder inherited. The one way the program starts the client.
    static BOOL StartClientProgram(const std::wstring& strPath);
    // The path of QVS.exe: the program's folder + "QVS.exe".
    static std::wstring ClientProgramPath();
};

extern CQVSCliUpdateApp theApp;
