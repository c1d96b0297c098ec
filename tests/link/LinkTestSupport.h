#pragma once
// Shared set-up of the link tests: a private prefix, a virtual clock, a captured console, and
// a port opener that hands out a device the test controls.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

#include "console/ConsoleUi.h"
#include "link/uart/CUartLib.h"
#include "platform/Clock.h"

namespace linktest {

// A fresh temporary directory, removed with everything in it at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& Path() const { return m_path; }

  private:
    std::string m_path;
};

// Points TOLVAR_PREFIX at a fresh directory for the lifetime of the object.
class ScopedPrefix {
  public:
    ScopedPrefix();
    ~ScopedPrefix();
    ScopedPrefix(const ScopedPrefix&) = delete;
    ScopedPrefix& operator=(const ScopedPrefix&) = delete;
    const std::string& Path() const { return m_dir.Path(); }

  private:
    TempDir m_dir;
    std::string m_previous;
    bool m_hadPrevious;
};

// Collects what goes to the console.
class ConsoleCapture {
  public:
    ConsoleCapture();
    ~ConsoleCapture();
    std::string text;
};

platform::DeviceOpenResult OpenFailed(platform::OpenFailure failure, const std::string& text);

// Opens every port name through the given factory; counts the opens.
class CountingOpener {
  public:
    using Factory = std::function<platform::DeviceOpenResult(const std::string&)>;
    explicit CountingOpener(Factory factory);
    int opens = 0;
    std::string lastName;

  private:
    Factory m_factory;
    ScopedPortOpener m_scope;
};

class UartTest : public ::testing::Test {
  protected:
    ScopedPrefix prefix;
    platform::VirtualClock clock;
    platform::ScopedClock scopedClock{clock};
    ConsoleCapture console;
};

}  // namespace linktest
