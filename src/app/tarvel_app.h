#pragma once

#include <functional>

// Runs the whole program: refuses a second instance, prepares the socket library and shows the
// main dialog modally. The process ends when the dialog closes.
class CTarvelApp {
public:
    // `startSockets` stands in for the socket library's start-up; tests make it fail.
    explicit CTarvelApp(std::function<bool()> startSockets = {});

    // The program's life. Returns the process's exit code: 0, or what a quit request asked for.
    int Run(int argc, char** argv);

    // Always false: the dialog's own loop is the program's life.
    bool InitInstance(int argc, char** argv);

private:
    std::function<bool()> m_startSockets;
};

extern CTarvelApp theApp;

// Gives the toolkit's own texts (the standard buttons' 确定 and 取消 among them) in Chinese, from
// the translations installed with Qt. False when they are not installed.
bool InstallToolkitTranslations();
