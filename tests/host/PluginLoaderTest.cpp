#include <gtest/gtest.h>

#include <atomic>
#include <functional>

#include "host/PluginLoader.h"
#include "logger/host/IComponent.h"
#include "logger/host/LocalMessage.h"
#include "logger/host/MessageDispatcher.h"
#include "platform/SharedLibrary.h"
#include "tests/support/TestSupport.h"

namespace {

// The test plug-in's counters, reached by name while it is loaded.
std::atomic<int>* counter(const char* name, const char* path = TEST_PLUGIN_PATH) {
  SharedLibrary::Handle handle = SharedLibrary::findLoaded(path);
  if (!handle) return nullptr;
  auto* value = static_cast<std::atomic<int>*>(SharedLibrary::symbol(handle, name));
  SharedLibrary::close(handle);
  return value;
}

bool pluginInMemory() {
  SharedLibrary::Handle handle = SharedLibrary::findLoaded(TEST_PLUGIN_PATH);
  SharedLibrary::close(handle);
  return handle != nullptr;
}

TEST(PluginLoaderTest, LoadsCreatesDestroysAndUnloadsAfterTheLastComponent) {
  PluginLoader loader;
  std::vector<std::string> types = loader.load(TEST_PLUGIN_PATH);
  ASSERT_EQ(std::vector<std::string>{"testcomponent"}, types);
  ASSERT_TRUE(pluginInMemory());
  const ComponentRegistration& reg = loader.registration("testcomponent");
  EXPECT_EQ(1, reg.versionMajor);
  EXPECT_EQ(0, reg.versionMinor);
  EXPECT_EQ(1, reg.language);

  IComponent* first = loader.create("testcomponent");
  IComponent* second = loader.create("testcomponent");
  ASSERT_NE(nullptr, first);
  first->start();
  EXPECT_EQ(1, counter("testPluginStarts")->load());
  EXPECT_EQ(2, counter("testPluginLive")->load());

  loader.destroy(first);
  EXPECT_EQ(1, counter("testPluginLive")->load());
  loader.unload(TEST_PLUGIN_PATH);
  EXPECT_EQ(0, counter("testPluginExits")->load()) << "a component of the library is still alive";
  EXPECT_TRUE(loader.isLoaded(TEST_PLUGIN_PATH));
  EXPECT_FALSE(loader.hasType("testcomponent")) << "no new components of a library on its way out";
  loader.destroy(second);
  EXPECT_EQ(1, counter("testPluginExits")->load())
      << "the last component is gone, so is the library";
  EXPECT_FALSE(loader.isLoaded(TEST_PLUGIN_PATH));
  EXPECT_TRUE(pluginInMemory()) << "its code stays mapped for objects that outlive it";

  // Loaded again, it registers again.
  EXPECT_EQ(std::vector<std::string>{"testcomponent"}, loader.load(TEST_PLUGIN_PATH));
}

TEST(PluginLoaderTest, FailuresNameTheirCause) {
  PluginLoader loader;
  auto expectError = [&](const std::string& path, const std::string& needle) {
    try {
      loader.load(path);
      ADD_FAILURE() << path << " loaded";
    } catch (const PluginError& e) {
      std::string what = e.what();
      EXPECT_NE(std::string::npos, what.find(path)) << what;
      EXPECT_NE(std::string::npos, what.find(needle)) << what;
    }
  };
  expectError(TEST_PLUGIN_REFUSED_PATH, "registration was refused");
  expectError("/nonexistent/libnothing.so", "cannot load plug-in");
  // A library that loads but is no plug-in: the host library itself.
  const std::string hostLibrary =
      SharedLibrary::pathOf(reinterpret_cast<const void*>(&MessageDispatcher::getInstance));
  ASSERT_NE("", hostLibrary);
  expectError(hostLibrary, "has no PF_initPlugin");

  EXPECT_THROW(loader.create("testcomponent"), PluginError);
  loader.load(TEST_PLUGIN_PATH);
  EXPECT_THROW(loader.load(TEST_PLUGIN_PATH), PluginError);
}

// Sends to the throwing component's topic and waits until the component counted it.
bool reachesTheComponent() {
  std::atomic<int>* messages = counter("testPluginMessages", TEST_PLUGIN_THROWING_PATH);
  const int before = messages->load();
  CommonMessageProperties properties;
  properties.topic = "test:/ThrowingComponent";
  properties.messageType = "ping";
  MessageDispatcher::getInstance()->send(
      boost::shared_ptr<LocalMessage>(new LocalMessage(properties)));
  return testsupport::waitFor([&] { return messages->load() > before; });
}

TEST(PluginLoaderTest, WhateverAComponentThrowsBecomesAPluginErrorNamingIt) {
  const std::string path = TEST_PLUGIN_THROWING_PATH;
  const std::string unknown = "failed: an unknown exception";
  const std::string busLine =
      "bus: a sink on topic \"test:/ThrowingComponent\" failed on a \"ping\" message: an "
      "unknown exception\n";
  struct Case {
    const char* at;
    const char* what;  // thrown as a std::runtime_error; null throws the int 42
    std::string error, err;
  } cases[] = {
      {"init", nullptr, "plug-in " + path + ": PF_initPlugin " + unknown, ""},
      {"create", nullptr, "component ThrowingComponent: create " + unknown, ""},
      {"start", nullptr, "component ThrowingComponent: start " + unknown, ""},
      {"shutdown", nullptr, "component ThrowingComponent: shutdown " + unknown, ""},
      {"destroy", nullptr, "component ThrowingComponent: destroy " + unknown, ""},
      {"message", nullptr, "", busLine + busLine},
      {"start", "disk on fire", "component ThrowingComponent: start failed: disk on fire", ""},
      {"shutdown", "ThrowingComponent is stuck", "ThrowingComponent is stuck", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.at) + (c.what ? " (std::runtime_error)" : " (int)"));
    testsupport::CleanConfig clean;
    testsupport::pluginConfig().setValue("ThrowingComponent/ThrowAt", c.at);
    if (c.what) testsupport::pluginConfig().setValue("ThrowingComponent/ThrowWhat", c.what);
    PluginLoader loader;
    std::string errors;
    auto attempt = [&](const std::function<void()>& call) {
      try {
        call();
      } catch (const PluginError& e) {
        errors += e.what();
      }
    };
    testing::internal::CaptureStderr();
    attempt([&] { loader.load(path); });
    IComponent* component = nullptr;
    if (loader.isLoaded(path)) attempt([&] { component = loader.create("ThrowingComponent"); });
    const int exitsBefore =
        loader.isLoaded(path) ? counter("testPluginExits", path.c_str())->load() : 0;
    if (component) {
      attempt([&] { loader.start(component); });
      // Whether or not a call threw, the bus holds nothing back for the component afterwards.
      EXPECT_TRUE(reachesTheComponent()) << "after start";
      attempt([&] { loader.shutdown(component); });
      EXPECT_TRUE(reachesTheComponent()) << "after shutdown";
      attempt([&] { loader.destroy(component); });
      EXPECT_EQ(0, counter("testPluginLive", path.c_str())->load());
    }
    if (loader.isLoaded(path)) {
      loader.unload(path);
      EXPECT_EQ(exitsBefore + 1, counter("testPluginExits", path.c_str())->load());
    }
    EXPECT_FALSE(loader.isLoaded(path));
    EXPECT_EQ(c.error, errors);
    EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
  }
}

TEST(PluginLoaderTest, TheLoaderCleansUpWhatIsLeft) {
  // The library's code stays mapped after an earlier case unloaded it, and so do its counts.
  const std::atomic<int>* exits = counter("testPluginExits");
  const int exitsBefore = exits ? exits->load() : 0;
  {
    PluginLoader loader;
    loader.load(TEST_PLUGIN_PATH);
    loader.create("testcomponent");
    EXPECT_EQ(1, counter("testPluginLive")->load());
  }
  EXPECT_EQ(0, counter("testPluginLive")->load());
  EXPECT_EQ(exitsBefore + 1, counter("testPluginExits")->load());
}

}  // namespace
