#pragma once
// The application: what happens before the main window runs (installation check, language,
// single instance, enumeration start, environment log) and after it has closed (the scan is
// stopped and released while the program still runs, not left to static teardown).
#include <string>

class CQZMUIDlg;

constexpr const char* kInstanceMutexName = "Morvenda_Mutex_410000_KALVENTOR";
constexpr const char* kMainWindowClass = "Morvenda_UI";

class CQZMUIApp {
public:
    // buildDate and buildTime in the compiler's forms ("Mmm dd yyyy", "hh:mm:ss").
    CQZMUIApp(const char* buildDate, const char* buildTime);
    // The main dialog's result, or 0 when start-up stopped early.
    int InitInstance();

private:
    const char* buildDate_;
    const char* buildTime_;
};

// 1 for the first instance; 0 after "AlreadyRun" was shown and the running instance was asked to
// come to the front.
int CheckAlreadyRunning(bool alreadyRunning);
// Restores the window when minimised, raises, activates and flashes it.
void BringToFront(CQZMUIDlg& dialog);
// Stops a running scan, waits for its thread and releases the controller and the trees.
void ReleaseScanAtExit();
// The interface language from Config.dat (after the first-run step), written back and applied.
int SetUpLanguage();
