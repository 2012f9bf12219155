#pragma once

// The application object: checks the socket layer, runs the main window modally until the
// operator exits, and releases the socket layer at the end. Without a usable socket layer the
// program says why and ends before any window shows.

#include <functional>

#include "shell/SettingsDialogs.h"

namespace trelvane {

class LanguageState;
class Prompter;
class ServiceEngine;
class SocketLibrary;

class CKorvexApp {
  public:
    // `runMainWindow` builds the main window and runs it until it closes.
    CKorvexApp(SocketLibrary& sockets, Prompter& prompter, std::function<void()> runMainWindow);

    // Returns false in every case: when it returns, the program ends. The socket layer, once
    // granted, stays started until ExitInstance.
    bool InitInstance();
    // Releases the socket layer if InitInstance left it started; the process exit code.
    int ExitInstance();

  private:
    SocketLibrary& sockets_;
    Prompter& prompter_;
    std::function<void()> runMainWindow_;
    bool socketsStarted_ = false;
};

// The settings dialog behind the window's Server Setting and Device Info commands.
SettingsDialogs SettingsDialogsFor(ServiceEngine& engine, Prompter& prompter);

// The production main window: the service engine on the real clock and Qt timers, the window
// over it with the settings dialog, run modally.
void RunMainWindow(LanguageState& language, Prompter& prompter);

}  // namespace trelvane
