#include "platform/system.h"

namespace pelmora {

namespace {
time_t systemNow() { return std::time(nullptr); }

const PlatformServices* current = nullptr;
} // namespace

const PlatformServices& systemServices()
{
    static const PlatformServices services = {
        systemNow,     systemMachineFacts(), runCommand,    sleepMilliseconds,
        socketOpenTcp, socketLastError,      socketsStart,  socketsStop,
        socketConnect, socketSend,           socketReceive, socketClose,
        httpGet,       replaceFile,          socketConnectHost, socketErrorText,
    };
    return services;
}

const PlatformServices& platform() { return current ? *current : systemServices(); }

void usePlatformServices(const PlatformServices* services) { current = services; }

} // namespace pelmora
