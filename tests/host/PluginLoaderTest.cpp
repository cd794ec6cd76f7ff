#include <gtest/gtest.h>

#include <atomic>

#include "host/PluginLoader.h"
#include "logger/host/IComponent.h"
#include "logger/host/MessageDispatcher.h"
#include "platform/SharedLibrary.h"

namespace {

// The test plug-in's counters, reached by name while it is loaded.
std::atomic<int>* counter(const char* name) {
  SharedLibrary::Handle handle = SharedLibrary::findLoaded(TEST_PLUGIN_PATH);
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

TEST(PluginLoaderTest, TheLoaderCleansUpWhatIsLeft) {
  {
    PluginLoader loader;
    loader.load(TEST_PLUGIN_PATH);
    loader.create("testcomponent");
    EXPECT_EQ(1, counter("testPluginLive")->load());
  }
  EXPECT_EQ(0, counter("testPluginLive")->load());
  EXPECT_EQ(1, counter("testPluginExits")->load());
}

}  // namespace
