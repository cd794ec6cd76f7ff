#include "platform/SocketRuntime.h"

#include <winsock2.h>

#include <stdexcept>
#include <string>

SocketRuntime::SocketRuntime() {
  WSADATA data;
  const int result = WSAStartup(MAKEWORD(2, 2), &data);
  if (result != 0) throw std::runtime_error("WSAStartup failed: " + std::to_string(result));
}

SocketRuntime::~SocketRuntime() { WSACleanup(); }
