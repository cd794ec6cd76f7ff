// Symbol visibility for everything the host shares with plug-ins and clients, so that one
// definition of each host class is seen by the whole process. Macros only; no state.
#pragma once

// HOST_API marks the host's classes: on ELF systems their symbols and type information stay
// visible from a library built with hidden visibility; on Windows the host library exports them
// and every other module imports them. HOST_SHARED_TYPE marks a type defined in a header alone
// whose identity must survive a dynamic_cast across separately built libraries. Windows needs
// nothing for it: its C++ runtime compares type information by name.
#if defined(_WIN32)
#if defined(HOSTFRAMEWORK_BUILD)
#define HOST_API __declspec(dllexport)
#else
#define HOST_API __declspec(dllimport)
#endif
#define HOST_SHARED_TYPE
#else
#define HOST_API __attribute__((visibility("default")))
#define HOST_SHARED_TYPE __attribute__((visibility("default")))
#endif
