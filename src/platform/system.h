#pragma once
// What each operating-system folder (posix/, win32/) implements; services.cpp
// gathers them into the set that platform() hands out. Nothing outside
// src/platform/ includes this file.
#include <cstddef>

#include "platform/platform.h"

namespace pelmora {

const MachineFactSources& systemMachineFacts();
void runCommand(const char* commandLine);
void sleepMilliseconds(unsigned milliseconds);
long long socketOpenTcp();
int socketLastError();
int socketsStart();
void socketsStop();
int socketConnect(long long socket, const char* host, int port);
int socketSend(long long socket, const char* data, int count);
int socketReceive(long long socket, char* buffer, int capacity);
void socketClose(long long socket);
long long socketConnectHost(const char* host, int port);
void socketErrorText(int error, char* buffer, size_t size);
int httpGet(const char* url, const char* fileName);
bool replaceFile(const char* from, const char* to);

} // namespace pelmora
