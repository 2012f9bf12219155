#pragma once

// A main window over a real service engine on virtual time: a ManualScheduler drives the
// engine's timers and sequences, a scripted prompter answers the prompts, the working folder
// and the language folder are temporary.

#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QItemSelectionModel>
#include <QMenu>
#include <QTableView>
#include <memory>

#include "records/StringTable.h"
#include "service/ServiceEngine.h"
#include "shell/KorvexDlg.h"
#include "shell/LauguageOp.h"
#include "support/ManualScheduler.h"
#include "support/ScriptedPrompter.h"
#include "support/TempFolder.h"

namespace trelvane::test {

class ShellFixture : public ::testing::Test {
  protected:
    ShellFixture()
        : scheduler(clock),
          engine(clock, scheduler),
          language(langFolder.Path(), kLanguageChinesePrc) {
        clock.SetLocalTime({2026, 3, 8, 9, 0, 0});
    }

    void SetUp() override {
        window = std::make_unique<CKorvexDlg>(engine, prompter, language);
        window->SetWorkingFolderSource([this] { return std::optional(work.Path()); });
        window->show();
    }

    void TearDown() override {
        window.reset();
        engine.StopService();
        SetLanguagePack(nullptr);
    }

    // SysConf.ini on 127.0.0.1 and `port` (0: any free port).
    void WriteConfig(int port = 0, int refreshSeconds = 10) {
        WriteFile(
            work.Path() / "SysConf.ini",
            "[Service_Param]\r\nService_IP=127.0.0.1\r\nService_Port=" + std::to_string(port) +
                "\r\nLogin_Time=1\r\nUSER_Refresh_Time=" + std::to_string(refreshSeconds) +
                "\r\nKeepRecord=0\r\nCalibrateTime=0\r\n");
    }

    void StartService() {
        WriteConfig();
        window->OnCommand(command::kStartService);
        ASSERT_TRUE(engine.IsRunning());
    }

    // Fires a command through its menu entry, as a click would (a disabled entry does nothing).
    void Menu(int commandId) {
        QAction* action = window->MenuAction(commandId);
        ASSERT_NE(action, nullptr) << commandId;
        action->trigger();
    }

    // The entry of a context menu that carries `commandId`.
    static QAction* Entry(QMenu& menu, int commandId) {
        for (QAction* action : menu.actions()) {
            if (action->data().toInt() == commandId) {
                return action;
            }
        }
        ADD_FAILURE() << "no entry " << commandId;
        return nullptr;
    }

    void SelectDeviceRow(int row) {
        QTableView* view = window->DeviceView();
        view->selectionModel()->select(
            view->model()->index(row, 1),
            QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    ManualClock clock;
    ManualScheduler scheduler;
    TempFolder work;
    TempFolder langFolder;
    ServiceEngine engine;
    ScriptedPrompter prompter;
    LanguageState language;
    std::unique_ptr<CKorvexDlg> window;
};

}  // namespace trelvane::test
