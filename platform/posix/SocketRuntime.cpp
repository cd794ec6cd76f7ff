#include "platform/SocketRuntime.h"

SocketRuntime::SocketRuntime() = default;

SocketRuntime::~SocketRuntime() = default;
