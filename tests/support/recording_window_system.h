#pragma once
// A window system that records every request as one line of text, so tests
// can assert the exact sequence the program produced.
#include <string>
#include <vector>

#include "ui/ui.h"

namespace pelmora {

class RecordingWindowSystem : public WindowSystem {
public:
    RecordingWindowSystem();   // installs itself
    ~RecordingWindowSystem() override;

    // Each entry is one of: "text <id> <text>", "bar <n>", "hide", "show",
    // "trayAdd <tip>", "trayModify <tip>", "trayDelete",
    // "messageBox <caption>|<text>", "timer <ms>", "onTop", "end <result>",
    // "destroy", "exit <status>".
    std::vector<std::string> calls;
    // The latest text set on each control, by id (empty when never set).
    std::string textOf(int control) const;

    void setText(int control, const char* text) override;
    void setBar(int position) override;
    void hideWindow() override;
    void showWindow() override;
    void trayAdd(const char* tip) override;
    void trayModify(const char* tip) override;
    void trayDelete() override;
    void messageBox(const char* caption, const char* text) override;
    void startTimer(unsigned periodMs) override;
    void keepOnTop() override;
    void endDialog(int result) override;
    void destroyWindow() override;
    void exitProcess(int status) override;
};

} // namespace pelmora
