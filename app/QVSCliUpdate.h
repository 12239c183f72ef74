#pragma once
// The application object: decides at start whether an update is configured.

#include "framework/AfxWinApp.h"

#include <string>

class CQVSCliUpdateApp : public CWinApp
{
public:
    CQVSCliUpdateApp();

    // Reads "SourceFolder" (policy first): configured runs the hot-update dialog,
    // otherwise, or when a policy turns updates off, QVS.exe is started at once.
    // Always FALSE: the process ends when the decision is carried out.
    BOOL InitInstance() override;

    void RunUpdateDialog();
    // After the client's start without an update: says that policy turned updates
    // off (bDisabled), and names the policy values that could not be used (the event
    // log too), in the log of this start. Without either, no log is made, as a start
    // without a release folder never made one.
    static void SayWithoutUpdate(bool bDisabled);
    void LaunchClientProgram();

    // Starts QVS.exe with the verb "Open", normal window, no arguments, the
    // current folder inherited. The one way the program starts the client.
    static BOOL StartClientProgram(const std::wstring& strPath);
    // The path of QVS.exe: the program's folder + "QVS.exe".
    static std::wstring ClientProgramPath();
};

extern CQVSCliUpdateApp theApp;
