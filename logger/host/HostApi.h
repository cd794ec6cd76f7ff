// Symbol visibility for everything the host shares with plug-ins and clients.
//
// Plug-ins are built with hidden visibility; the host's classes, and every type whose identity
// must survive a dynamic_cast across separately built libraries, are marked HOST_API so that
// their type information stays visible and one definition is seen by the whole process.
#pragma once

#define HOST_API __attribute__((visibility("default")))
