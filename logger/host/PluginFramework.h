// The records through which a plug-in library and its host find each other.
//
// The host calls the library's exported PF_initPlugin(HostServices*); the plug-in fills a
// ComponentRegistration on its own stack and passes it to registerComponent, which copies what it
// keeps. Both records are plain C layouts shared by separately built modules.
#pragma once

#include <cstddef>
#include <cstdint>

// Marks a library's entry points, the only names its host looks up: PF_initPlugin, and anything
// else a host or a test reaches by name. Nothing else of a plug-in is exported.
#if defined(_WIN32)
#define PLUGIN_EXPORT __declspec(dllexport)
#else
#define PLUGIN_EXPORT __attribute__((visibility("default")))
#endif

class IComponent;

extern "C" {

typedef IComponent* (*PF_CreateFunc)(void* hostParams);
typedef int32_t (*PF_DestroyFunc)(IComponent* component);

struct ComponentRegistration {
  int32_t versionMajor;
  int32_t versionMinor;
  PF_CreateFunc create;
  PF_DestroyFunc destroy;
  int32_t language;
};

// A negative result refuses the registration.
typedef int32_t (*PF_RegisterFunc)(const char* typeName, const ComponentRegistration* registration);

struct HostServices {
  int32_t versionMajor;
  int32_t versionMinor;
  PF_RegisterFunc registerComponent;  // the third 32-bit word: byte offset 8
};

typedef int32_t (*PF_ExitFunc)();
typedef PF_ExitFunc (*PF_InitFunc)(const HostServices* services);
}

static_assert(offsetof(HostServices, registerComponent) == 8,
              "the register function is the record's third 32-bit word");
static_assert(sizeof(void*) != 4 || sizeof(ComponentRegistration) == 20,
              "five consecutive 32-bit words where pointers are 4 bytes");
