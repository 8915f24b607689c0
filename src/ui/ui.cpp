#include "ui/ui.h"

namespace pelmora {

namespace {
// Stands in until a front-end installs itself: every request does nothing.
class SilentWindowSystem : public WindowSystem {
public:
    void setText(int, const char*) override {}
    void setBar(int) override {}
    void hideWindow() override {}
    void showWindow() override {}
    void trayAdd(const char*) override {}
    void trayModify(const char*) override {}
    void trayDelete() override {}
    void messageBox(const char*, const char*) override {}
    void startTimer(unsigned) override {}
    void keepOnTop() override {}
    void endDialog(int) override {}
    void destroyWindow() override {}
    void exitProcess(int) override {}
};

SilentWindowSystem silent;
WindowSystem* current = &silent;
} // namespace

WindowSystem& windowSystem() { return *current; }

void useWindowSystem(WindowSystem* system) { current = system ? system : &silent; }

} // namespace pelmora
