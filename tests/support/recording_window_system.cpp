#include "support/recording_window_system.h"

namespace pelmora {

RecordingWindowSystem::RecordingWindowSystem() { useWindowSystem(this); }
RecordingWindowSystem::~RecordingWindowSystem() { useWindowSystem(nullptr); }

std::string RecordingWindowSystem::textOf(int control) const
{
    const std::string prefix = "text " + std::to_string(control) + " ";
    for (auto it = calls.rbegin(); it != calls.rend(); ++it)
        if (it->compare(0, prefix.size(), prefix) == 0) return it->substr(prefix.size());
    return {};
}

void RecordingWindowSystem::setText(int control, const char* text)
{
    calls.push_back("text " + std::to_string(control) + " " + text);
}
void RecordingWindowSystem::setBar(int position) { calls.push_back("bar " + std::to_string(position)); }
void RecordingWindowSystem::hideWindow() { calls.push_back("hide"); }
void RecordingWindowSystem::showWindow() { calls.push_back("show"); }
void RecordingWindowSystem::trayAdd(const char* tip) { calls.push_back(std::string("trayAdd ") + tip); }
void RecordingWindowSystem::trayModify(const char* tip) { calls.push_back(std::string("trayModify ") + tip); }
void RecordingWindowSystem::trayDelete() { calls.push_back("trayDelete"); }
void RecordingWindowSystem::messageBox(const char* caption, const char* text)
{
    calls.push_back(std::string("messageBox ") + caption + "|" + text);
}
void RecordingWindowSystem::startTimer(unsigned periodMs) { calls.push_back("timer " + std::to_string(periodMs)); }
void RecordingWindowSystem::keepOnTop() { calls.push_back("onTop"); }
void RecordingWindowSystem::endDialog(int result) { calls.push_back("end " + std::to_string(result)); }
void RecordingWindowSystem::destroyWindow() { calls.push_back("destroy"); }
void RecordingWindowSystem::exitProcess(int status) { calls.push_back("exit " + std::to_string(status)); }

} // namespace pelmora
